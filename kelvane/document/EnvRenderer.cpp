#include "EnvRenderer.h"

#include "CharacterClasses.h"
#include "util/FileIO.h"

#include <QHash>

using CharacterClasses::trimmedBlank;
using CharacterClasses::trimmedBlankAndNewline;

namespace {

QStringView keyOf(const EditableEnvEntry &entry)
{
    return trimmedBlankAndNewline(entry.key);
}

const QString &valueTextOf(const EditableEnvEntry &entry)
{
    // Only re-encryption replaces a ciphertext; a pending or revealed plaintext is never written.
    switch (entry.encryption.kind()) {
    case EncryptionState::Kind::encrypted:
        return entry.encryption.get<EncryptionState::Encrypted>()->ciphertext;
    case EncryptionState::Kind::encryptedPending:
        return entry.encryption.get<EncryptionState::EncryptedPending>()->ciphertext;
    case EncryptionState::Kind::revealed:
        return entry.encryption.get<EncryptionState::Revealed>()->ciphertext;
    case EncryptionState::Kind::plain:
        break;
    }
    return entry.value;
}

// Appends the line of a keyed entry.
void appendLine(QString &out, const EditableEnvEntry &entry, QStringView key)
{
    if (entry.isCommentedOut)
        out += u"# ";
    if (entry.isExported)
        out += u"export ";
    out += key;
    out += u'=';
    out += valueTextOf(entry);
    if (entry.inlineComment) {
        const QStringView comment = trimmedBlank(*entry.inlineComment);
        if (!comment.isEmpty()) {
            out += u"  # ";
            out += comment;
        }
    }
}

qsizetype estimatedLength(const EditableEnvEntry &entry)
{
    return entry.key.size() + valueTextOf(entry).size() + (entry.inlineComment ? entry.inlineComment->size() : 0) + 16;
}

} // namespace

QString EnvRenderer::renderedLine(const EditableEnvEntry &entry)
{
    const QStringView key = keyOf(entry);
    QString line;
    if (!key.isEmpty())
        appendLine(line, entry, key);
    return line;
}

QString EnvRenderer::render(const EnvDocument &document, const std::optional<QList<EditableEnvEntry>> &replacement)
{
    const QList<EditableEnvEntry> &entries = replacement ? *replacement : document.entries;

    // Keyless rows are never written. `pending` marks the kept entries not yet placed.
    QList<qsizetype> kept;
    kept.reserve(entries.size());
    qsizetype length = 0;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (!keyOf(entries[i]).isEmpty()) {
            kept.append(i);
            length += estimatedLength(entries[i]);
        }
    }
    for (const EnvDocument::LayoutItem &item : document.layout) {
        if (const auto *preserved = item.asPreserved())
            length += preserved->text.size() + 1;
    }
    QList<bool> pending(kept.size(), true);

    // The layout normally lists the entries in their own order, so a cursor finds each one; the
    // hash is only built when an id is not where the cursor expects it.
    QHash<QUuid, qsizetype> positionOfID;
    auto lookUp = [&](const QUuid &id, qsizetype cursor) -> qsizetype {
        if (cursor < kept.size() && entries[kept[cursor]].id == id)
            return pending[cursor] ? cursor : -1;
        if (positionOfID.isEmpty()) {
            positionOfID.reserve(kept.size());
            for (qsizetype k = kept.size() - 1; k >= 0; --k) // the first of equal ids wins
                positionOfID.insert(entries[kept[k]].id, k);
        }
        const auto found = positionOfID.constFind(id);
        return found != positionOfID.cend() && pending[*found] ? *found : -1;
    };

    QString out;
    out.reserve(length);
    bool firstLine = true;
    auto startLine = [&] {
        if (!firstLine)
            out += u'\n';
        firstLine = false;
    };

    qsizetype cursor = 0;
    for (const EnvDocument::LayoutItem &item : document.layout) {
        if (const auto *preserved = item.asPreserved()) {
            startLine();
            out += preserved->text;
            continue;
        }
        const qsizetype k = lookUp(item.asEntry()->id, cursor);
        if (k < 0)
            continue; // deleted, or now keyless: its line goes
        pending[k] = false;
        cursor = k + 1;
        const EditableEnvEntry &entry = entries[kept[k]];
        startLine();
        appendLine(out, entry, keyOf(entry));
    }
    // Rows the file did not have yet, each after a blank line of its own.
    for (qsizetype k = 0; k < kept.size(); ++k) {
        if (!pending[k])
            continue;
        const EditableEnvEntry &entry = entries[kept[k]];
        startLine();
        out += u'\n';
        appendLine(out, entry, keyOf(entry));
    }
    if (!out.isEmpty() && document.hadTrailingNewline)
        out += u'\n';
    return out;
}

std::optional<IoError> EnvRenderer::write(const EnvDocument &document, const QString &path,
                                          const std::optional<QList<EditableEnvEntry>> &entries)
{
    return FileIO::writeAtomically(path, render(document, entries).toUtf8());
}

EnvDocument EnvRenderer::withBlankValues(EnvDocument document)
{
    for (EditableEnvEntry &entry : document.entries) {
        entry.value.clear();
        entry.encryption = EncryptionState::plain();
        entry.inlineComment.reset();
    }
    return document;
}
