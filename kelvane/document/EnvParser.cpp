#include "EnvParser.h"

#include "CharacterClasses.h"
#include "util/FileIO.h"

#include <QTextBoundaryFinder>
#include <QVarLengthArray>

#include <cstring>
#include <sys/mman.h>

using CharacterClasses::isLineTerminator;
using CharacterClasses::isWhiteSpace;
using CharacterClasses::trimmedBlank;

namespace {

struct CodePoint {
    char32_t value;
    qsizetype length;
};

CodePoint codePointAt(QStringView s, qsizetype i)
{
    const char16_t c = s[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < s.size() && QChar::isLowSurrogate(s[i + 1].unicode()))
        return {QChar::surrogateToUcs4(c, s[i + 1].unicode()), 2};
    return {c, 1};
}

bool isLetter(char32_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    const QChar::Category category = QChar::category(c);
    return category >= QChar::Letter_Uppercase && category <= QChar::Letter_Other;
}

bool isNumber(char32_t c)
{
    if (c < 0x80)
        return c >= u'0' && c <= u'9';
    const QChar::Category category = QChar::category(c);
    return category >= QChar::Number_DecimalDigit && category <= QChar::Number_Other;
}

// [\p{L}_]
bool isKeyStart(char32_t c)
{
    return c == u'_' || isLetter(c);
}

// [\p{L}\p{N}_\.]
bool isKeyPart(char32_t c)
{
    return c == u'_' || c == u'.' || isLetter(c) || isNumber(c);
}

// \s* (every white-space character is in the BMP, so code units will do)
qsizetype skipWhiteSpace(QStringView s, qsizetype i)
{
    while (i < s.size() && isWhiteSpace(s[i].unicode()))
        ++i;
    return i;
}

// "$" without the multi-line option: the end of the line, or just before a line terminator
// (a CR LF pair counting as one) that ends it.
bool isAtEnd(QStringView s, qsizetype i)
{
    const qsizetype n = s.size();
    if (i == n)
        return true;
    const char16_t c = s[i].unicode();
    if (i == n - 1)
        return isLineTerminator(c) && !(c == u'\n' && i > 0 && s[i - 1] == u'\r');
    return i == n - 2 && c == u'\r' && s[i + 1] == u'\n';
}

// ([\p{L}_][\p{L}\p{N}_\.]*)\s*=\s*(.*)$ from position k. No backtracking is needed: a key part
// is neither white space nor "=", and "." stops at the first line terminator, which only "$"
// can accept.
std::optional<EnvParser::EntryMatch> matchFromKey(QStringView line, qsizetype k)
{
    const qsizetype n = line.size();
    if (k >= n)
        return std::nullopt;
    CodePoint cp = codePointAt(line, k);
    if (!isKeyStart(cp.value))
        return std::nullopt;
    qsizetype p = k + cp.length;
    while (p < n) {
        cp = codePointAt(line, p);
        if (!isKeyPart(cp.value))
            break;
        p += cp.length;
    }
    const qsizetype keyEnd = p;
    const qsizetype equals = skipWhiteSpace(line, keyEnd);
    if (equals >= n || line[equals] != u'=')
        return std::nullopt;
    const qsizetype restStart = skipWhiteSpace(line, equals + 1);
    qsizetype restEnd = restStart;
    while (restEnd < n && !isLineTerminator(line[restEnd].unicode()))
        ++restEnd;
    if (!isAtEnd(line, restEnd))
        return std::nullopt;
    return EnvParser::EntryMatch{false, k, keyEnd - k, restStart, restEnd - restStart};
}

std::optional<EnvParser::EntryMatch> matchEntry(QStringView line, qsizetype i)
{
    // (export\s+)? is tried first; when the rest does not match after it, "export" may still be
    // the key itself (export=1).
    if (line.sliced(i).startsWith(u"export") && i + 6 < line.size() && isWhiteSpace(line[i + 6].unicode())) {
        if (auto match = matchFromKey(line, skipWhiteSpace(line, i + 6))) {
            match->isExported = true;
            return match;
        }
    }
    return matchFromKey(line, i);
}

// The extended grapheme clusters of a string. ASCII text without CR is one cluster per code unit,
// which spares the boundary finder for nearly every value.
class Clusters
{
public:
    explicit Clusters(QStringView s) : m_text(s)
    {
        for (const QChar c : s) {
            if (c.unicode() >= 0x80 || c == u'\r') {
                m_simple = false;
                break;
            }
        }
        if (m_simple)
            return;
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s.data(), s.size());
        m_bounds.append(0);
        for (qsizetype p = finder.toNextBoundary(); p > 0; p = finder.toNextBoundary())
            m_bounds.append(p);
    }

    qsizetype count() const { return m_simple ? m_text.size() : m_bounds.size() - 1; }
    qsizetype start(qsizetype i) const { return m_simple ? i : m_bounds[i]; }
    qsizetype end(qsizetype i) const { return m_simple ? i + 1 : m_bounds[i + 1]; }
    // The cluster is exactly this one character (a "#" with a combining mark is not a "#").
    bool is(qsizetype i, char16_t c) const { return end(i) - start(i) == 1 && m_text[start(i)] == c; }
    bool isWhiteSpaceCluster(qsizetype i) const { return isWhiteSpace(codePointAt(m_text, start(i)).value); }

private:
    QStringView m_text;
    bool m_simple = true;
    QVarLengthArray<qsizetype, 64> m_bounds;
};

// Whether the last character of s is a cluster of its own (nothing before it joins it).
bool lastCharacterStandsAlone(QStringView s)
{
    const qsizetype n = s.size();
    if (n < 2 || s[n - 2].unicode() < 0x80)
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s.data(), n);
    finder.setPosition(n - 1);
    return finder.isAtBoundary();
}

// Holds the text of every string a parse makes in one block: a hundred thousand entries cost one
// allocation instead of three hundred thousand, and no per-string headers. Each string is an
// ordinary QString that shares the block (and is null-terminated like any other), so the block
// lives exactly as long as the last of them; editing one detaches it as usual.
void adviseHugePages(const void *start, size_t length)
{
    constexpr uintptr_t huge = 2 * 1024 * 1024;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(huge - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

class TextArena
{
public:
    explicit TextArena(qsizetype capacity)
        : m_block(QTypedArrayData<char16_t>::allocate(capacity)), m_capacity(m_block.d ? capacity : 0)
    {
        adviseHugePages(m_block.ptr, size_t(m_capacity) * 2);
    }

    QString copy(QStringView text)
    {
        if (text.isEmpty())
            return {};
        if (m_used + text.size() + 1 > m_capacity)
            return text.toString();
        char16_t *target = m_block.ptr + m_used;
        std::memcpy(target, text.utf16(), size_t(text.size()) * sizeof(char16_t));
        target[text.size()] = u'\0';
        m_used += text.size() + 1;
        QString::DataPointer shared(m_block);
        shared.ptr = target;
        shared.size = text.size();
        return QString(std::move(shared));
    }

private:
    QString::DataPointer m_block;
    qsizetype m_capacity;
    qsizetype m_used = 0;
};

class Parser
{
public:
    // Every line gives the arena at most its own characters plus three terminators (key, value
    // and comment of an entry), so this bound always holds.
    Parser(const QString &text, qsizetype lineCount)
        : m_text(text), m_lineCount(lineCount), m_arena(text.size() + 3 * lineCount + 1)
    {
    }

    EnvDocument run()
    {
        const QStringView all(m_text);
        const qsizetype n = all.size();
        // A CR LF ending does not count: such a file is written back unchanged instead of
        // gaining a line feed on every save.
        m_document.hadTrailingNewline = n > 0 && all[n - 1] == u'\n' && (n == 1 || all[n - 2] != u'\r');
        m_document.layout.reserve(m_lineCount);
        m_document.entries.reserve(m_lineCount);
        adviseHugePages(m_document.layout.constData(), m_document.layout.capacity() * sizeof(EnvDocument::LayoutItem));
        adviseHugePages(m_document.entries.constData(), m_document.entries.capacity() * sizeof(EditableEnvEntry));

        qsizetype start = 0;
        for (;;) {
            // Cut at every line feed that does not follow a carriage return.
            qsizetype lineFeed = all.indexOf(u'\n', start);
            while (lineFeed > 0 && all[lineFeed - 1] == u'\r')
                lineFeed = all.indexOf(u'\n', lineFeed + 1);
            const qsizetype end = lineFeed < 0 ? n : lineFeed;
            addLine(all.sliced(start, end - start));
            if (lineFeed < 0)
                break;
            start = lineFeed + 1;
        }
        flush();
        if (m_document.hadTrailingNewline)
            m_document.layout.removeLast(); // the empty line after the final line feed
        m_document.entries.squeeze();
        return std::move(m_document);
    }

private:
    void addLine(QStringView line)
    {
        const QStringView t = trimmedBlank(line);
        if (t.isEmpty()) {
            flush();
            preserve(line);
        } else if (t.startsWith(u"#/")) {
            preserve(line); // a banner (dotenvx writes one) neither heads nor closes a section
        } else if (t[0] == u'#') {
            if (const auto match = EnvParser::matchCommentedOutEntry(line)) {
                addEntry(line, *match, true);
                return;
            }
            if (!m_pending.isEmpty())
                flush();
            m_comments.append(trimmedBlank(t.sliced(1)));
            preserve(line);
        } else if (const auto match = EnvParser::matchActiveEntry(line)) {
            addEntry(line, *match, false);
        } else {
            preserve(line); // not an entry; it does not split the section either
        }
    }

    void preserve(QStringView line) { m_document.layout.append(EnvDocument::LayoutItem::preserved(m_arena.copy(line))); }

    void addEntry(QStringView line, const EnvParser::EntryMatch &match, bool commentedOut)
    {
        const EnvParser::ValueSplit split = EnvParser::splitValue(line.sliced(match.restStart, match.restLength));
        // Filled in place: moving a finished entry into the list costs more than the rest.
        EditableEnvEntry &entry = m_document.entries.emplaceBack();
        entry.id = EnvDocument::makeID();
        entry.key = m_arena.copy(line.sliced(match.keyStart, match.keyLength));
        entry.value = m_arena.copy(split.value);
        entry.isExported = match.isExported;
        entry.isCommentedOut = commentedOut;
        if (split.inlineComment)
            entry.inlineComment = m_arena.copy(*split.inlineComment);
        if (EnvParser::isEncryptedValue(split.value))
            entry.encryption = EncryptionState::encrypted(entry.value);
        m_document.layout.emplaceBack(EnvDocument::LayoutItem::entry(entry.id));
        m_pending.append(entry.id);
    }

    void flush()
    {
        if (!m_pending.isEmpty()) {
            EnvSection section;
            section.id = EnvDocument::makeID();
            if (!m_comments.isEmpty())
                section.headerTitle = m_comments.first().toString();
            if (m_comments.size() >= 2) {
                QString description;
                for (qsizetype i = 1; i < m_comments.size(); ++i) {
                    if (i > 1)
                        description += u'\n';
                    description += m_comments[i];
                }
                section.headerDescription = std::move(description);
            }
            section.entryIDs = std::exchange(m_pending, {});
            m_document.sections.append(std::move(section));
        }
        m_comments.clear();
    }

    const QString &m_text;
    const qsizetype m_lineCount;
    TextArena m_arena;
    EnvDocument m_document;
    QList<QUuid> m_pending;
    QList<QStringView> m_comments;
};

} // namespace

std::optional<EnvParser::EntryMatch> EnvParser::matchActiveEntry(QStringView line)
{
    return matchEntry(line, skipWhiteSpace(line, 0));
}

std::optional<EnvParser::EntryMatch> EnvParser::matchCommentedOutEntry(QStringView line)
{
    const qsizetype hash = skipWhiteSpace(line, 0);
    if (hash >= line.size() || line[hash] != u'#')
        return std::nullopt;
    return matchEntry(line, skipWhiteSpace(line, hash + 1));
}

EnvParser::ValueSplit EnvParser::splitValue(QStringView rest)
{
    // Without a "#" there is no comment, whichever way the value is quoted.
    if (!rest.contains(u'#'))
        return {rest, std::nullopt};

    const Clusters chars(rest);
    const qsizetype count = chars.count();
    qsizetype searchFrom = 0;
    if (chars.is(0, u'"') || chars.is(0, u'\'')) {
        const char16_t quote = rest[0].unicode();
        qsizetype closing = -1;
        for (qsizetype i = 1; i < count; ++i) {
            if (chars.is(i, u'\\') && i < count - 1) {
                ++i; // the escaped character
                continue;
            }
            if (chars.is(i, quote)) {
                closing = i;
                break;
            }
        }
        // Unterminated, or nothing after the closing quote: everything is value.
        if (closing < 0 || closing == count - 1)
            return {rest, std::nullopt};
        searchFrom = closing + 1;
    }
    for (qsizetype j = std::max<qsizetype>(searchFrom, 1); j < count; ++j) {
        if (!chars.is(j, u'#') || !chars.isWhiteSpaceCluster(j - 1))
            continue;
        qsizetype valueEnd = j;
        while (valueEnd > 0 && chars.isWhiteSpaceCluster(valueEnd - 1))
            --valueEnd;
        const QStringView comment = trimmedBlank(rest.sliced(chars.end(j)));
        return {rest.first(chars.start(valueEnd)), comment.isEmpty() ? std::nullopt : std::optional(comment)};
    }
    return {rest, std::nullopt};
}

bool EnvParser::isEncryptedValue(QStringView value)
{
    static constexpr QStringView prefix = u"encrypted:";
    const QStringView v = trimmedBlank(value);
    if (v.startsWith(prefix))
        return true; // no outer quotes to remove: the first character is not a quote
    // Quoted: the quotes come off only when the last character is the same quote, standing alone.
    const QChar quote = v.isEmpty() ? QChar() : v[0];
    return (quote == u'"' || quote == u'\'') && v.size() >= prefix.size() + 2 && v.sliced(1).startsWith(prefix)
            && v.back() == quote && lastCharacterStandsAlone(v);
}

EnvDocument EnvParser::parse(const QString &text)
{
    return Parser(text, text.count(u'\n') + 1).run();
}

Result<EnvDocument> EnvParser::load(const QString &path)
{
    Result<QString> text = FileIO::readUtf8(path);
    if (!text)
        return text.error();
    return parse(text.value());
}
