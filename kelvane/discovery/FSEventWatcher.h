#pragma once

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// Watches one folder tree (inotify) and hands batches of changes to `handler` on a thread of
// its own, named "kelvane.fsevents". The first change after a quiet period is delivered at once;
// later ones are coalesced over `latency`.
//
// Every folder of the tree gets a watch except hidden ones and those in the scanner's ignore
// list, whose changes can never matter; folders created or moved in later are added, and the
// files already inside them reported. When the kernel's queue overflows, one event for the
// watched folder with `mustScanSubDirs` says that anything may have changed.
class FSEventWatcher
{
public:
    struct Event {
        QString path; // absolute
        bool isDirectory = false;
        bool isCreated = false;
        bool isRemoved = false;
        bool isRenamed = false;
        bool isModified = false;
        bool mustScanSubDirs = false;

        bool operator==(const Event &) const = default;
    };
    using Handler = std::function<void(const QList<Event> &)>;

    // A running watcher over the first path (the workspace passes one, the project folder), or
    // nothing when `paths` is empty or inotify cannot be set up.
    static std::unique_ptr<FSEventWatcher> create(const QStringList &paths, Handler handler, double latency = 0.15);

    ~FSEventWatcher();
    FSEventWatcher(const FSEventWatcher &) = delete;
    FSEventWatcher &operator=(const FSEventWatcher &) = delete;

    // Stops watching: once it returns, the handler is not called again. Idempotent. (Called from
    // the handler itself it only asks the thread to end.)
    void stop();

    // Folders watched right now.
    int watchCount() const;

private:
    class Reader;
    FSEventWatcher() = default;

    std::unique_ptr<Reader> m_reader;
    QThread *m_thread = nullptr;
};

size_t qHash(const FSEventWatcher::Event &event, size_t seed = 0) noexcept;
