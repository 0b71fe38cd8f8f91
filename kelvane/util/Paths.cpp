#include "Paths.h"

#include <QDir>

QString Paths::standardized(const QString &path)
{
    if (path.isEmpty())
        return QDir::currentPath();
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::currentPath() + u'/' + path);
}

QStringView Paths::lastComponent(QStringView path)
{
    if (path == u"/")
        return path;
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.sliced(slash + 1);
}

QStringView Paths::parent(QStringView path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return path;
    return slash == 0 ? path.first(1) : path.first(slash);
}

QString Paths::child(QStringView folder, QStringView name)
{
    QString path;
    path.reserve(folder.size() + name.size() + 1);
    path += folder;
    if (!folder.endsWith(u'/'))
        path += u'/';
    path += name;
    return path;
}
