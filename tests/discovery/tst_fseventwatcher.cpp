#include "common/TestEnvironment.h"
#include "discovery/EnvProjectScanner.h"
#include "discovery/FSEventWatcher.h"
#include "util/FileIO.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>

using namespace Qt::StringLiterals;
using Event = FSEventWatcher::Event;

namespace {

// Collects the batches a watcher delivers, from its thread.
class Recorder
{
public:
    struct Batch {
        qint64 ms; // since the recorder was made
        QList<Event> events;
    };

    FSEventWatcher::Handler handler()
    {
        return [this](const QList<Event> &events) {
            {
                QMutexLocker lock(&m_mutex);
                m_batches.append({m_clock.elapsed(), events});
                m_threadName = QThread::currentThread()->objectName();
            }
            m_calls.fetch_add(1);
            if (m_holdFirstBatch.exchange(false))
                m_release.acquire();
        };
    }

    QList<Batch> batches() const
    {
        QMutexLocker lock(&m_mutex);
        return m_batches;
    }
    QString threadName() const
    {
        QMutexLocker lock(&m_mutex);
        return m_threadName;
    }
    int calls() const { return m_calls.load(); }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_batches.clear();
    }
    void restartClock() { m_clock.restart(); }

    // The first event seen for the path that satisfies the predicate.
    template <typename Predicate>
    std::optional<Event> find(const QString &path, Predicate predicate) const
    {
        for (const Batch &batch : batches()) {
            for (const Event &event : batch.events) {
                if (event.path == path && predicate(event))
                    return event;
            }
        }
        return std::nullopt;
    }
    bool saw(const QString &path) const
    {
        return find(path, [](const Event &) { return true; }).has_value();
    }

    // Makes the handler block in its first call until release() (so the kernel queue fills up).
    void holdFirstBatch() { m_holdFirstBatch.store(true); }
    void release() { m_release.release(); }

private:
    mutable QMutex m_mutex;
    QList<Batch> m_batches;
    QString m_threadName;
    QElapsedTimer m_clock{};
    std::atomic<int> m_calls{0};
    std::atomic<bool> m_holdFirstBatch{false};
    QSemaphore m_release;

public:
    Recorder() { m_clock.start(); }
};

void write(const QString &path, const QByteArray &bytes = "X=1\n")
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

bool batchIsRelevant(const QList<Event> &events, const QString &project)
{
    return std::any_of(events.cbegin(), events.cend(), [&](const Event &event) {
        return EnvProjectScanner::isRelevantEventPath(event.path, project, EnvProjectScanner::ignoredDirectoryNames());
    });
}

} // namespace

class TestFSEventWatcher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void refusesNothingToWatch();
    void reportsWritesOnItsOwnThread();
    void reportsNewNestedFolders();
    void reportsRenamesAtomicSavesAndDeletes();
    void foldersMovedInAndOut();
    void prunedFoldersCostNoWatches();
    void coalescesBursts();
    void overflowAsksForRescan();
    void stopRacingABurst();
    void removedProjectFolder();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &relative) const { return m_dir->path() + u'/' + relative; }
};

void TestFSEventWatcher::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFSEventWatcher::refusesNothingToWatch()
{
    QVERIFY(!FSEventWatcher::create({}, [](const QList<Event> &) {}));
    // A folder that does not exist still gives a watcher (it reports nothing).
    auto watcher = FSEventWatcher::create({path(u"missing"_s)}, [](const QList<Event> &) {});
    QVERIFY(watcher);
    QCOMPARE(watcher->watchCount(), 0);
    watcher->stop();
    watcher->stop(); // idempotent
}

void TestFSEventWatcher::reportsWritesOnItsOwnThread()
{
    write(path(u".env"_s));
    Recorder recorder;
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler());
    QVERIFY(watcher);
    write(path(u".env"_s), "Y=2\n");
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(path(u".env"_s), [](const Event &e) { return e.isModified; }), 5000);
    QCOMPARE(recorder.threadName(), u"kelvane.fsevents"_s);
    const Event event = *recorder.find(path(u".env"_s), [](const Event &e) { return e.isModified; });
    QVERIFY(!event.isDirectory && !event.isCreated && !event.isRemoved && !event.mustScanSubDirs);
}

void TestFSEventWatcher::reportsNewNestedFolders()
{
    Recorder recorder;
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler());
    QVERIFY(watcher);
    // Made and filled at once: the file may exist before the new folders are watched.
    QVERIFY(QDir().mkpath(path(u"a/b"_s)));
    write(path(u"a/b/.env"_s));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.saw(path(u"a/b/.env"_s)), 5000);
    QVERIFY(recorder.find(path(u"a"_s), [](const Event &e) { return e.isDirectory && e.isCreated; }));
    // The new folders are watched from now on.
    QTRY_COMPARE_WITH_TIMEOUT(watcher->watchCount(), 3, 5000);
    recorder.clear();
    write(path(u"a/b/.env.local"_s));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(path(u"a/b/.env.local"_s), [](const Event &e) { return e.isCreated; }), 5000);
}

void TestFSEventWatcher::reportsRenamesAtomicSavesAndDeletes()
{
    write(path(u".env"_s));
    write(path(u".env.old"_s));
    Recorder recorder;
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler());
    QVERIFY(watcher);

    QVERIFY(QFile::rename(path(u".env.old"_s), path(u".env.renamed"_s)));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(path(u".env.renamed"_s), [](const Event &e) { return e.isRenamed; }), 5000);
    QVERIFY(recorder.find(path(u".env.old"_s), [](const Event &e) { return e.isRenamed; }));

    // How editors (and Kelvane) save: a temporary renamed over the file.
    QVERIFY(!FileIO::writeAtomically(path(u".env"_s), "Z=3\n"));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(path(u".env"_s), [](const Event &e) { return e.isRenamed; }), 5000);

    QVERIFY(QFile::remove(path(u".env.renamed"_s)));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(path(u".env.renamed"_s), [](const Event &e) { return e.isRemoved; }), 5000);

    for (const Recorder::Batch &batch : recorder.batches())
        QVERIFY(batchIsRelevant(batch.events, m_dir->path()));
}

void TestFSEventWatcher::foldersMovedInAndOut()
{
    QTemporaryDir outside;
    QVERIFY(QDir().mkpath(outside.path() + u"/incoming/deep"_s));
    write(outside.path() + u"/incoming/deep/.env"_s);
    QVERIFY(QDir().mkpath(path(u"leaving"_s)));

    Recorder recorder;
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler());
    QVERIFY(watcher);
    QCOMPARE(watcher->watchCount(), 2);

    QVERIFY(QDir().rename(outside.path() + u"/incoming"_s, path(u"incoming"_s)));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.saw(path(u"incoming/deep/.env"_s)), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->watchCount(), 4, 5000);

    QVERIFY(QDir().rename(path(u"leaving"_s), outside.path() + u"/left"_s));
    QTRY_COMPARE_WITH_TIMEOUT(watcher->watchCount(), 3, 5000);
    recorder.clear();
    write(outside.path() + u"/left/.env"_s); // no longer ours
    write(path(u"incoming/deep/.env"_s), "Y=2\n");
    QTRY_VERIFY_WITH_TIMEOUT(recorder.saw(path(u"incoming/deep/.env"_s)), 5000);
    for (const Recorder::Batch &batch : recorder.batches()) {
        for (const Event &event : batch.events)
            QVERIFY2(event.path.startsWith(m_dir->path()), qPrintable(event.path));
    }
}

void TestFSEventWatcher::prunedFoldersCostNoWatches()
{
    for (const QString &folder : {u".git/objects/ab"_s, u"node_modules/pkg/lib"_s, u"build/out"_s, u"src/app"_s})
        QVERIFY(QDir().mkpath(path(folder)));
    Recorder recorder;
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler());
    QVERIFY(watcher);
    QCOMPARE(watcher->watchCount(), 3); // the project folder, src, src/app

    for (int i = 0; i < 50; ++i) {
        write(path(u".git/objects/ab/obj%1"_s.arg(i)));
        write(path(u"node_modules/pkg/lib/f%1.js"_s.arg(i)));
        write(path(u"build/out/o%1"_s.arg(i)));
    }
    QVERIFY(QDir().mkpath(path(u"node_modules/new/deep"_s)));
    write(path(u"node_modules/new/deep/.env"_s));
    write(path(u"src/app/main.ts"_s)); // a relevant change last, so there is something to wait for
    QTRY_VERIFY_WITH_TIMEOUT(recorder.saw(path(u"src/app/main.ts"_s)), 5000);
    QCOMPARE(watcher->watchCount(), 3);
    for (const Recorder::Batch &batch : recorder.batches()) {
        for (const Event &event : batch.events) {
            const bool relevant = EnvProjectScanner::isRelevantEventPath(event.path, m_dir->path(),
                                                                        EnvProjectScanner::ignoredDirectoryNames());
            QVERIFY2(relevant == (event.path == path(u"src/app/main.ts"_s)), qPrintable(event.path));
        }
    }
}

void TestFSEventWatcher::coalescesBursts()
{
    // A long latency makes the two halves of the rule plain to see on a busy machine: the first
    // change arrives at once, the rest of the burst waits for the latency.
    Recorder recorder;
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler(), 2.0);
    QVERIFY(watcher);
    QElapsedTimer burst;
    burst.start();
    recorder.restartClock();
    for (int i = 0; i < 20; ++i)
        write(path(u".env.%1"_s.arg(i)));
    const qint64 burstMs = burst.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.saw(path(u".env.19"_s)), 10000);
    QTest::qWait(300);
    const QList<Recorder::Batch> batches = recorder.batches();
    QVERIFY2(batches.size() <= 2 || burstMs > 1000, qPrintable(QString::number(batches.size())));
    QVERIFY2(batches.first().ms < 1500, qPrintable(QString::number(batches.first().ms)));
    if (batches.size() == 2)
        QVERIFY2(batches[1].ms - batches[0].ms >= 1900, qPrintable(QString::number(batches[1].ms - batches[0].ms)));
}

void TestFSEventWatcher::overflowAsksForRescan()
{
    QFile limitFile(u"/proc/sys/fs/inotify/max_queued_events"_s);
    if (!limitFile.open(QIODevice::ReadOnly))
        QSKIP("the kernel's queue limit is not readable");
    const int queueLimit = limitFile.readAll().trimmed().toInt();
    if (queueLimit <= 0 || queueLimit > 100000)
        QSKIP("the kernel's queue is too large to overflow quickly");

    write(path(u"first"_s));
    Recorder recorder;
    recorder.holdFirstBatch();
    auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler());
    QVERIFY(watcher);
    write(path(u"first"_s));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.calls(), 1, 5000); // the reader is now stuck in the handler
    // Each new file gives at least two distinct events (create, close).
    for (int i = 0; i < queueLimit / 2 + 1000; ++i)
        write(path(u"f%1"_s.arg(i)));
    recorder.release();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(m_dir->path(), [](const Event &e) { return e.mustScanSubDirs; }), 10000);
}

void TestFSEventWatcher::stopRacingABurst()
{
    for (int round = 0; round < 10; ++round) {
        Recorder recorder;
        auto watcher = FSEventWatcher::create({m_dir->path()}, recorder.handler(), 0.01);
        QVERIFY(watcher);
        std::atomic<bool> writing{true};
        QThread *writer = QThread::create([&] {
            for (int i = 0; writing.load(); ++i)
                write(path(u"burst.%1"_s.arg(i % 50)));
        });
        writer->start();
        QTest::qWait(20 + round * 5);
        watcher->stop();
        const int callsAtStop = recorder.calls();
        QTest::qWait(50);
        writing.store(false);
        writer->wait();
        delete writer;
        QCOMPARE(recorder.calls(), callsAtStop);
        watcher.reset(); // destroying a stopped watcher is fine
    }
}

void TestFSEventWatcher::removedProjectFolder()
{
    const QString project = path(u"project"_s);
    QVERIFY(QDir().mkpath(project));
    Recorder recorder;
    auto watcher = FSEventWatcher::create({project}, recorder.handler());
    QVERIFY(watcher);
    QVERIFY(QDir(project).removeRecursively());
    QTRY_VERIFY_WITH_TIMEOUT(recorder.find(project, [](const Event &e) { return e.isRemoved; }), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->watchCount(), 0, 5000);
    QVERIFY(batchIsRelevant(recorder.batches().last().events, project));
}

KELVANE_TEST_MAIN(TestFSEventWatcher)
#include "tst_fseventwatcher.moc"
