#include "JsonWriter.h"

void JsonWriter::key(QStringView name)
{
    separate();
    writeString(name);
    m_out += m_compact ? u":" : u": ";
    m_afterKey = true;
}

void JsonWriter::value(QStringView text)
{
    separate();
    writeString(text);
}

void JsonWriter::value(bool flag)
{
    separate();
    m_out += flag ? u"true" : u"false";
}

void JsonWriter::value(qint64 number)
{
    separate();
    m_out += QString::number(number);
}

void JsonWriter::nullValue()
{
    separate();
    m_out += u"null";
}

void JsonWriter::separate()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_counts.isEmpty())
        return;
    if (m_counts.last()++ > 0)
        m_out += u',';
    if (m_compact)
        return;
    m_out += u'\n';
    m_out += QString(m_counts.size() * 2, u' ');
}

void JsonWriter::open(char16_t bracket)
{
    separate();
    m_out += bracket;
    m_counts.append(0);
}

void JsonWriter::close(char16_t bracket)
{
    if (m_counts.takeLast() > 0 && !m_compact) {
        m_out += u'\n';
        m_out += QString(m_counts.size() * 2, u' ');
    }
    m_out += bracket;
}

void JsonWriter::writeString(QStringView text)
{
    static constexpr char16_t hex[] = u"0123456789abcdef";
    auto escapeUnit = [this](char16_t c) {
        m_out += u"\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            m_out += hex[(c >> shift) & 0xF];
    };
    m_out += u'"';
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        switch (c) {
        case u'"': m_out += u"\\\""; break;
        case u'\\': m_out += u"\\\\"; break;
        case u'\b': m_out += u"\\b"; break;
        case u'\f': m_out += u"\\f"; break;
        case u'\n': m_out += u"\\n"; break;
        case u'\r': m_out += u"\\r"; break;
        case u'\t': m_out += u"\\t"; break;
        default:
            if (c < 0x20) {
                escapeUnit(c);
            } else if (QChar::isSurrogate(c)) {
                // A proper pair is written as is; a lone half is escaped so the output stays UTF-8.
                if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
                    m_out += QChar(c);
                    m_out += text[++i];
                } else {
                    escapeUnit(c);
                }
            } else {
                m_out += QChar(c);
            }
        }
    }
    m_out += u'"';
}
