#pragma once

#include <QStringList>

#include <cstdio>

struct EnvDocument;

namespace CommandLine {

// Runs kelvane-cli with its arguments (without the program name); returns the exit status:
// 0 success, 1 a file could not be read or written, 2 bad usage.
int run(const QStringList &arguments, std::FILE *out, std::FILE *err);

// The JSON that `kelvane-cli parse` prints. Ids are replaced by entry indices so that the same
// text always gives the same output.
QString documentJson(const EnvDocument &document);

} // namespace CommandLine
