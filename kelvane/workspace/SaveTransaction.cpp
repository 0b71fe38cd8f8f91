#include "SaveTransaction.h"

#include "document/CharacterClasses.h"
#include "util/FileIO.h"
#include "util/Paths.h"

#include <QFile>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

SaveTransaction SaveTransaction::begin(const QString &target)
{
    SaveTransaction save;
    save.m_target = target;
    save.m_backup = Paths::child(Paths::parent(target), FileIO::temporaryNamePrefix + u'-'
                                         + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + u".tmp"_s);
    ::unlink(QFile::encodeName(save.m_backup).constData());
    save.m_backupMade = !FileIO::copyFile(target, save.m_backup);
    return save;
}

QList<SaveTransaction::Reencryption> SaveTransaction::reencryptionsFor(const QList<EditableEnvEntry> &entries)
{
    QList<Reencryption> items;
    for (const EditableEnvEntry &entry : entries) {
        // Only lines the file really has get a new ciphertext: a keyless row is never written,
        // and dotenvx writes active entries only (a commented-out line is left to its owner).
        const QString key = CharacterClasses::trimmedBlankAndNewline(entry.key).toString();
        if (key.isEmpty() || entry.isCommentedOut)
            continue;
        if (const auto *pending = entry.encryption.get<EncryptionState::EncryptedPending>())
            items.append({entry.id, key, pending->pendingPlaintext});
        else if (const auto *revealed = entry.encryption.get<EncryptionState::Revealed>();
                 revealed && entry.value != revealed->committedPlaintext)
            items.append({entry.id, key, entry.value});
    }
    return items;
}

std::optional<IoError> SaveTransaction::write(const QByteArray &text) const
{
    return FileIO::writeAtomically(m_target, text);
}

DotenvxResult<QList<SaveTransaction::Reencrypted>> SaveTransaction::reencrypt(const QList<Reencryption> &items,
                                                                              const DotenvxInterface &dotenvx) const
{
    QList<Reencrypted> results;
    for (const Reencryption &item : items) {
        const DotenvxResult<QString> ciphertext = dotenvx.encrypt(item.key, item.plaintext, m_target);
        if (!ciphertext)
            return ciphertext.error();
        results.append({item.id, ciphertext.value(), item.plaintext});
    }
    return results;
}

void SaveTransaction::commit() const
{
    if (m_backupMade)
        ::unlink(QFile::encodeName(m_backup).constData());
}

void SaveTransaction::rollback() const
{
    if (!m_backupMade)
        return;
    // A file deleted meanwhile stays deleted. rename is atomic: there is no moment without the
    // file, and it comes back byte for byte with its permission bits.
    struct stat st;
    if (::lstat(QFile::encodeName(m_target).constData(), &st) == 0)
        ::rename(QFile::encodeName(m_backup).constData(), QFile::encodeName(m_target).constData());
    else
        commit();
}
