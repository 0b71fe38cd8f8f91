#include "CommandLine.h"

#include "JsonWriter.h"
#include "discovery/EnvProjectScanner.h"
#include "discovery/FSEventWatcher.h"
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"
#include "util/Paths.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <sys/stat.h>
#include <thread>

namespace {

enum ExitStatus { success = 0, failure = 1, badUsage = 2 };

QString tr(const char *text)
{
    return QCoreApplication::translate("CommandLine", text);
}

QString usage()
{
    return tr("Usage: kelvane-cli COMMAND ARGUMENTS\n"
              "\n"
              "Commands:\n"
              "  parse FILE                 print the parsed .env file as JSON\n"
              "  render FILE                print the file as Kelvane writes it back\n"
              "  scan DIR                   print the env files found in a project folder as JSON\n"
              "  watch DIR [--seconds N]    print the folder's changes, one JSON line per batch,\n"
              "                             for N seconds (default: until interrupted)\n"
              "\n"
              "Options:\n"
              "  -h, --help                 show this help and exit\n");
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

// Writes the command's output; a failed write (a full disk, a closed pipe) is a failure too.
int finish(std::FILE *out, std::FILE *err, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    if (std::fflush(out) != 0 || std::ferror(out)) {
        print(err, tr("kelvane-cli: cannot write the output: %1\n").arg(qt_error_string(errno)));
        return failure;
    }
    return success;
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

// A project folder must exist and be a folder; `verb` names the command in the message.
bool checkFolder(const QString &path, const char *verb, std::FILE *err)
{
    struct stat st;
    int code = 0;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        code = errno;
    else if (!S_ISDIR(st.st_mode))
        code = ENOTDIR;
    if (code == 0)
        return true;
    print(err, tr("kelvane-cli: cannot %1 %2: %3\n").arg(QString::fromLatin1(verb), path, qt_error_string(code)));
    return false;
}

void writeNode(JsonWriter &json, const EnvDirectoryNode &node)
{
    json.beginObject();
    json.key(u"relativePath");
    json.value(node.relativePath);
    json.key(u"name");
    json.value(node.name());
    json.key(u"directFiles");
    json.beginArray();
    for (const EnvFile &file : node.directFiles) {
        json.beginObject();
        json.key(u"name");
        json.value(file.name());
        json.key(u"relativeDirectory");
        json.value(file.relativeDirectory);
        json.key(u"displayPath");
        json.value(file.displayPath());
        json.endObject();
    }
    json.endArray();
    json.key(u"children");
    json.beginArray();
    for (const EnvDirectoryNode &child : node.children)
        writeNode(json, child);
    json.endArray();
    json.endObject();
}

QString scanJson(const EnvDirectoryNode &root)
{
    JsonWriter json;
    json.beginObject();
    json.key(u"root");
    writeNode(json, root);
    json.key(u"allFiles");
    json.beginArray();
    for (const EnvFile &file : root.allFiles())
        json.value(file.displayPath());
    json.endArray();
    json.endObject();
    return json.text() + u'\n';
}

QString batchJson(qint64 ms, const QList<FSEventWatcher::Event> &events, const QString &project)
{
    const bool relevant = std::any_of(events.cbegin(), events.cend(), [&](const FSEventWatcher::Event &event) {
        return EnvProjectScanner::isRelevantEventPath(event.path, project, EnvProjectScanner::ignoredDirectoryNames());
    });
    JsonWriter json(JsonWriter::Layout::compact);
    json.beginObject();
    json.key(u"ms");
    json.value(ms);
    json.key(u"relevant");
    json.value(relevant);
    json.key(u"events");
    json.beginArray();
    for (const FSEventWatcher::Event &event : events) {
        json.beginObject();
        json.key(u"path");
        json.value(event.path);
        const std::pair<const char16_t *, bool> flags[] = {
                {u"isDirectory", event.isDirectory}, {u"isCreated", event.isCreated},
                {u"isRemoved", event.isRemoved},     {u"isRenamed", event.isRenamed},
                {u"isModified", event.isModified},   {u"mustScanSubDirs", event.mustScanSubDirs},
        };
        for (const auto &[name, flag] : flags) {
            json.key(name);
            json.value(flag);
        }
        json.endObject();
    }
    json.endArray();
    json.endObject();
    return json.text() + u'\n';
}

int watch(const QString &folder, std::optional<double> seconds, std::FILE *out, std::FILE *err)
{
    if (!checkFolder(folder, "watch", err))
        return failure;
    const QString project = Paths::standardized(folder);
    QElapsedTimer clock;
    clock.start();
    auto watcher = FSEventWatcher::create({project}, [&](const QList<FSEventWatcher::Event> &events) {
        print(out, batchJson(clock.elapsed(), events, project));
    });
    if (!watcher) {
        print(err, tr("kelvane-cli: cannot watch %1: inotify is not available\n").arg(folder));
        return failure;
    }
    if (!seconds) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1)); // until interrupted
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(*seconds));
    watcher->stop();
    return success;
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
    std::optional<QString> secondsText;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (optionsEnded || argument == u"-" || !argument.startsWith(u'-')) {
            positional << argument;
        } else if (argument == u"--") {
            optionsEnded = true;
        } else if (argument == u"-h" || argument == u"--help") {
            print(out, usage());
            return success;
        } else if (argument == u"--seconds") {
            if (++i == arguments.size())
                return usageError(err, tr("'--seconds' needs a number"));
            secondsText = arguments[i];
        } else if (argument.startsWith(u"--seconds=")) {
            secondsText = argument.sliced(10);
        } else {
            return usageError(err, tr("unknown option '%1'").arg(argument));
        }
    }
    if (positional.isEmpty())
        return usageError(err, tr("no command given"));

    const QString &command = positional.first();
    const bool takesFile = command == u"parse" || command == u"render";
    const bool takesFolder = command == u"scan" || command == u"watch";
    if (!takesFile && !takesFolder)
        return usageError(err, tr("unknown command '%1'").arg(command));
    if (positional.size() != 2)
        return usageError(err, (takesFile ? tr("'%1' takes exactly one FILE") : tr("'%1' takes exactly one DIR")).arg(command));
    if (secondsText && command != u"watch")
        return usageError(err, tr("'--seconds' belongs to 'watch'"));
    const QString &target = positional[1];

    if (command == u"watch") {
        std::optional<double> seconds;
        if (secondsText) {
            bool ok = false;
            seconds = secondsText->toDouble(&ok);
            if (!ok || !std::isfinite(*seconds) || *seconds < 0)
                return usageError(err, tr("'--seconds' needs a number of seconds, not '%1'").arg(*secondsText));
        }
        return watch(target, seconds, out, err);
    }
    if (command == u"scan") {
        if (!checkFolder(target, "scan", err))
            return failure;
        return finish(out, err, scanJson(EnvProjectScanner::scan(target, EnvProjectScanner::ignoredDirectoryNames())));
    }
    const std::optional<EnvDocument> document = loadOrReport(target, err);
    if (!document)
        return failure;
    return finish(out, err, command == u"parse" ? documentJson(*document) : EnvRenderer::render(*document));
}
