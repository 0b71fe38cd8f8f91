#include "CommandLine.h"

#include "JsonWriter.h"
#include "discovery/EnvProjectScanner.h"
#include "dotenvx/DotenvxCLI.h"
#include "skills/SkillsInstallerService.h"
#include "workspace/SaveTransaction.h"
#include "discovery/FSEventWatcher.h"
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"
#include "util/Paths.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QDir>
#include <QHash>

#include <cerrno>

using namespace Qt::StringLiterals;
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
              "  keys FILE [--json]         list the file's keys and their state, never a value\n"
              "  set FILE KEY VALUE [--encrypt] [--dotenvx PATH]\n"
              "                             set KEY to VALUE (re-encrypted when the entry is\n"
              "                             encrypted or with --encrypt), saved with a backup;\n"
              "                             put -- before a VALUE that starts with -\n"
              "  install-guardrails [--project DIR]... [--home DIR] [--json]\n"
              "                             install the .env rule into the AI coding tools\n"
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

QString stateOf(const EditableEnvEntry &entry)
{
    if (entry.encryption.storedCiphertext())
        return u"encrypted"_s;
    return entry.value.trimmed().isEmpty() ? u"empty"_s : u"plain"_s;
}

int keys(const QString &path, bool asJson, std::FILE *out, std::FILE *err)
{
    const std::optional<EnvDocument> document = loadOrReport(path, err);
    if (!document)
        return failure;
    if (!asJson) {
        QString text;
        for (const EditableEnvEntry &entry : document->entries)
            text += entry.key + u'\t' + (entry.isCommentedOut ? u"commented-out"_s : u"active"_s) + u'\t' + stateOf(entry) + u'\n';
        return finish(out, err, text);
    }
    JsonWriter json;
    json.beginArray();
    for (const EditableEnvEntry &entry : document->entries) {
        json.beginObject();
        json.key(u"key");
        json.value(entry.key);
        json.key(u"active");
        json.value(!entry.isCommentedOut);
        json.key(u"state");
        json.value(stateOf(entry));
        json.endObject();
    }
    json.endArray();
    return finish(out, err, json.text() + u'\n');
}

int set(const QString &path, const QString &key, const QString &value, bool encrypt, const std::optional<QString> &tool,
        std::FILE *out, std::FILE *err)
{
    std::optional<EnvDocument> loaded = loadOrReport(path, err);
    if (!loaded)
        return failure;
    EnvDocument document = std::move(*loaded);
    auto existing = std::find_if(document.entries.begin(), document.entries.end(),
                                 [&](const EditableEnvEntry &entry) { return !entry.isCommentedOut && entry.key == key; });
    if (existing == document.entries.end()) {
        // A new entry, the way the form's new row adds one.
        EditableEnvEntry entry = EditableEnvEntry::blank();
        entry.key = key;
        document.entries.append(entry);
        existing = document.entries.end() - 1;
    }
    EditableEnvEntry &entry = *existing;
    if (encrypt || entry.encryption.storedCiphertext()) {
        // The file keeps what it holds now (never the new secret) until dotenvx encrypts it in.
        const QString stored = entry.encryption.storedCiphertext().value_or(entry.value);
        entry.encryption = EncryptionState::encryptedPending(stored, value);
        entry.value = stored;
    } else {
        entry.value = value;
    }

    const SaveTransaction save = SaveTransaction::begin(path);
    if (const std::optional<IoError> error = save.write(EnvRenderer::render(document).toUtf8())) {
        save.rollback();
        print(err, tr("kelvane-cli: cannot write %1: %2\n").arg(path, error->description));
        return failure;
    }
    const QList<SaveTransaction::Reencryption> reencryptions = SaveTransaction::reencryptionsFor(document.entries);
    if (!reencryptions.isEmpty()) {
        const DotenvxCLI dotenvx = tool ? DotenvxCLI({*tool}, {u"/bin/false"_s, {}}) : DotenvxCLI();
        const DotenvxResult<QList<SaveTransaction::Reencrypted>> result = save.reencrypt(reencryptions, dotenvx);
        if (!result) {
            save.rollback();
            print(err, u"kelvane-cli: "_s + result.error().description().trimmed() + u'\n');
            return failure;
        }
    }
    save.commit();
    return finish(out, err, QString());
}

int installGuardrails(const QStringList &projects, const std::optional<QString> &home, bool asJson, std::FILE *out,
                      std::FILE *err)
{
    QStringList folders;
    for (const QString &project : projects) {
        if (!checkFolder(project, "install into", err))
            return failure;
        folders << Paths::standardized(project);
    }
    const QString homeFolder = Paths::standardized(home.value_or(QDir::homePath()));
    if (!checkFolder(homeFolder, "install into", err))
        return failure;
    const QList<SkillEntry> entries = SkillCatalog::skillEntries(SkillCatalog::skillsResourceBundle());
    const InstallSession session = SkillsInstallerService::runInstall(entries.first(), {homeFolder, folders});
    bool anyFailed = false;
    QString text;
    if (asJson) {
        JsonWriter json;
        json.beginObject();
        json.key(u"skillID");
        json.value(session.skillID);
        json.key(u"origin");
        json.value(session.origin.name());
        json.key(u"reports");
        json.beginArray();
        for (const InstallReport &report : session.reports) {
            json.beginObject();
            json.key(u"toolID");
            json.value(report.toolID);
            json.key(u"displayName");
            json.value(report.displayName);
            json.key(u"projectURL");
            report.projectURL ? json.value(*report.projectURL) : json.nullValue();
            json.key(u"status");
            json.value(report.status.name());
            json.key(u"at");
            report.status.at() ? json.value(*report.status.at()) : json.nullValue();
            json.key(u"reason");
            report.status.reason().isEmpty() ? json.nullValue() : json.value(report.status.reason());
            json.endObject();
        }
        json.endArray();
        json.endObject();
        text = json.text() + u'\n';
    }
    for (const InstallReport &report : session.reports) {
        anyFailed |= report.status.kind() == InstallStatus::Kind::failed;
        if (!asJson) {
            text += report.toolID + u'\t' + report.projectURL.value_or(u"-"_s) + u'\t' + report.status.name() + u'\t'
                    + (report.status.reason().isEmpty() ? report.status.at().value_or(QString()) : report.status.reason())
                    + u'\n';
        }
    }
    const int written = finish(out, err, text);
    return anyFailed ? failure : written;
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
    static const QStringList valueOptions = {u"--seconds"_s, u"--project"_s, u"--home"_s, u"--dotenvx"_s};
    static const QStringList flags = {u"--json"_s, u"--encrypt"_s};
    QStringList positional;
    QMultiHash<QString, QString> options;
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
        } else if (flags.contains(argument)) {
            options.insert(argument, QString());
        } else if (const qsizetype equals = argument.indexOf(u'='); equals > 0 && valueOptions.contains(argument.first(equals))) {
            options.insert(argument.first(equals), argument.sliced(equals + 1));
        } else if (valueOptions.contains(argument)) {
            if (++i == arguments.size())
                return usageError(err, tr("'%1' needs a value").arg(argument));
            options.insert(argument, arguments[i]);
        } else {
            return usageError(err, tr("unknown option '%1'").arg(argument));
        }
    }
    if (positional.isEmpty())
        return usageError(err, tr("no command given"));

    const QString command = positional.takeFirst();
    struct Shape {
        qsizetype arguments;
        QStringList options;
    };
    static const QHash<QString, Shape> commands = {
            {u"parse"_s, {1, {}}},
            {u"render"_s, {1, {}}},
            {u"scan"_s, {1, {}}},
            {u"watch"_s, {1, {u"--seconds"_s}}},
            {u"keys"_s, {1, {u"--json"_s}}},
            {u"set"_s, {3, {u"--encrypt"_s, u"--dotenvx"_s}}},
            {u"install-guardrails"_s, {0, {u"--project"_s, u"--home"_s, u"--json"_s}}},
    };
    const auto shape = commands.constFind(command);
    if (shape == commands.cend())
        return usageError(err, tr("unknown command '%1'").arg(command));
    if (positional.size() != shape->arguments)
        return usageError(err, tr("wrong number of arguments for '%1'").arg(command));
    for (auto it = options.cbegin(); it != options.cend(); ++it) {
        if (!shape->options.contains(it.key()))
            return usageError(err, tr("'%1' does not belong to '%2'").arg(it.key(), command));
    }
    auto option = [&](const QString &name) -> std::optional<QString> {
        return options.contains(name) ? std::optional(options.value(name)) : std::nullopt;
    };

    if (command == u"watch") {
        std::optional<double> seconds;
        if (const std::optional<QString> text = option(u"--seconds"_s)) {
            bool ok = false;
            seconds = text->toDouble(&ok);
            if (!ok || !std::isfinite(*seconds) || *seconds < 0)
                return usageError(err, tr("'--seconds' needs a number of seconds, not '%1'").arg(*text));
        }
        return watch(positional[0], seconds, out, err);
    }
    if (command == u"scan") {
        if (!checkFolder(positional[0], "scan", err))
            return failure;
        return finish(out, err, scanJson(EnvProjectScanner::scan(positional[0], EnvProjectScanner::ignoredDirectoryNames())));
    }
    if (command == u"keys")
        return keys(positional[0], options.contains(u"--json"_s), out, err);
    if (command == u"set")
        return set(positional[0], positional[1], positional[2], options.contains(u"--encrypt"_s), option(u"--dotenvx"_s), out, err);
    if (command == u"install-guardrails") {
        QStringList projects = options.values(u"--project"_s);
        std::reverse(projects.begin(), projects.end()); // QMultiHash returns the newest first
        return installGuardrails(projects, option(u"--home"_s), options.contains(u"--json"_s), out, err);
    }
    const std::optional<EnvDocument> document = loadOrReport(positional[0], err);
    if (!document)
        return failure;
    return finish(out, err, command == u"parse" ? documentJson(*document) : EnvRenderer::render(*document));
}
