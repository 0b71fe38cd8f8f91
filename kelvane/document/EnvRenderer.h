#pragma once

#include "EnvDocument.h"
#include "util/IoError.h"

#include <QList>
#include <QString>

#include <optional>

namespace EnvRenderer {

// The entry's line without a line feed, in the one canonical shape: "# " when commented out,
// "export " when exported, the trimmed key, "=", the value text as stored (the ciphertext for
// anything encrypted, never a plaintext), and "  # comment" when there is one. A keyless entry
// renders as the empty string.
QString renderedLine(const EditableEnvEntry &entry);

// The file text: preserved lines byte for byte, entry lines regenerated, entries the layout does
// not know appended at the end, each after a blank line. `entries` replaces the document's own.
QString render(const EnvDocument &document, const std::optional<QList<EditableEnvEntry>> &entries = std::nullopt);

// Renders and writes the text as UTF-8, atomically.
std::optional<IoError> write(const EnvDocument &document, const QString &path,
                             const std::optional<QList<EditableEnvEntry>> &entries = std::nullopt);

// The same document with every value emptied (plain, no inline comment); keys, flags, layout and
// sections stay. Used to duplicate a file without its secrets.
EnvDocument withBlankValues(EnvDocument document);

} // namespace EnvRenderer
