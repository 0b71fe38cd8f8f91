#pragma once

#include "DotenvxError.h"

#include <QString>

#include <optional>

// What the workspace needs of dotenvx. Every call blocks until the tool has exited, so callers
// run them off the GUI thread.
class DotenvxInterface
{
public:
    virtual ~DotenvxInterface() = default;

    // Whether the dotenvx executable can be found.
    virtual bool isAvailable() const = 0;
    // The plaintext of `key` in the file at `path`; with `storedCiphertext`, of that entry's value
    // as stored (a file may hold the key twice, or commented out beside an active one).
    virtual DotenvxResult<QString> decrypt(const QString &key, const QString &path,
                                           const std::optional<QString> &storedCiphertext) const = 0;
    DotenvxResult<QString> decrypt(const QString &key, const QString &path) const
    {
        return decrypt(key, path, std::nullopt);
    }
    // Sets `key` to `value`, encrypted, in the file at `path`, and returns the new ciphertext
    // (the value text as stored, starting "encrypted:").
    virtual DotenvxResult<QString> encrypt(const QString &key, const QString &value, const QString &path) const = 0;
};
