#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// A small JSON record per project of what its latest changed scan found. Written and removed,
// never read back by Kelvane. Every failure is silent.
namespace ScanCache {

struct Snapshot {
    QString projectPath;
    QDateTime savedAt;
    QStringList relativeFilePaths; // displayPath of every file, in allFiles order

    bool operator==(const Snapshot &) const = default;
};

// $XDG_DATA_HOME/com.kelvane.app/scans, or "" when there is no data folder.
QString cacheDirectory();
// The snapshot file of a project in `directory`: the SHA-256 of the path as given, in hex, plus
// ".json"; "" when there is no cache folder.
QString snapshotFileURL(const QString &projectPath, const QString &directory = cacheDirectory());

void save(const Snapshot &snapshot, const QString &directory = cacheDirectory());
void remove(const QString &projectPath, const QString &directory = cacheDirectory());

// The file's bytes: {"projectPath": ..., "savedAt": seconds since 2001-01-01 UTC, "relativeFilePaths": [...]}.
QByteArray encode(const Snapshot &snapshot);

} // namespace ScanCache
