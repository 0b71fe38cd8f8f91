#pragma once

#include "document/EnvDocument.h"
#include "dotenvx/DotenvxInterface.h"
#include "util/IoError.h"

#include <QList>
#include <QString>
#include <QUuid>

// One save of a .env file, the only way Kelvane writes an edited file: a backup copy next to
// it, the new text written atomically, changed secrets re-encrypted into it by dotenvx, and then
// either the backup removed (commit) or the file put back exactly as it was (rollback). The
// steps may run on different threads; reencrypt blocks.
class SaveTransaction
{
public:
    // A secret whose new plaintext must be encrypted into the file.
    struct Reencryption {
        QUuid id;
        QString key;
        QString plaintext;
    };
    struct Reencrypted {
        QUuid id;
        QString ciphertext;
        QString plaintext;
    };

    // Makes the backup (".__kelvane_autosave_backup__-UUID.tmp" beside the file). A backup that
    // cannot be made is no reason not to save; the save then cannot be rolled back.
    static SaveTransaction begin(const QString &target);

    // The entries whose plaintext differs from what the file decrypts to.
    static QList<Reencryption> reencryptionsFor(const QList<EditableEnvEntry> &entries);

    const QString &target() const { return m_target; }
    std::optional<IoError> write(const QByteArray &text) const;
    // Each item in order; stops at the first failure.
    DotenvxResult<QList<Reencrypted>> reencrypt(const QList<Reencryption> &items, const DotenvxInterface &dotenvx) const;
    // The save holds: the backup goes.
    void commit() const;
    // The file goes back to the backup (after a failed re-encryption; a failed write never
    // touched it, so commit is all that needs doing then).
    void rollback() const;

private:
    QString m_target;
    QString m_backup;
    bool m_backupMade = false;
};
