#include "FSEventWatcher.h"

#include "EnvProjectScanner.h"
#include "util/FileIO.h"
#include "util/Paths.h"

#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QThread>

#include <cerrno>
#include <dirent.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcWatcher, "kelvane.discovery.watcher")

namespace {

constexpr uint32_t watchMask = IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF
        | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_ONLYDIR | IN_EXCL_UNLINK;

qint64 monotonicMilliseconds()
{
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Folders whose changes never matter to a scan are not watched at all.
bool isPrunedName(QStringView name)
{
    return EnvProjectScanner::isPrunedDirectoryName(name, EnvProjectScanner::ignoredDirectoryNames());
}

} // namespace

class FSEventWatcher::Reader
{
public:
    Reader(QString root, Handler handler, double latency, int inotifyFd, int wakeFd)
        : m_root(std::move(root)), m_handler(std::move(handler)), m_latencyMs(qint64(latency * 1000)),
          m_inotifyFd(inotifyFd), m_wakeFd(wakeFd)
    {
    }
    ~Reader() { closeDescriptors(); }

    // Watches the tree; runs before the thread starts.
    void setUp() { addTree(m_root, nullptr); }

    void run()
    {
        QList<Event> pending;
        qint64 lastDelivery = std::numeric_limits<qint64>::min() / 2;
        qint64 deadline = -1;
        struct pollfd fds[2] = {{m_inotifyFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        while (!m_stopping.load()) {
            int timeout = -1;
            if (deadline >= 0)
                timeout = int(std::max<qint64>(0, deadline - monotonicMilliseconds()));
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) {
                qCWarning(lcWatcher) << "Watching" << m_root << "ended:" << qt_error_string(errno);
                return;
            }
            if (m_stopping.load())
                return;
            if (ready > 0 && (fds[0].revents & POLLIN))
                readEvents(pending);

            const qint64 now = monotonicMilliseconds();
            if (pending.isEmpty())
                continue;
            // The first change after a quiet period goes out at once; later ones wait until one
            // latency after the previous batch.
            if (deadline < 0)
                deadline = now - lastDelivery >= m_latencyMs ? now : lastDelivery + m_latencyMs;
            if (now < deadline)
                continue;
            if (m_stopping.load())
                return;
            m_handler(pending);
            pending.clear();
            lastDelivery = now;
            deadline = -1;
        }
    }

    void requestStop()
    {
        m_stopping.store(true);
        const uint64_t one = 1;
        (void)::write(m_wakeFd, &one, sizeof one);
    }

    void closeDescriptors()
    {
        if (m_inotifyFd >= 0)
            ::close(m_inotifyFd);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        m_inotifyFd = m_wakeFd = -1;
    }

    int watchCount() const { return m_watchCount.load(); }

private:
    void readEvents(QList<Event> &pending)
    {
        alignas(struct inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t length = ::read(m_inotifyFd, buffer, sizeof buffer);
            if (length <= 0)
                return; // EAGAIN: drained
            for (ssize_t offset = 0; offset < length;) {
                const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + offset);
                handle(*event, pending);
                offset += ssize_t(sizeof(struct inotify_event) + event->len);
            }
        }
    }

    void handle(const struct inotify_event &event, QList<Event> &pending)
    {
        if (event.mask & IN_Q_OVERFLOW) {
            // Events were lost, including perhaps new folders: say so, and watch what is missing.
            pending.append(Event{m_root, false, false, false, false, false, true});
            addTree(m_root, nullptr);
            return;
        }
        const QString folder = m_pathOfWatch.value(event.wd);
        if (folder.isNull())
            return;
        if (event.mask & IN_IGNORED) { // the folder is gone (or was moved away and unwatched)
            forgetWatch(event.wd);
            return;
        }
        const QString name = event.len > 0 ? QFile::decodeName(event.name) : QString();
        const QString path = name.isEmpty() ? folder : Paths::child(folder, name);
        const bool isDirectory = event.mask & IN_ISDIR;
        pending.append(Event{path, isDirectory, bool(event.mask & IN_CREATE),
                             bool(event.mask & (IN_DELETE | IN_DELETE_SELF)),
                             bool(event.mask & (IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF)),
                             bool(event.mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)), false});
        if (!isDirectory || name.isEmpty())
            return;
        if (event.mask & IN_MOVED_FROM)
            removeTree(path);
        if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && !isPrunedName(name))
            addTree(path, &pending);
    }

    // Watches `top` and every folder below it that is not pruned. With `found`, everything
    // already inside is reported as created: it may have been written before its folder's
    // watch existed.
    void addTree(const QString &top, QList<Event> *found)
    {
        QStringList folders{top};
        while (!folders.isEmpty() && !m_watchLimitReached) {
            const QString folder = folders.takeLast();
            const QByteArray native = QFile::encodeName(folder);
            const uint32_t mask = watchMask | (folder == m_root ? 0 : IN_DONT_FOLLOW);
            const int wd = ::inotify_add_watch(m_inotifyFd, native.constData(), mask);
            if (wd < 0) {
                if (errno == ENOSPC) {
                    m_watchLimitReached = true;
                    qCWarning(lcWatcher).noquote()
                            << "The inotify watch limit (fs.inotify.max_user_watches) is reached; changes below"
                            << folder << "and other folders of" << m_root << "are not seen.";
                }
                continue; // vanished meanwhile, or not readable
            }
            rememberWatch(wd, folder);
            FileIO::listFolder(native, true, [&](const char *rawName, unsigned char type) {
                const QString name = QFile::decodeName(rawName);
                const QString path = Paths::child(folder, name);
                if (found)
                    found->append(Event{path, type == DT_DIR, true, false, false, false, false});
                if (type == DT_DIR && !isPrunedName(name))
                    folders.append(path);
            });
        }
    }

    // A folder moved away keeps its watches (inotify follows the inode); drop them, since the
    // paths they would report are no longer true.
    void removeTree(const QString &top)
    {
        const QString prefix = top + u'/';
        QList<int> gone;
        for (auto it = m_pathOfWatch.cbegin(); it != m_pathOfWatch.cend(); ++it) {
            if (it.value() == top || it.value().startsWith(prefix))
                gone.append(it.key());
        }
        for (const int wd : gone) {
            ::inotify_rm_watch(m_inotifyFd, wd);
            forgetWatch(wd);
        }
    }

    void rememberWatch(int wd, const QString &folder)
    {
        if (!m_pathOfWatch.contains(wd))
            m_watchCount.fetch_add(1);
        m_pathOfWatch.insert(wd, folder);
    }

    void forgetWatch(int wd)
    {
        if (m_pathOfWatch.remove(wd))
            m_watchCount.fetch_sub(1);
    }

    const QString m_root;
    const Handler m_handler;
    const qint64 m_latencyMs;
    int m_inotifyFd;
    int m_wakeFd;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_watchCount{0};
    bool m_watchLimitReached = false;
    QHash<int, QString> m_pathOfWatch; // only touched by set-up, then by the reader thread
};

std::unique_ptr<FSEventWatcher> FSEventWatcher::create(const QStringList &paths, Handler handler, double latency)
{
    if (paths.isEmpty() || !handler)
        return nullptr;
    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        qCWarning(lcWatcher) << "inotify is not available:" << qt_error_string(errno);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        ::close(inotifyFd);
        return nullptr;
    }
    std::unique_ptr<FSEventWatcher> watcher(new FSEventWatcher);
    watcher->m_reader = std::make_unique<Reader>(Paths::standardized(paths.first()), std::move(handler), latency,
                                                 inotifyFd, wakeFd);
    watcher->m_reader->setUp();
    Reader *reader = watcher->m_reader.get();
    watcher->m_thread = QThread::create([reader] { reader->run(); });
    watcher->m_thread->setObjectName(QStringLiteral("kelvane.fsevents"));
    watcher->m_thread->start();
    return watcher;
}

FSEventWatcher::~FSEventWatcher()
{
    stop();
}

void FSEventWatcher::stop()
{
    if (!m_thread)
        return;
    m_reader->requestStop();
    if (QThread::currentThread() == m_thread)
        return; // from the handler: the loop ends as soon as it returns
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    m_reader->closeDescriptors();
}

int FSEventWatcher::watchCount() const
{
    return m_reader ? m_reader->watchCount() : 0;
}

size_t qHash(const FSEventWatcher::Event &event, size_t seed) noexcept
{
    return qHashMulti(seed, event.path, event.isDirectory, event.isCreated, event.isRemoved, event.isRenamed,
                      event.isModified, event.mustScanSubDirs);
}
