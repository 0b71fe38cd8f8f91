#include "EntryListModel.h"

#include "document/CharacterClasses.h"

using namespace Qt::StringLiterals;

bool isModifiedEncryptedEntry(const EditableEnvEntry &entry)
{
    if (entry.encryption.kind() == EncryptionState::Kind::encryptedPending)
        return true;
    const auto *revealed = entry.encryption.get<EncryptionState::Revealed>();
    return revealed && entry.value != revealed->committedPlaintext;
}

bool isEmptyRow(const EditableEnvEntry &entry)
{
    return CharacterClasses::trimmedBlankAndNewline(entry.key).isEmpty()
            && CharacterClasses::trimmedBlankAndNewline(entry.value).isEmpty();
}

qsizetype EntryListModel::indexOf(const QUuid &id) const
{
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].id == id)
            return i;
    }
    return -1;
}

void EntryListModel::reset(QList<EditableEnvEntry> entries)
{
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
}

void EntryListModel::replace(qsizetype row, EditableEnvEntry entry)
{
    m_entries[row] = std::move(entry);
    const QModelIndex changed = index(int(row));
    emit dataChanged(changed, changed);
}

void EntryListModel::append(EditableEnvEntry entry)
{
    const int row = int(m_entries.size());
    beginInsertRows(QModelIndex(), row, row);
    m_entries.append(std::move(entry));
    endInsertRows();
}

void EntryListModel::remove(qsizetype row)
{
    beginRemoveRows(QModelIndex(), int(row), int(row));
    m_entries.removeAt(row);
    endRemoveRows();
}

int EntryListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant EntryListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const EditableEnvEntry &entry = m_entries[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case KeyRole:
        return entry.key;
    case IdRole:
        return entry.id;
    case ValueRole:
        return entry.value;
    case IsExportedRole:
        return entry.isExported;
    case IsCommentedOutRole:
        return entry.isCommentedOut;
    case InlineCommentRole:
        return entry.inlineComment.value_or(QString());
    case EncryptionRole: {
        static const QString names[] = {u"encrypted"_s, u"encryptedPending"_s, u"revealed"_s, u"plain"_s};
        return names[int(entry.encryption.kind())];
    }
    case CiphertextRole:
        return entry.encryption.storedCiphertext().value_or(QString());
    case IsMaskedRole:
        return entry.encryption.isMasked();
    case IsModifiedRole:
        return isModifiedEncryptedEntry(entry);
    case IsKeyPairEntryRole:
        return entry.isDotenvxKeyEntry();
    case IsPublicKeyEntryRole:
        return entry.isDotenvxPublicKeyEntry();
    case IsPrivateKeyEntryRole:
        return entry.isDotenvxPrivateKeyEntry();
    case IsTrailingBlankRowRole:
        return index.row() == m_entries.size() - 1 && isEmptyRow(entry);
    default:
        return {};
    }
}

QHash<int, QByteArray> EntryListModel::roleNames() const
{
    return {
            {IdRole, "entryId"},
            {KeyRole, "key"},
            {ValueRole, "value"},
            {IsExportedRole, "isExported"},
            {IsCommentedOutRole, "isCommentedOut"},
            {InlineCommentRole, "inlineComment"},
            {EncryptionRole, "encryption"},
            {CiphertextRole, "ciphertext"},
            {IsMaskedRole, "isMasked"},
            {IsModifiedRole, "isModified"},
            {IsKeyPairEntryRole, "isKeyPairEntry"},
            {IsPublicKeyEntryRole, "isPublicKeyEntry"},
            {IsPrivateKeyEntryRole, "isPrivateKeyEntry"},
            {IsTrailingBlankRowRole, "isTrailingBlankRow"},
    };
}
