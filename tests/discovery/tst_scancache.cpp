#include "common/TestEnvironment.h"
#include "discovery/ScanCache.h"
#include "util/FileIO.h"
#include "util/Sha256.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

class TestScanCache : public QObject
{
    Q_OBJECT

private slots:
    void locationAndName();
    void saveWritesTheRecord();
    void removeDeletesOnlyThatRecord();
    void failuresAreSilent();
};

void TestScanCache::locationAndName()
{
    const QString expectedFolder = TestEnvironment::root() + u"/home/.local/share/com.kelvane.app/scans"_s;
    QCOMPARE(ScanCache::cacheDirectory(), expectedFolder);
    QCOMPARE(sha256Hex(u"abc"), u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_s);
    QCOMPARE(ScanCache::snapshotFileURL(u"/Users/u/p"_s), expectedFolder + u'/' + sha256Hex(u"/Users/u/p") + u".json"_s);
    // Hashed exactly as given: letter case makes a different file.
    QVERIFY(ScanCache::snapshotFileURL(u"/Users/u/P"_s) != ScanCache::snapshotFileURL(u"/Users/u/p"_s));
    QVERIFY(ScanCache::snapshotFileURL(u"/Users/u/p/"_s) != ScanCache::snapshotFileURL(u"/Users/u/p"_s));
}

void TestScanCache::saveWritesTheRecord()
{
    const QDateTime savedAt = QDateTime(QDate(2001, 1, 2), QTime(0, 0, 1, 500), Qt::UTC);
    ScanCache::save({u"/Users/u/p"_s, savedAt, {u".env"_s, u"/apps/web/.env.local"_s}});
    const QString file = ScanCache::snapshotFileURL(u"/Users/u/p"_s);
    const QByteArray bytes = FileIO::readAll(file).value();
    QVERIFY(!bytes.contains('\n')); // compact
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(object.keys(), (QStringList{u"projectPath"_s, u"relativeFilePaths"_s, u"savedAt"_s}));
    QCOMPARE(object.value(u"projectPath"_s).toString(), u"/Users/u/p"_s);
    QCOMPARE(object.value(u"savedAt"_s).toDouble(), 86401.5);
    QCOMPARE(object.value(u"relativeFilePaths"_s).toArray(),
             QJsonArray::fromStringList({u".env"_s, u"/apps/web/.env.local"_s}));

    ScanCache::save({u"/Users/u/empty"_s, savedAt, {}});
    const QJsonObject empty = QJsonDocument::fromJson(FileIO::readAll(ScanCache::snapshotFileURL(u"/Users/u/empty"_s)).value()).object();
    QCOMPARE(empty.value(u"relativeFilePaths"_s).toArray(), QJsonArray());
    // Only the two records, no temporaries.
    QCOMPARE(QDir(ScanCache::cacheDirectory()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestScanCache::removeDeletesOnlyThatRecord()
{
    ScanCache::save({u"/a"_s, QDateTime::currentDateTimeUtc(), {}});
    ScanCache::save({u"/b"_s, QDateTime::currentDateTimeUtc(), {}});
    ScanCache::remove(u"/a"_s);
    QVERIFY(!QFile::exists(ScanCache::snapshotFileURL(u"/a"_s)));
    QVERIFY(QFile::exists(ScanCache::snapshotFileURL(u"/b"_s)));
    ScanCache::remove(u"/never-saved"_s); // nothing visible happens
}

void TestScanCache::failuresAreSilent()
{
    // The data folder is a file: saving and removing do nothing and report nothing.
    const QString data = TestEnvironment::root() + u"/blocked"_s;
    QVERIFY(!FileIO::writeAtomically(data, "not a folder"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    ScanCache::save({u"/p"_s, QDateTime::currentDateTimeUtc(), {u".env"_s}});
    ScanCache::remove(u"/p"_s);
    QCOMPARE(FileIO::readAll(data).value(), QByteArray("not a folder"));
}

KELVANE_TEST_MAIN(TestScanCache)
#include "tst_scancache.moc"
