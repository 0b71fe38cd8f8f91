#pragma once

#include "DotenvxInterface.h"

#include <QStringList>

#include <optional>

// What a finished child process left behind.
struct ProcessOutput {
    QString standardOutput; // UTF-8; empty when the stream was not valid UTF-8
    QString standardError;
    int exitStatus = 0;

    bool operator==(const ProcessOutput &) const = default;
};

// Runs the real dotenvx command-line tool, one short-lived process per call.
//
// dotenvx evaluates the files it reads: `$VAR` is expanded and `$(command)` is run in unquoted
// and double-quoted values. It is therefore never pointed at the user's file. Each call writes
// a private copy (a 0700 folder, a 0600 file with the user's file name, so that dotenvx derives
// the same key names) holding only the file's DOTENV_PUBLIC_KEY lines and the one entry needed,
// its value in single quotes, which dotenvx takes literally. Secrets never appear on a command
// line, where every local user could read them. The copy is removed when the call ends.
class DotenvxCLI : public DotenvxInterface
{
public:
    // The program and arguments that find dotenvx through the user's login shell.
    struct Lookup {
        QString program;
        QStringList arguments;
    };

    // The standard locations and lookup.
    DotenvxCLI();
    // For tests: other candidates, another lookup, a shorter time limit.
    DotenvxCLI(QStringList candidates, Lookup lookup, int timeoutMilliseconds = 60000);

    bool isAvailable() const override;
    using DotenvxInterface::decrypt;
    DotenvxResult<QString> decrypt(const QString &key, const QString &path,
                                   const std::optional<QString> &storedCiphertext) const override;
    DotenvxResult<QString> encrypt(const QString &key, const QString &value, const QString &path) const override;

    // /opt/homebrew/bin, /usr/local/bin, ~/.local/bin and ~/.bun/bin, built once per process.
    static const QStringList &candidatePaths();
    // The first executable candidate, else what the login shell's `command -v dotenvx` names
    // (trimmed) when that is an executable file. Looked up afresh on every call.
    std::optional<QString> locateExecutable() const;
    // Runs the program directly (no shell) with stdin from /dev/null, reading both pipes until it
    // exits. A child still running after the time limit is killed and the call fails.
    Result<ProcessOutput> runTool(const QString &executable, const QStringList &arguments,
                                  const QString &workingDirectory) const;

    // "DOTENV_PUBLIC_KEY" or "DOTENV_PUBLIC_KEY_..."; case-sensitive, untrimmed.
    static bool isPublicKeyName(QStringView name);
    // "DOTENV_PRIVATE_KEY" or "DOTENV_PRIVATE_KEY_..."; case-sensitive, untrimmed.
    static bool isPrivateKeyName(QStringView name);

private:
    QStringList m_candidates;
    Lookup m_lookup;
    int m_timeoutMilliseconds;
};
