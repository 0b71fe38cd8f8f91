#include "ScanCache.h"

#include "util/FileIO.h"
#include "util/Sha256.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

// The reference date of the record's time stamps.
const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

} // namespace

QString ScanCache::cacheDirectory()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return QString();
    return data + u"/com.kelvane.app/scans"_s;
}

QString ScanCache::snapshotFileURL(const QString &projectPath, const QString &directory)
{
    if (directory.isEmpty())
        return QString();
    return directory + u'/' + sha256Hex(projectPath) + u".json"_s;
}

QByteArray ScanCache::encode(const Snapshot &snapshot)
{
    QJsonObject object;
    object.insert(u"projectPath"_s, snapshot.projectPath);
    object.insert(u"savedAt"_s, double(referenceDate().msecsTo(snapshot.savedAt)) / 1000.0);
    object.insert(u"relativeFilePaths"_s, QJsonArray::fromStringList(snapshot.relativeFilePaths));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void ScanCache::save(const Snapshot &snapshot, const QString &directory)
{
    const QString file = snapshotFileURL(snapshot.projectPath, directory);
    if (file.isEmpty())
        return;
    QDir().mkpath(directory);
    (void)FileIO::writeAtomically(file, encode(snapshot));
}

void ScanCache::remove(const QString &projectPath, const QString &directory)
{
    const QString file = snapshotFileURL(projectPath, directory);
    if (!file.isEmpty())
        QFile::remove(file);
}
