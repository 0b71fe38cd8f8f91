#include "EnvProject.h"

#include "util/Paths.h"

QString EnvFile::name() const
{
    return Paths::lastComponent(url).toString();
}

QString EnvFile::displayPath() const
{
    return relativeDirectory.isEmpty() ? name() : u'/' + relativeDirectory + u'/' + name();
}

size_t qHash(const EnvFile &file, size_t seed) noexcept
{
    return qHashMulti(seed, file.url, file.relativeDirectory);
}

QString EnvDirectoryNode::name() const
{
    return Paths::lastComponent(relativePath.isEmpty() ? QStringView(url) : QStringView(relativePath)).toString();
}

QList<EnvFile> EnvDirectoryNode::allFiles() const
{
    // Children are stored in directory order (the tree is built that way), so the walk needs no
    // sorting of its own.
    QList<EnvFile> files;
    auto collect = [&files](const EnvDirectoryNode &node, auto &self) -> void {
        files += node.directFiles;
        for (const EnvDirectoryNode &child : node.children)
            self(child, self);
    };
    collect(*this, collect);
    return files;
}

size_t qHash(const EnvDirectoryNode &node, size_t seed) noexcept
{
    seed = qHashMulti(seed, node.url, node.relativePath);
    for (const EnvFile &file : node.directFiles)
        seed = qHash(file, seed);
    for (const EnvDirectoryNode &child : node.children)
        seed = qHash(child, seed);
    return seed;
}

const QString &EnvSelection::projectID() const
{
    return std::visit([](const auto &selection) -> const QString & { return selection.projectID; }, m_value);
}

std::optional<QString> EnvSelection::relativePath() const
{
    if (const auto *directory = std::get_if<Directory>(&m_value))
        return directory->relativePath;
    return std::nullopt;
}

size_t qHash(const EnvSelection &selection, size_t seed) noexcept
{
    seed = qHash(selection.value().index(), seed);
    seed = qHash(selection.projectID(), seed);
    if (const auto relativePath = selection.relativePath())
        seed = qHash(*relativePath, seed);
    return seed;
}
