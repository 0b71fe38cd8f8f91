#pragma once

#include <QString>
#include <QStringView>

namespace Paths {

// The standardized form of a path: absolute (relative paths are taken from the current folder),
// no "." or ".." components, no repeated or trailing "/". Purely lexical: symbolic links are not
// resolved. Paths are compared in this form everywhere.
QString standardized(const QString &path);

// The last component of a standardized path ("/" for the root).
QStringView lastComponent(QStringView path);

// The path without its last component ("/" stays "/").
QStringView parent(QStringView path);

// `name` (a file name or a relative path) inside `folder`.
QString child(QStringView folder, QStringView name);

} // namespace Paths
