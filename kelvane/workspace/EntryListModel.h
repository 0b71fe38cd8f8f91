#pragma once

#include "document/EnvDocument.h"

#include <QAbstractListModel>

// The open file's rows for the form editor. It holds the workspace's `entries` and reports every
// change precisely (one dataChanged per edited row, one insert or remove per row), so a view
// keeps its scroll position and focus while the user types; only loading or re-parsing a file
// resets it.
class EntryListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        KeyRole,
        ValueRole,
        IsExportedRole,
        IsCommentedOutRole,
        InlineCommentRole,
        EncryptionRole,      // "encrypted", "encryptedPending", "revealed" or "plain"
        CiphertextRole,      // the stored ciphertext, or an empty string
        IsMaskedRole,
        IsModifiedRole,      // revealed and edited, or pending re-encryption
        IsKeyPairEntryRole,  // DOTENV_PUBLIC_KEY* or DOTENV_PRIVATE_KEY*
        IsPublicKeyEntryRole,
        IsPrivateKeyEntryRole,
        IsTrailingBlankRowRole,
    };
    Q_ENUM(Role)

    using QAbstractListModel::QAbstractListModel;

    const QList<EditableEnvEntry> &entries() const { return m_entries; }
    qsizetype indexOf(const QUuid &id) const;

    void reset(QList<EditableEnvEntry> entries);
    void replace(qsizetype row, EditableEnvEntry entry);
    void append(EditableEnvEntry entry);
    void remove(qsizetype row);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QList<EditableEnvEntry> m_entries;
};

// Whether the entry differs from what the file decrypts to: revealed and edited, or pending.
bool isModifiedEncryptedEntry(const EditableEnvEntry &entry);
// Key and value both empty after trimming blank-and-newline characters.
bool isEmptyRow(const EditableEnvEntry &entry);
