#include "EnvProjectScanner.h"

#include "util/FileIO.h"
#include "util/Paths.h"

#include <QCollator>
#include <QFile>

#include <cstring>
#include <dirent.h>

using namespace Qt::StringLiterals;

namespace {

const QCollator &collator()
{
    // A collator per thread: the watcher thread compares names too, and QCollator is not safe to
    // share before it has initialised itself.
    thread_local const QCollator instance = [] {
        QCollator collator{QLocale()};
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        return collator;
    }();
    return instance;
}

// Case-insensitive ".env" in raw name bytes. No character outside ASCII lower-cases to ".env",
// so a name without these bytes can be rejected before it is decoded.
bool mayBeEnvFileName(const char *name)
{
    for (const char *p = std::strchr(name, '.'); p; p = std::strchr(p + 1, '.')) {
        if ((p[1] | 0x20) == 'e' && (p[2] | 0x20) == 'n' && (p[3] | 0x20) == 'v')
            return true;
    }
    return false;
}

bool isHiddenName(QStringView name)
{
    return name.startsWith(u'.') && name != u"." && name != u"..";
}

void sortFiles(QList<EnvFile> &files)
{
    std::sort(files.begin(), files.end(), EnvProjectScanner::fileOrder);
}

// One folder of the enumeration: its path in bytes (for the system calls) and, once needed, as text.
struct Folder {
    QByteArray path;
    bool pruneByName = true;
};

class Scan
{
public:
    Scan(const QString &rootPath, const QSet<QString> &ignore) : m_rootPath(rootPath)
    {
        for (const QString &name : ignore)
            m_ignoredNames.insert(QFile::encodeName(name));
    }

    QHash<QString, QList<EnvFile>> run()
    {
        m_pending.append({QFile::encodeName(m_rootPath), false});
        while (!m_pending.isEmpty())
            enumerate(m_pending.takeLast());
        for (QList<EnvFile> &files : m_filesByDirectory)
            sortFiles(files);
        return std::move(m_filesByDirectory);
    }

private:
    void enumerate(const Folder &folder)
    {
        QString folderText; // decoded when the folder turns out to hold an env file
        // A folder replaced by a link since it was listed is not followed either.
        FileIO::listFolder(folder.path, !folder.pruneByName, [&](const char *name, unsigned char type) {
            if (type == DT_UNKNOWN) {
                // Nothing is known, so nothing is pruned: try it as a folder.
                m_pending.append({childPath(folder.path, name), false});
            } else if (type == DT_DIR) {
                // Names compared as bytes: no decoding for the folders that are skipped anyway.
                if (name[0] != '.' && !m_ignoredNames.contains(QByteArray::fromRawData(name, qsizetype(std::strlen(name)))))
                    m_pending.append({childPath(folder.path, name), true});
            } else if (type == DT_REG && mayBeEnvFileName(name)) {
                const QString fileName = QFile::decodeName(name);
                if (!EnvProjectScanner::isEnvFileName(fileName))
                    return;
                if (folderText.isNull())
                    folderText = QFile::decodeName(folder.path);
                m_filesByDirectory[folderText].append(
                        EnvFile{Paths::child(folderText, fileName), EnvProjectScanner::relativePath(folderText, m_rootPath)});
            }
        });
    }

    static QByteArray childPath(const QByteArray &parent, const char *name)
    {
        return parent.endsWith('/') ? parent + name : parent + '/' + name;
    }

    const QString m_rootPath;
    QSet<QByteArray> m_ignoredNames;
    QList<Folder> m_pending;
    QHash<QString, QList<EnvFile>> m_filesByDirectory;
};

EnvDirectoryNode buildNode(const QString &path, const QString &rootPath, const QHash<QString, QStringList> &childrenByParent,
                           const QHash<QString, QList<EnvFile>> &filesByDirectory)
{
    EnvDirectoryNode node;
    node.url = path;
    node.relativePath = EnvProjectScanner::relativePath(path, rootPath);
    node.directFiles = filesByDirectory.value(path);
    for (const QString &child : childrenByParent.value(path))
        node.children.append(buildNode(child, rootPath, childrenByParent, filesByDirectory));
    return node;
}

} // namespace

const QSet<QString> &EnvProjectScanner::ignoredDirectoryNames()
{
    static const QSet<QString> names = {
            u"node_modules"_s, u"bower_components"_s, u"vendor"_s, u"target"_s, u"build"_s,
            u"dist"_s,         u"out"_s,              u"Pods"_s,   u"DerivedData"_s,
    };
    return names;
}

bool EnvProjectScanner::isEnvFileName(QStringView name)
{
    const QString lower = name.toString().toLower();
    return lower.contains(u".env") && !lower.startsWith(FileIO::temporaryNamePrefix);
}

bool EnvProjectScanner::isPrunedDirectoryName(QStringView name, const QSet<QString> &ignore)
{
    return name.startsWith(u'.') || ignore.contains(name.toString());
}

bool EnvProjectScanner::isRelevantEventPath(QStringView path, QStringView projectPath, const QSet<QString> &ignore)
{
    QStringView below = path;
    if (!projectPath.isEmpty() && projectPath != u"/" && path.startsWith(projectPath)
        && (path.size() == projectPath.size() || path[projectPath.size()] == u'/'))
        below = path.sliced(projectPath.size());
    const QList<QStringView> components = below.split(u'/', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < components.size(); ++i) {
        const QStringView component = components[i];
        if (isHiddenName(component))
            return i == components.size() - 1 && isEnvFileName(component);
        if (ignore.contains(component.toString()))
            return false;
    }
    return true;
}

EnvDirectoryNode EnvProjectScanner::scan(const QString &projectFolder, const QSet<QString> &ignore)
{
    const QString rootPath = Paths::standardized(projectFolder);
    return buildTree(rootPath, Scan(rootPath, ignore).run());
}

EnvDirectoryNode EnvProjectScanner::buildTree(const QString &rootPath, const QHash<QString, QList<EnvFile>> &filesByDirectory)
{
    QSet<QString> paths{rootPath};
    for (auto it = filesByDirectory.cbegin(); it != filesByDirectory.cend(); ++it) {
        QString path = it.key();
        if (path.size() < rootPath.size())
            continue;
        for (;;) {
            paths.insert(path);
            if (path == rootPath)
                break;
            const QString parent = Paths::parent(path).toString();
            if (parent == path || parent.size() < rootPath.size())
                break;
            path = parent;
        }
    }
    QHash<QString, QStringList> childrenByParent;
    for (const QString &path : std::as_const(paths)) {
        if (path == rootPath)
            continue;
        const QString parent = Paths::parent(path).toString();
        if (parent != path && paths.contains(parent))
            childrenByParent[parent].append(path);
    }
    for (QStringList &children : childrenByParent) {
        std::sort(children.begin(), children.end(), [](const QString &a, const QString &b) {
            return directoryOrder(Paths::lastComponent(a), Paths::lastComponent(b));
        });
    }
    return buildNode(rootPath, rootPath, childrenByParent, filesByDirectory);
}

std::optional<EnvDirectoryNode> EnvProjectScanner::findNode(const EnvDirectoryNode &root, QStringView relativePath)
{
    if (root.relativePath == relativePath)
        return root;
    for (const EnvDirectoryNode &child : root.children) {
        if (auto found = findNode(child, relativePath))
            return found;
    }
    return std::nullopt;
}

QString EnvProjectScanner::relativePath(QStringView path, QStringView rootPath)
{
    if (path == rootPath)
        return QString();
    const QString prefix = rootPath.endsWith(u'/') ? rootPath.toString() : rootPath.toString() + u'/';
    return (path.startsWith(prefix) ? path.sliced(prefix.size()) : path).toString();
}

int EnvProjectScanner::compareNames(QStringView a, QStringView b)
{
    const int order = collator().compare(a, b);
    return order != 0 ? order : a.compare(b);
}

bool EnvProjectScanner::fileOrder(const EnvFile &a, const EnvFile &b)
{
    const QString nameA = a.name();
    const QString nameB = b.name();
    const bool dotEnvA = nameA == u".env";
    const bool dotEnvB = nameB == u".env";
    if (dotEnvA != dotEnvB)
        return dotEnvA;
    return compareNames(nameA, nameB) < 0;
}

bool EnvProjectScanner::directoryOrder(QStringView a, QStringView b)
{
    return compareNames(a, b) < 0;
}
