#include "DotenvxError.h"

#include <QCoreApplication>

QString DotenvxError::errorDescription() const
{
    switch (m_kind) {
    case Kind::decryptFailed:
        return QCoreApplication::translate("DotenvxError", "Decryption failed: ") + m_payload;
    case Kind::encryptFailed:
        return QCoreApplication::translate("DotenvxError", "Re-encryption failed: ") + m_payload;
    case Kind::ciphertextNotFoundAfterEncrypt:
        return QCoreApplication::translate("DotenvxError", "The value of ") + m_payload
                + QCoreApplication::translate("DotenvxError", " was not found in the file after re-encryption.");
    case Kind::cliNotFound:
        break;
    }
    return QCoreApplication::translate("DotenvxError",
                                       "The dotenvx CLI was not found. Install it via `brew install dotenvx/brew/dotenvx` or similar.");
}

QString DotenvxFailure::description() const
{
    if (const DotenvxError *error = dotenvxError())
        return error->errorDescription();
    return ioError()->description;
}
