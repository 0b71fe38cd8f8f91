#pragma once

#include "EnvDocument.h"
#include "util/IoError.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace EnvParser {

// Parses .env text. Total: every text gives a document, and every line that is not an entry is
// kept verbatim. Every call makes fresh entry and section ids.
EnvDocument parse(const QString &text);

// Reads a file as UTF-8 and parses it; fails with the reading error (invalid UTF-8 included).
Result<EnvDocument> load(const QString &path);

// The building blocks of `parse`, public so they can be checked against reference regular
// expressions. Positions are UTF-16 offsets into the line given.
struct EntryMatch {
    bool isExported = false;
    qsizetype keyStart = 0;
    qsizetype keyLength = 0;
    qsizetype restStart = 0; // everything after "=" and the white space after it
    qsizetype restLength = 0;
};

// ^\s*(export\s+)?([\p{L}_][\p{L}\p{N}_\.]*)\s*=\s*(.*)$ with ICU's meaning of \s, ".", "$".
std::optional<EntryMatch> matchActiveEntry(QStringView line);
// The same with "#" and optional white space in front of the optional "export".
std::optional<EntryMatch> matchCommentedOutEntry(QStringView line);

// The right-hand side split into the value and an inline comment ("#" after white space, outside
// a quoted value). The comment is absent when there is none or it is empty after trimming.
struct ValueSplit {
    QStringView value;
    std::optional<QStringView> inlineComment;
};
ValueSplit splitValue(QStringView rest);

// Whether a value is a dotenvx ciphertext: trimmed, one pair of outer quotes removed, it starts
// with "encrypted:".
bool isEncryptedValue(QStringView value);

} // namespace EnvParser
