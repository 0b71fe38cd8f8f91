#pragma once

#include "EnvProject.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringView>

#include <optional>

// Finds the env files of a project folder tree and arranges them by folder. Stateless.
namespace EnvProjectScanner {

// Folders that are never entered (compared exactly). Hidden folders are skipped by their own rule.
const QSet<QString> &ignoredDirectoryNames();

// Whether a file name is an env file: lower-cased it contains ".env", and it is not one of
// Kelvane's own temporary files.
bool isEnvFileName(QStringView name);

// Folders that are never entered, watched or offered: hidden ones and those in `ignore`.
bool isPrunedDirectoryName(QStringView name, const QSet<QString> &ignore);

// Whether a change the watcher reported at `path` can change the scan of the project at
// `projectPath`: not inside a hidden or ignored folder of the project, and, for a hidden file,
// only when its name is an env file name. Only the components below the project folder count,
// so a project that itself lies under a hidden folder (~/.config/app) still gets its changes.
bool isRelevantEventPath(QStringView path, QStringView projectPath, const QSet<QString> &ignore);

// Scans the folder (standardized first) and returns the root of its tree. Never fails: a
// missing or unreadable folder gives a root without files, unreadable entries are skipped.
// Symbolic links are neither listed nor followed; hidden and ignored folders are not entered.
EnvDirectoryNode scan(const QString &projectFolder, const QSet<QString> &ignore);

// The tree of `rootPath` holding `filesByDirectory` (absolute folder path -> its files, sorted).
EnvDirectoryNode buildTree(const QString &rootPath, const QHash<QString, QList<EnvFile>> &filesByDirectory);

// Depth-first, pre-order search for the node with exactly this relative path.
std::optional<EnvDirectoryNode> findNode(const EnvDirectoryNode &root, QStringView relativePath);

// `path` relative to `rootPath`: "" for the root itself, the path without the root's prefix
// below it, and the whole path when it does not lie below the root.
QString relativePath(QStringView path, QStringView rootPath);

// Locale-aware, case-insensitive comparison of names (current locale): <0, 0 or >0. Names that
// compare equal are ordered by their characters, so every order is deterministic.
int compareNames(QStringView a, QStringView b);
// File order: ".env" first, then by name.
bool fileOrder(const EnvFile &a, const EnvFile &b);
// Directory order: by last path component.
bool directoryOrder(QStringView a, QStringView b);

} // namespace EnvProjectScanner
