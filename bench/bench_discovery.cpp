// make bench: the scanner against find(1) with the same pruning on a generated tree of about
// 100,000 entries, and the watcher's set-up time and watch count for it. The last line is the
// ratio scan_seconds / find_seconds.
#include "discovery/EnvProjectScanner.h"
#include "discovery/FSEventWatcher.h"

#include "BenchTiming.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

int g_files = 0;

void makeFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        qFatal("cannot create %s", path.constData());
    ::close(fd);
    ++g_files;
}

// `count` files spread over folders `fanOut` wide, below `top`.
void makeTree(const QByteArray &top, int folders, int filesPerFolder, int fanOut, QRandomGenerator &random,
              QList<QByteArray> *created = nullptr)
{
    QList<QByteArray> made{top};
    QDir().mkpath(QString::fromUtf8(top));
    for (int i = 1; i < folders; ++i) {
        const QByteArray parent = made[random.bounded(qMin(int(made.size()), fanOut * 4))];
        const QByteArray folder = parent + "/d" + QByteArray::number(i);
        ::mkdir(folder.constData(), 0755);
        made.append(folder);
    }
    for (const QByteArray &folder : made) {
        for (int f = 0; f < filesPerFolder; ++f)
            makeFile(folder + "/file" + QByteArray::number(f) + (f % 3 ? ".ts" : ".json"));
    }
    if (created)
        *created = made;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path()) + "/project";
    QRandomGenerator random(7);

    // ~30,000 ordinary files in ~3,000 folders, with ~300 env files among them at various depths.
    QList<QByteArray> folders;
    makeTree(root, 3000, 10, 50, random, &folders);
    for (int i = 0; i < 300; ++i) {
        static const char *const names[] = {"/.env", "/.env.local", "/.env.production", "/config.env"};
        makeFile(folders[random.bounded(int(folders.size()))] + names[i % 4]);
    }
    makeTree(root + "/node_modules", 5000, 10, 200, random); // ~50,000
    makeTree(root + "/.git/objects", 300, 50, 30, random);   // ~15,000
    std::printf("tree: %d files, %lld ordinary folders\n", g_files, qlonglong(folders.size()));

    const QString rootPath = QFile::decodeName(root);
    qsizetype found = 0;
    const double scanSeconds = bestSeconds(5, [&] {
        found = EnvProjectScanner::scan(rootPath, EnvProjectScanner::ignoredDirectoryNames()).allFiles().size();
    });

    QStringList findArguments{rootPath, u"-type"_s, u"d"_s, u"("_s, u"-name"_s, u".*"_s};
    for (const QString &name : EnvProjectScanner::ignoredDirectoryNames())
        findArguments << u"-o"_s << u"-name"_s << name;
    findArguments << u")"_s << u"-prune"_s << u"-o"_s << u"-type"_s << u"f"_s << u"-iname"_s << u"*.env*"_s << u"-print"_s;
    qsizetype findFound = 0;
    const double findSeconds = bestSeconds(5, [&] {
        QProcess find;
        find.start(u"find"_s, findArguments);
        find.waitForFinished(-1);
        findFound = find.readAllStandardOutput().count('\n');
    });

    QElapsedTimer watchTimer;
    watchTimer.start();
    auto watcher = FSEventWatcher::create({rootPath}, [](const QList<FSEventWatcher::Event> &) {});
    const double watchSeconds = double(watchTimer.nsecsElapsed()) / 1e9;

    std::printf("env files: scan %lld, find %lld\n", qlonglong(found), qlonglong(findFound));
    std::printf("scan_ms %.1f\n", scanSeconds * 1000);
    std::printf("find_ms %.1f\n", findSeconds * 1000);
    std::printf("watcher_setup_ms %.1f, inotify watches %d\n", watchSeconds * 1000, watcher ? watcher->watchCount() : 0);
    std::printf("scan_seconds / find_seconds = %.2f\n", scanSeconds / findSeconds);
    return 0;
}
