#pragma once

#include <QList>
#include <QString>
#include <QUuid>

#include <optional>
#include <variant>

// The encryption status of one entry's value. The parser only produces `encrypted` and `plain`;
// the other two cases belong to the reveal / edit / re-encrypt workflow.
class EncryptionState
{
public:
    // The stored value is a dotenvx ciphertext; the form shows it read-only.
    struct Encrypted {
        QString ciphertext;
        bool operator==(const Encrypted &) const = default;
    };
    // The user typed a new value for an encrypted entry; the file still holds `ciphertext`.
    struct EncryptedPending {
        QString ciphertext;
        QString pendingPlaintext;
        bool operator==(const EncryptedPending &) const = default;
    };
    // The value was decrypted for display; the file still holds `ciphertext`.
    struct Revealed {
        QString ciphertext;
        QString committedPlaintext;
        bool operator==(const Revealed &) const = default;
    };
    struct Plain {
        bool operator==(const Plain &) const = default;
    };

    // Cases in this order; `kind()` is the index of the active one.
    using Value = std::variant<Encrypted, EncryptedPending, Revealed, Plain>;
    enum class Kind { encrypted, encryptedPending, revealed, plain };

    EncryptionState() : m_value(Plain{}) {}
    EncryptionState(Value value) : m_value(std::move(value)) {}
    static EncryptionState plain() { return {}; }
    static EncryptionState encrypted(QString ciphertext) { return Value(Encrypted{std::move(ciphertext)}); }
    static EncryptionState encryptedPending(QString ciphertext, QString pendingPlaintext)
    {
        return Value(EncryptedPending{std::move(ciphertext), std::move(pendingPlaintext)});
    }
    static EncryptionState revealed(QString ciphertext, QString committedPlaintext)
    {
        return Value(Revealed{std::move(ciphertext), std::move(committedPlaintext)});
    }

    Kind kind() const { return Kind(m_value.index()); }
    const Value &value() const { return m_value; }
    template <typename Case>
    const Case *get() const { return std::get_if<Case>(&m_value); }

    // Masked values are shown read-only as their ciphertext.
    bool isMasked() const { return kind() == Kind::encrypted || kind() == Kind::encryptedPending; }
    // The ciphertext the file holds; absent for plain values.
    std::optional<QString> storedCiphertext() const;

    bool operator==(const EncryptionState &) const = default;

private:
    Value m_value;
};

// One KEY=value line of a file (or a row the user is typing into).
struct EditableEnvEntry {
    QUuid id;
    QString key;
    // The text after "=" and the white space that follows it, exactly as written (quotes kept),
    // without an inline comment and the white space before it.
    QString value;
    EncryptionState encryption;
    // The two flags sit together to keep the entry small: a large file has a hundred thousand.
    bool isExported = false;
    bool isCommentedOut = false;
    std::optional<QString> inlineComment;

    // A new row: fresh id, everything else empty or off.
    static EditableEnvEntry blank();

    // dotenvx's key pair lives in the file as ordinary entries; the editor guards them.
    bool isDotenvxPublicKeyEntry() const;
    bool isDotenvxPrivateKeyEntry() const;
    bool isDotenvxKeyEntry() const { return isDotenvxPublicKeyEntry() || isDotenvxPrivateKeyEntry(); }

    bool operator==(const EditableEnvEntry &) const = default;
};

// Consecutive entries under an optional comment header.
struct EnvSection {
    QUuid id;
    std::optional<QString> headerTitle;
    std::optional<QString> headerDescription;
    QList<QUuid> entryIDs;

    bool operator==(const EnvSection &) const = default;
};

// One parsed .env file: every line is either kept verbatim or refers to an entry, so the file
// can be edited entry by entry and written back with everything else byte for byte.
struct EnvDocument {
    class LayoutItem
    {
    public:
        // A line the editor does not own, without its line feed.
        struct Preserved {
            QString text;
            bool operator==(const Preserved &) const = default;
        };
        // The line of the entry with this id.
        struct Entry {
            QUuid id;
            bool operator==(const Entry &) const = default;
        };
        using Value = std::variant<Preserved, Entry>;

        LayoutItem(Value value) : m_value(std::move(value)) {}
        static LayoutItem preserved(QString text) { return Value(Preserved{std::move(text)}); }
        static LayoutItem entry(QUuid id) { return Value(Entry{id}); }

        const Value &value() const { return m_value; }
        const Preserved *asPreserved() const { return std::get_if<Preserved>(&m_value); }
        const Entry *asEntry() const { return std::get_if<Entry>(&m_value); }

        bool operator==(const LayoutItem &) const = default;

    private:
        Value m_value;
    };

    QList<LayoutItem> layout;
    bool hadTrailingNewline = false;
    QList<EnvSection> sections;
    QList<EditableEnvEntry> entries;

    // A fresh random (version 4) id for an entry or a section. Ids only need to be unique within
    // a document, so they come from a fast generator seeded once per thread from the system.
    static QUuid makeID();

    bool operator==(const EnvDocument &) const = default;
};

// None of these holds a pointer into itself, so containers may move them with realloc.
Q_DECLARE_TYPEINFO(EncryptionState, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(EditableEnvEntry, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(EnvSection, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(EnvDocument::LayoutItem, Q_RELOCATABLE_TYPE);
