#pragma once

#include "util/IoError.h"

#include <QString>

#include <optional>

// Kelvane's managed block inside a rule file shared with the user's own rules:
//   <!-- quorvalent:start (managed by Quorvalent.app, do not edit) -->
//   the rule text
//   <!-- quorvalent:end -->
// Only the first such block is ever touched; every byte around it stays.
namespace MarkerBlock {

inline const QString markerID = QStringLiteral("quorvalent");

enum class Action { created, replaced };

struct UpsertResult {
    QString text;
    Action action;
    bool operator==(const UpsertResult &) const = default;
};

// The block for `body` (trimmed) and marker `id`, without a line break after it.
QString block(const QString &body, const QString &id);

// Replaces the first block in `existing`, or appends one after at least one empty line.
UpsertResult upsert(const QString &existing, const QString &body, const QString &id);

} // namespace MarkerBlock

// Writes rule files: whole files Kelvane owns, or the managed block inside shared ones.
namespace InstallWriter {

// Creates the folders and replaces the file with `content`, atomically.
std::optional<IoError> writeDedicated(const QString &path, const QString &content);

// Creates the folders and puts `content` into the file's managed block, atomically. A shared
// file that exists but cannot be read as UTF-8 is left as it is and the write fails: its
// owner's content is never replaced by the block alone.
Result<MarkerBlock::Action> upsertMarker(const QString &path, const QString &content, const QString &id);

} // namespace InstallWriter
