#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

// Paths in these records are standardized absolute paths ("/" separated, no "." or "..", no
// trailing "/"); they stand for the file URLs of the records' fields.

// One env file found in a project.
struct EnvFile {
    QString url;               // the file
    QString relativeDirectory; // its folder relative to the project folder; "" for the project folder

    QString id() const { return url; }
    // The last component of the path (".env.local").
    QString name() const;
    // "name" in the project folder, "/relative/directory/name" below it.
    QString displayPath() const;

    bool operator==(const EnvFile &) const = default;
};

size_t qHash(const EnvFile &file, size_t seed = 0) noexcept;

// A folder of the project tree: the project folder itself, or one with env files in its subtree.
struct EnvDirectoryNode {
    QString url;
    QString relativePath; // "" for the project folder
    QList<EnvFile> directFiles;
    QList<EnvDirectoryNode> children;

    QString id() const { return url; }
    // The project folder's name for the root, else the last component of `relativePath`.
    QString name() const;
    // Every file of the subtree: own files first, then each child's, children in their stored
    // (directory) order.
    QList<EnvFile> allFiles() const;

    bool operator==(const EnvDirectoryNode &) const = default;
};

size_t qHash(const EnvDirectoryNode &node, size_t seed = 0) noexcept;

struct EnvProject {
    QString directoryURL;
    EnvDirectoryNode root;

    QString id() const { return directoryURL; }
    QList<EnvFile> allFiles() const { return root.allFiles(); }

    bool operator==(const EnvProject &) const = default;
};

// What the sidebar has selected: a whole project, or one of its folders.
class EnvSelection
{
public:
    struct Project {
        QString projectID;
        bool operator==(const Project &) const = default;
    };
    struct Directory {
        QString projectID;
        QString relativePath;
        bool operator==(const Directory &) const = default;
    };
    using Value = std::variant<Project, Directory>;

    EnvSelection(Value value) : m_value(std::move(value)) {}
    static EnvSelection project(QString projectID) { return Value(Project{std::move(projectID)}); }
    static EnvSelection directory(QString projectID, QString relativePath)
    {
        return Value(Directory{std::move(projectID), std::move(relativePath)});
    }

    const Value &value() const { return m_value; }
    const QString &projectID() const;
    // The folder's relative path for a directory selection.
    std::optional<QString> relativePath() const;

    bool operator==(const EnvSelection &) const = default;

private:
    Value m_value;
};

size_t qHash(const EnvSelection &selection, size_t seed = 0) noexcept;
