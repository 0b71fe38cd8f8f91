#include "FileIO.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

IoError IoError::fromErrno(int code)
{
    return {code, qt_error_string(code)};
}

IoError IoError::withDescription(int code, QString description)
{
    return {code, std::move(description)};
}

namespace {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }
    // Closes now and reports the result: on some file systems close() is where a failed
    // write-back surfaces.
    int close()
    {
        const int result = ::close(m_fd);
        m_fd = -1;
        return result;
    }

private:
    int m_fd;
};

int openRetrying(const QByteArray &path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

IoError notRegularFile(const struct stat &st)
{
    if (S_ISDIR(st.st_mode))
        return IoError::fromErrno(EISDIR);
    return IoError::withDescription(EINVAL, QCoreApplication::translate("FileIO", "Not a regular file"));
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

// Follows a chain of symbolic links to the path that is really written. A dangling link yields
// the path it points to, so writing creates the file there and the link keeps working.
std::optional<QByteArray> resolveLinks(QByteArray path, IoError *error)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t length = ::readlink(path.constData(), target.data(), target.size());
        if (length < 0) {
            *error = IoError::fromErrno(errno);
            return std::nullopt;
        }
        target.truncate(length);
        path = target.startsWith('/') ? target : parentOf(path) + '/' + target;
    }
    *error = IoError::fromErrno(ELOOP);
    return std::nullopt;
}

bool writeFully(int fd, QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

} // namespace

bool FileIO::listFolder(const QByteArray &path, bool followLink,
                        const std::function<void(const char *name, unsigned char type)> &visit)
{
    const int fd = openRetrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return false;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (const struct dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_FIFO;
        }
        visit(name, type);
    }
    ::closedir(dir);
    return true;
}

Result<QByteArray> FileIO::readAll(const QString &path)
{
    // O_NONBLOCK so that a FIFO does not hang the open; it is refused right after.
    const int fd = openRetrying(QFile::encodeName(path), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return IoError::fromErrno(errno);
    FileDescriptor file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return IoError::fromErrno(errno);
    if (!S_ISREG(st.st_mode))
        return notRegularFile(st);
    if (st.st_size > maximumFileSize)
        return IoError::fromErrno(EFBIG);

    QByteArray data;
    qsizetype used = 0;
    qsizetype capacity = st.st_size > 0 ? qsizetype(st.st_size) + 1 : 4096;
    data.resize(capacity);
    for (;;) {
        if (used == capacity) {
            if (capacity > maximumFileSize)
                return IoError::fromErrno(EFBIG); // it grew while being read
            capacity *= 2;
            data.resize(capacity);
        }
        const ssize_t got = ::read(fd, data.data() + used, size_t(capacity - used));
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return IoError::fromErrno(errno);
        }
        if (got == 0)
            break;
        used += got;
    }
    data.truncate(used);
    return data;
}

std::optional<IoError> FileIO::makeDirectories(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? std::nullopt : std::optional(IoError::fromErrno(ENOTDIR));
    if (errno != ENOENT)
        return IoError::fromErrno(errno);
    const QByteArray parent = parentOf(native);
    if (parent != native) {
        if (std::optional<IoError> error = makeDirectories(QFile::decodeName(parent)))
            return error;
    }
    if (::mkdir(native.constData(), 0777) != 0 && errno != EEXIST)
        return IoError::fromErrno(errno);
    return std::nullopt;
}

Result<QString> FileIO::decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom | QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return IoError::withDescription(EILSEQ, QCoreApplication::translate("FileIO", "The file is not valid UTF-8 text"));
    return text;
}

Result<QString> FileIO::readUtf8(const QString &path)
{
    Result<QByteArray> bytes = readAll(path);
    if (!bytes)
        return bytes.error();
    return decodeUtf8(bytes.value());
}

std::optional<IoError> FileIO::copyFile(const QString &from, const QString &to)
{
    const int source = openRetrying(QFile::encodeName(from), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (source < 0)
        return IoError::fromErrno(errno);
    FileDescriptor in(source);
    struct stat st;
    if (::fstat(source, &st) != 0)
        return IoError::fromErrno(errno);
    if (!S_ISREG(st.st_mode))
        return notRegularFile(st);
    const QByteArray target = QFile::encodeName(to);
    const int fd = openRetrying(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, st.st_mode & 0777);
    if (fd < 0)
        return IoError::fromErrno(errno);
    FileDescriptor out(fd);
    auto fail = [&](int code) -> std::optional<IoError> {
        if (out.get() >= 0)
            out.close();
        ::unlink(target.constData());
        return IoError::fromErrno(code);
    };
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(source, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        if (got == 0)
            break;
        if (!writeFully(fd, QByteArrayView(buffer, got)))
            return fail(errno);
    }
    if (::fsync(fd) != 0)
        return fail(errno);
    if (out.close() != 0)
        return fail(errno);
    return std::nullopt;
}

std::optional<IoError> FileIO::writeAtomically(const QString &path, QByteArrayView bytes, std::optional<unsigned> newFileMode)
{
    IoError error;
    const std::optional<QByteArray> resolved = resolveLinks(QFile::encodeName(path), &error);
    if (!resolved)
        return error;
    const QByteArray &target = *resolved;

    struct stat st;
    bool exists = true;
    if (::stat(target.constData(), &st) != 0) {
        if (errno != ENOENT)
            return IoError::fromErrno(errno);
        exists = false;
    } else if (!S_ISREG(st.st_mode)) {
        return notRegularFile(st);
    }
    // An existing file keeps its permission bits; a new one gets what any editor would give it.
    const mode_t mode = exists ? (st.st_mode & 0777) : mode_t(newFileMode.value_or(0666) & 0777);

    const QByteArray temporary = parentOf(target) + '/' + QByteArray(temporaryNamePrefix.data())
            + ".write-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + ".tmp";
    // The umask can only narrow the mode given here, so the temporary is never wider than the
    // target, not even for the moment before fchmod restores the target's exact bits.
    const int fd = openRetrying(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return IoError::fromErrno(errno);
    FileDescriptor file(fd);
    auto fail = [&](int code) -> std::optional<IoError> {
        if (file.get() >= 0)
            file.close();
        ::unlink(temporary.constData());
        return IoError::fromErrno(code);
    };

    if (exists || newFileMode) {
        if (::fchmod(fd, mode) != 0)
            return fail(errno);
    }
    if (exists) {
        // Keep the owner when an administrator edits someone else's file; ordinary users
        // cannot change it, and then the file becomes theirs as with any editor.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not the owner: keep at least the group. If even that fails, the group bits would
            // apply to the wrong group, so they go.
            if (::fchown(fd, uid_t(-1), st.st_gid) != 0 && ::fchmod(fd, mode & ~mode_t(0070)) != 0)
                return fail(errno);
        }
    }
    if (!writeFully(fd, bytes))
        return fail(errno);
    if (::fsync(fd) != 0)
        return fail(errno);
    if (file.close() != 0)
        return fail(errno);
    if (::rename(temporary.constData(), target.constData()) != 0)
        return fail(errno);

    // Make the rename itself durable. Some file systems do not support syncing a folder; the
    // new content is in place either way, so this is best effort.
    const int dirFd = openRetrying(parentOf(target), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}
