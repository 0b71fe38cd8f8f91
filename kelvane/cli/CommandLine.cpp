#include "CommandLine.h"

#include "JsonWriter.h"
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"

#include <QCoreApplication>
#include <QHash>

#include <cerrno>

namespace {

enum ExitStatus { success = 0, failure = 1, badUsage = 2 };

QString tr(const char *text)
{
    return QCoreApplication::translate("CommandLine", text);
}

QString usage()
{
    return tr("Usage: kelvane-cli COMMAND FILE\n"
              "\n"
              "Commands:\n"
              "  parse FILE    print the parsed .env file as JSON\n"
              "  render FILE   print the file as Kelvane writes it back\n"
              "\n"
              "Options:\n"
              "  -h, --help    show this help and exit\n");
}

void print(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(std::FILE *err, const QString &reason)
{
    print(err, QStringLiteral("kelvane-cli: %1\n\n%2").arg(reason, usage()));
    return badUsage;
}

std::optional<EnvDocument> loadOrReport(const QString &path, std::FILE *err)
{
    Result<EnvDocument> document = EnvParser::load(path);
    if (!document) {
        print(err, tr("kelvane-cli: cannot read %1: %2\n").arg(path, document.error().description));
        return std::nullopt;
    }
    return std::move(document).value();
}

} // namespace

QString CommandLine::documentJson(const EnvDocument &document)
{
    QHash<QUuid, qint64> indexOfEntry;
    indexOfEntry.reserve(document.entries.size());
    for (qsizetype i = 0; i < document.entries.size(); ++i)
        indexOfEntry.insert(document.entries[i].id, i);
    auto optionalValue = [](JsonWriter &json, const std::optional<QString> &text) {
        if (text)
            json.value(*text);
        else
            json.nullValue();
    };

    JsonWriter json;
    json.beginObject();
    json.key(u"hadTrailingNewline");
    json.value(document.hadTrailingNewline);

    json.key(u"layout");
    json.beginArray();
    for (const EnvDocument::LayoutItem &item : document.layout) {
        json.beginObject();
        if (const auto *preserved = item.asPreserved()) {
            json.key(u"preserved");
            json.value(preserved->text);
        } else {
            json.key(u"entry");
            json.value(indexOfEntry.value(item.asEntry()->id, -1));
        }
        json.endObject();
    }
    json.endArray();

    json.key(u"entries");
    json.beginArray();
    for (const EditableEnvEntry &entry : document.entries) {
        json.beginObject();
        json.key(u"key");
        json.value(entry.key);
        json.key(u"value");
        json.value(entry.value);
        json.key(u"isExported");
        json.value(entry.isExported);
        json.key(u"isCommentedOut");
        json.value(entry.isCommentedOut);
        json.key(u"inlineComment");
        optionalValue(json, entry.inlineComment);
        json.key(u"encryption");
        json.value(entry.encryption.kind() == EncryptionState::Kind::plain ? u"plain" : u"encrypted");
        json.key(u"ciphertext");
        optionalValue(json, entry.encryption.storedCiphertext());
        json.endObject();
    }
    json.endArray();

    json.key(u"sections");
    json.beginArray();
    for (const EnvSection &section : document.sections) {
        json.beginObject();
        json.key(u"headerTitle");
        optionalValue(json, section.headerTitle);
        json.key(u"headerDescription");
        optionalValue(json, section.headerDescription);
        json.key(u"entries");
        json.beginArray();
        for (const QUuid &id : section.entryIDs)
            json.value(indexOfEntry.value(id, -1));
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.endObject();
    return json.text() + u'\n';
}

int CommandLine::run(const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    QStringList positional;
    bool optionsEnded = false;
    for (const QString &argument : arguments) {
        if (optionsEnded || argument == u"-" || !argument.startsWith(u'-')) {
            positional << argument;
        } else if (argument == u"--") {
            optionsEnded = true;
        } else if (argument == u"-h" || argument == u"--help") {
            print(out, usage());
            return success;
        } else {
            return usageError(err, tr("unknown option '%1'").arg(argument));
        }
    }
    if (positional.isEmpty())
        return usageError(err, tr("no command given"));

    const QString &command = positional.first();
    if (command != u"parse" && command != u"render")
        return usageError(err, tr("unknown command '%1'").arg(command));
    if (positional.size() != 2)
        return usageError(err, tr("'%1' takes exactly one FILE").arg(command));

    const std::optional<EnvDocument> document = loadOrReport(positional[1], err);
    if (!document)
        return failure;
    const QByteArray bytes = (command == u"parse" ? documentJson(*document) : EnvRenderer::render(*document)).toUtf8();
    errno = 0;
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    if (std::fflush(out) != 0 || std::ferror(out)) {
        print(err, tr("kelvane-cli: cannot write the output: %1\n").arg(qt_error_string(errno)));
        return failure;
    }
    return success;
}
