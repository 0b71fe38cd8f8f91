#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// Writes JSON with members in the order they are written, laid out the way JSON.stringify does:
// indented by two spaces, or all on one line. (QJsonDocument sorts members by name.)
class JsonWriter
{
public:
    enum class Layout { indented, compact };
    explicit JsonWriter(Layout layout = Layout::indented) : m_compact(layout == Layout::compact) {}

    void beginObject() { open(u'{'); }
    void endObject() { close(u'}'); }
    void beginArray() { open(u'['); }
    void endArray() { close(u']'); }

    void key(QStringView name);
    void value(QStringView text);
    void value(const QString &text) { value(QStringView(text)); }
    void value(const char16_t *text) { value(QStringView(text)); }
    void value(bool flag);
    void value(qint64 number);
    void nullValue();

    const QString &text() const { return m_out; }

private:
    void separate();
    void open(char16_t bracket);
    void close(char16_t bracket);
    void writeString(QStringView text);

    QString m_out;
    QList<int> m_counts; // items written so far, per open container
    bool m_afterKey = false;
    bool m_compact;
};
