#pragma once

#include "IoError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1StringView>
#include <QString>

#include <functional>
#include <optional>

namespace FileIO {

// Every temporary file Kelvane leaves in a user's folder, even for a moment, starts with this,
// and the project scanner never lists such names: a crash mid-save must not surface a copy of a
// secrets file as a new ".env" file.
inline constexpr QLatin1StringView temporaryNamePrefix{".__kelvane_autosave_backup__"};

// The largest file Kelvane reads (a .env file is a few kilobytes; this is far beyond any).
inline constexpr qint64 maximumFileSize = qint64(512) * 1024 * 1024;

// Calls `visit` with the name and d_type (DT_DIR, DT_REG, DT_LNK, ...; DT_UNKNOWN when it cannot
// be told) of every entry of a folder but "." and "..", asking the file system only when the
// folder listing does not say. A link is reported as a link. False when the folder cannot be
// opened; with `followLink` false a link in place of the folder is not opened either.
bool listFolder(const QByteArray &path, bool followLink, const std::function<void(const char *name, unsigned char type)> &visit);

// Reads a whole regular file. Directories, FIFOs and devices are refused rather than read, and
// so is a file larger than maximumFileSize (EFBIG).
Result<QByteArray> readAll(const QString &path);

// Reads a whole file that must be valid UTF-8. A byte-order mark is kept as U+FEFF, so writing
// the text back reproduces the file. Invalid UTF-8 fails with EILSEQ; there is no fallback.
Result<QString> readUtf8(const QString &path);

// Creates a folder and every missing folder above it (like mkdir -p); an existing folder is
// fine, anything else in the way is an error.
std::optional<IoError> makeDirectories(const QString &path);

// Decodes bytes that must be valid UTF-8, the way readUtf8 does.
Result<QString> decodeUtf8(const QByteArray &bytes);

// Copies a regular file byte for byte to a new file `to` (which must not exist yet), created with
// the source's permission bits (never wider) and flushed to disk.
std::optional<IoError> copyFile(const QString &from, const QString &to);

// Replaces the file at path with bytes, atomically: readers see the old or the new content,
// never a mix, and a failure at any step leaves the old file untouched and no temporary behind.
// The temporary is created in the target's folder with the target's permission bits (a new file
// gets 0666 minus the umask), every write, flush and fsync is checked, and it is renamed over the
// target. A symbolic link is written through: its target is replaced and the link stays.
// `newFileMode` sets the permission bits of a file that does not exist yet (default: 0666 minus
// the umask); an existing file always keeps its own.
std::optional<IoError> writeAtomically(const QString &path, QByteArrayView bytes,
                                       std::optional<unsigned> newFileMode = std::nullopt);

} // namespace FileIO
