#include "DotenvxCLI.h"

#include "document/EnvParser.h"
#include "document/EnvRenderer.h"
#include "util/FileIO.h"
#include "util/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("DotenvxCLI", text);
}

bool isExecutableFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    return !path.isEmpty() && ::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode)
            && ::access(native.constData(), X_OK) == 0;
}

QString decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

// The tool's own message for the user, without the terminal colour codes dotenvx adds.
QString messageOf(const ProcessOutput &output)
{
    static const QRegularExpression colours(u"\x1b\\[[0-9;]*[A-Za-z]"_s);
    QString message = output.standardError.isEmpty() ? output.standardOutput : output.standardError;
    return message.remove(colours);
}

// A private folder for one call, removed with everything in it when the call ends.
class PrivateFolder
{
public:
    PrivateFolder()
    {
        QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (base.isEmpty() || !QFileInfo(base).isDir())
            base = QDir::tempPath();
        QByteArray pattern = QFile::encodeName(base) + "/kelvane-dotenvx-XXXXXX";
        if (::mkdtemp(pattern.data())) // mode 0700
            m_path = QFile::decodeName(pattern);
        else
            m_error = IoError::fromErrno(errno);
    }
    ~PrivateFolder()
    {
        if (!m_path.isEmpty()) {
            std::error_code ignored;
            std::filesystem::remove_all(QFile::encodeName(m_path).toStdString(), ignored);
        }
    }
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;

    const QString &path() const { return m_path; }
    const IoError &error() const { return m_error; }

    // Writes a 0600 file into the folder and returns its path.
    Result<QString> write(const QString &name, const QString &text) const
    {
        const QString file = m_path + u'/' + name;
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return IoError::fromErrno(errno);
        const QByteArray bytes = text.toUtf8();
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                const int code = written < 0 ? errno : EIO;
                ::close(fd);
                return IoError::fromErrno(code);
            }
            done += written;
        }
        ::close(fd);
        return file;
    }

private:
    QString m_path;
    IoError m_error;
};

// A key as the parser reads one: it goes into the private copy as the name of its one line.
bool isKeyName(const QString &key)
{
    const std::optional<EnvParser::EntryMatch> match = EnvParser::matchActiveEntry(QString(key + u"=x"_s));
    return match && match->keyStart == 0 && match->keyLength == key.size();
}

// The value text without blanks and one pair of outer quotes: the bare ciphertext.
QString bareCiphertext(const QString &value)
{
    QStringView text = QStringView(value).trimmed();
    if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') && text.back() == text.front())
        text = text.sliced(1, text.size() - 2);
    return text.toString();
}

// The lines of the user's file that the copy needs besides the entry: its public keys, each
// rewritten as NAME='hex'. Only a value that is a hex key gets through: anything else (say
// "$(command)") would be evaluated by dotenvx.
QString publicKeyLines(const EnvDocument &document)
{
    static const QRegularExpression hex(u"^[0-9A-Fa-f]{2,256}$"_s);
    static const QRegularExpression name(u"^[A-Za-z0-9_]+$"_s);
    QString lines;
    for (const EditableEnvEntry &entry : document.entries) {
        const QString value = bareCiphertext(entry.value);
        if (!entry.isCommentedOut && DotenvxCLI::isPublicKeyName(entry.key) && name.match(entry.key).hasMatch()
            && hex.match(value).hasMatch())
            lines += entry.key + u"='"_s + value + u"'\n"_s;
    }
    return lines;
}

// A value in single quotes is literal to dotenvx (no expansion, no commands), as long as the
// quotes hold: dotenvx reads a single-quoted value up to the last quote that ends a line, and
// falls back to reading to the first "#" when that fails. A value that itself holds a single
// quote is therefore only safe on one line, without "#" and without a backslash before a
// quote (which dotenvx 2 reads as an escaped quote). A carriage return becomes a line feed in
// dotenvx's reading, so it cannot be stored either.
std::optional<QString> unstorableReason(const QString &value)
{
    if (value.contains(u'\r'))
        return tr("dotenvx cannot store a carriage return in a value.");
    if (value.contains(u'\'') && (value.contains(u'\n') || value.contains(u'#') || value.contains(u"\\'")))
        return tr("dotenvx cannot store this value exactly: it has a single quote (') together with a line break, "
                  "a \"#\" or a backslash before a quote.");
    return std::nullopt;
}

} // namespace

DotenvxCLI::DotenvxCLI() : DotenvxCLI(candidatePaths(), Lookup{u"/bin/sh"_s, {u"-lc"_s, u"command -v dotenvx"_s}}) {}

DotenvxCLI::DotenvxCLI(QStringList candidates, Lookup lookup, int timeoutMilliseconds)
    : m_candidates(std::move(candidates)), m_lookup(std::move(lookup)), m_timeoutMilliseconds(timeoutMilliseconds)
{
}

const QStringList &DotenvxCLI::candidatePaths()
{
    static const QStringList paths = [] {
        const QString home = QDir::homePath();
        return QStringList{u"/opt/homebrew/bin/dotenvx"_s, u"/usr/local/bin/dotenvx"_s, home + u"/.local/bin/dotenvx"_s,
                           home + u"/.bun/bin/dotenvx"_s};
    }();
    return paths;
}

std::optional<QString> DotenvxCLI::locateExecutable() const
{
    for (const QString &candidate : m_candidates) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    const Result<ProcessOutput> lookup = runTool(m_lookup.program, m_lookup.arguments, QString());
    if (!lookup)
        return std::nullopt;
    const QString path = lookup.value().standardOutput.trimmed();
    if (isExecutableFile(path))
        return path;
    return std::nullopt;
}

bool DotenvxCLI::isAvailable() const
{
    return locateExecutable().has_value();
}

Result<ProcessOutput> DotenvxCLI::runTool(const QString &executable, const QStringList &arguments,
                                          const QString &workingDirectory) const
{
    QProcess process;
    process.setProgram(executable);
    process.setArguments(arguments);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    // A GUI has no terminal, and dotenvx prompts when it thinks it has one.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(-1))
        return IoError::withDescription(ENOEXEC, process.errorString());
    // waitForFinished reads both pipes while it waits, so a chatty child never blocks.
    if (!process.waitForFinished(m_timeoutMilliseconds)) {
        process.kill();
        process.waitForFinished(-1);
        return IoError::withDescription(ETIMEDOUT, tr("dotenvx did not finish within %1 seconds and was stopped.")
                                                           .arg(double(m_timeoutMilliseconds) / 1000.0));
    }
    ProcessOutput output;
    output.standardOutput = decodeUtf8(process.readAllStandardOutput());
    output.standardError = decodeUtf8(process.readAllStandardError());
    output.exitStatus = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return output;
}

DotenvxResult<QString> DotenvxCLI::decrypt(const QString &key, const QString &path,
                                           const std::optional<QString> &storedCiphertext) const
{
    const std::optional<QString> executable = locateExecutable();
    if (!executable)
        return DotenvxError::cliNotFound();
    if (!isKeyName(key))
        return DotenvxError::decryptFailed(tr("%1 is not a valid key name.").arg(key));
    const Result<EnvDocument> document = EnvParser::load(path);
    if (!document)
        return document.error();

    // The entry dotenvx itself would read: the last active one with the key (or, for a
    // commented-out value, the last commented-out one).
    const EditableEnvEntry *chosen = nullptr;
    for (const bool commentedOut : {false, true}) {
        for (const EditableEnvEntry &entry : document.value().entries) {
            if (entry.key == key && entry.isCommentedOut == commentedOut)
                chosen = &entry;
        }
        if (chosen)
            break;
    }
    if (!chosen && !storedCiphertext)
        return DotenvxError::decryptFailed(tr("%1 is not in the file.").arg(key));
    const std::optional<QString> stored = storedCiphertext ? storedCiphertext : chosen->encryption.storedCiphertext();
    if (!stored)
        return DotenvxError::decryptFailed(tr("%1 is not encrypted.").arg(key));
    const QString ciphertext = bareCiphertext(*stored);
    static const QRegularExpression shape(u"^encrypted:[A-Za-z0-9+/=_-]*$"_s);
    if (!shape.match(ciphertext).hasMatch())
        return DotenvxError::decryptFailed(tr("The value of %1 is not a dotenvx ciphertext.").arg(key));

    PrivateFolder folder;
    if (folder.path().isEmpty())
        return folder.error();
    const QString fileName = QFileInfo(path).fileName();
    const Result<QString> copy = folder.write(fileName, publicKeyLines(document.value()) + key + u"='"_s + ciphertext + u"'\n"_s);
    if (!copy)
        return copy.error();
    QStringList arguments{u"get"_s, u"-f"_s, copy.value()};
    const QString keysFile = Paths::parent(Paths::standardized(path)).toString() + u"/.env.keys"_s;
    if (QFileInfo(keysFile).isFile())
        arguments << u"-fk"_s << keysFile; // else the private key may come from the environment
    // --overload: the file's value wins over a variable of the same name in Kelvane's environment.
    arguments << u"--overload"_s << u"--format"_s << u"json"_s;
    const Result<ProcessOutput> run = runTool(*executable, arguments, folder.path());
    if (!run)
        return run.error();
    const ProcessOutput &output = run.value();
    if (output.exitStatus != 0)
        return DotenvxError::decryptFailed(messageOf(output));
    // The exact value, from JSON: spaces and line breaks at its ends belong to the secret.
    const QJsonValue value = QJsonDocument::fromJson(output.standardOutput.toUtf8()).object().value(key);
    if (!value.isString())
        return DotenvxError::decryptFailed(messageOf(output));
    const QString plaintext = value.toString();
    if (plaintext.startsWith(u"encrypted:"))
        return DotenvxError::decryptFailed(messageOf(output)); // dotenvx 1 exits 0 when the key is missing
    return plaintext;
}

DotenvxResult<QString> DotenvxCLI::encrypt(const QString &key, const QString &value, const QString &path) const
{
    const std::optional<QString> executable = locateExecutable();
    if (!executable)
        return DotenvxError::cliNotFound();
    if (!isKeyName(key))
        return DotenvxError::encryptFailed(tr("%1 is not a valid key name.").arg(key));
    if (const std::optional<QString> reason = unstorableReason(value))
        return DotenvxError::encryptFailed(*reason);
    const Result<EnvDocument> original = EnvParser::load(path);
    if (!original)
        return original.error();
    const QString publicKeys = publicKeyLines(original.value());
    const QString fileName = QFileInfo(path).fileName();
    if (publicKeys.isEmpty()) {
        return DotenvxError::encryptFailed(tr("%1 has no DOTENV_PUBLIC_KEY yet. Encrypt the file with dotenvx once "
                                              "first (dotenvx encrypt -f %1), then try again.")
                                                   .arg(fileName));
    }

    // Encrypt the plaintext inside the private copy; dotenvx prints the result instead of
    // writing it.
    QString ciphertext;
    {
        PrivateFolder folder;
        if (folder.path().isEmpty())
            return folder.error();
        const Result<QString> copy = folder.write(fileName, publicKeys + key + u"='"_s + value + u"'\n"_s);
        if (!copy)
            return copy.error();
        const Result<ProcessOutput> run =
                runTool(*executable, {u"encrypt"_s, u"-f"_s, copy.value(), u"-k"_s, key, u"--stdout"_s}, folder.path());
        if (!run)
            return run.error();
        if (run.value().exitStatus != 0)
            return DotenvxError::encryptFailed(messageOf(run.value()));
        for (const EditableEnvEntry &entry : EnvParser::parse(run.value().standardOutput).entries) {
            if (!entry.isCommentedOut && entry.key == key && entry.encryption.storedCiphertext()) {
                ciphertext = bareCiphertext(entry.value);
                break;
            }
        }
        if (!ciphertext.startsWith(u"encrypted:"))
            return DotenvxError::ciphertextNotFoundAfterEncrypt(key);
    }

    // Store it as dotenvx's own `set` would: every active entry with the key, or a new one.
    Result<EnvDocument> current = EnvParser::load(path);
    if (!current)
        return current.error();
    EnvDocument document = std::move(current).value();
    bool found = false;
    for (EditableEnvEntry &entry : document.entries) {
        if (!entry.isCommentedOut && entry.key == key) {
            entry.value = ciphertext;
            entry.encryption = EncryptionState::encrypted(ciphertext);
            found = true;
        }
    }
    if (!found) {
        EditableEnvEntry entry = EditableEnvEntry::blank();
        entry.key = key;
        entry.value = ciphertext;
        entry.encryption = EncryptionState::encrypted(ciphertext);
        document.entries.append(entry);
    }
    if (const std::optional<IoError> error = EnvRenderer::write(document, path))
        return *error;

    // Read back what the file now holds, so the answer is what is stored.
    const Result<EnvDocument> written = EnvParser::load(path);
    if (!written)
        return written.error();
    for (const EditableEnvEntry &entry : written.value().entries) {
        if (entry.key == key) {
            const auto *encrypted = entry.encryption.get<EncryptionState::Encrypted>();
            const auto *revealed = entry.encryption.get<EncryptionState::Revealed>();
            if (encrypted)
                return encrypted->ciphertext;
            if (revealed)
                return revealed->ciphertext;
        }
    }
    return DotenvxError::ciphertextNotFoundAfterEncrypt(key);
}

bool DotenvxCLI::isPublicKeyName(QStringView name)
{
    return name == u"DOTENV_PUBLIC_KEY" || name.startsWith(u"DOTENV_PUBLIC_KEY_");
}

bool DotenvxCLI::isPrivateKeyName(QStringView name)
{
    return name == u"DOTENV_PRIVATE_KEY" || name.startsWith(u"DOTENV_PRIVATE_KEY_");
}
