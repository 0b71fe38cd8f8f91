#pragma once

#include "util/IoError.h"

#include <QString>

#include <variant>

// An error of the dotenvx integration, with the text the user is shown.
class DotenvxError
{
public:
    enum class Kind { decryptFailed, encryptFailed, ciphertextNotFoundAfterEncrypt, cliNotFound };

    static DotenvxError decryptFailed(QString message) { return {Kind::decryptFailed, std::move(message)}; }
    static DotenvxError encryptFailed(QString message) { return {Kind::encryptFailed, std::move(message)}; }
    static DotenvxError ciphertextNotFoundAfterEncrypt(QString key)
    {
        return {Kind::ciphertextNotFoundAfterEncrypt, std::move(key)};
    }
    static DotenvxError cliNotFound() { return {Kind::cliNotFound, QString()}; }

    Kind kind() const { return m_kind; }
    // The tool's message (decryptFailed, encryptFailed) or the key (ciphertextNotFoundAfterEncrypt).
    const QString &payload() const { return m_payload; }
    QString errorDescription() const;

    bool operator==(const DotenvxError &) const = default;

private:
    DotenvxError(Kind kind, QString payload) : m_kind(kind), m_payload(std::move(payload)) {}

    Kind m_kind;
    QString m_payload;
};

// Why an adapter call failed: dotenvx's own error, or the platform's (the process could not be
// started, the file could not be read or written). Only the first carries its own user-facing
// text; callers put their own context in front of the second.
class DotenvxFailure
{
public:
    DotenvxFailure(DotenvxError error) : m_value(std::move(error)) {}
    DotenvxFailure(IoError error) : m_value(std::move(error)) {}

    const DotenvxError *dotenvxError() const { return std::get_if<DotenvxError>(&m_value); }
    const IoError *ioError() const { return std::get_if<IoError>(&m_value); }
    // The DotenvxError's description, or the platform's.
    QString description() const;

    bool operator==(const DotenvxFailure &) const = default;

private:
    std::variant<DotenvxError, IoError> m_value;
};

template <typename T>
using DotenvxResult = Result<T, DotenvxFailure>;
