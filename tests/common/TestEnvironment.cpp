#include "TestEnvironment.h"

#include <QByteArray>
#include <QDir>

#include <cstdlib>
#include <filesystem>

namespace {

QString g_root;

void removeRoot()
{
    std::error_code ignored;
    std::filesystem::remove_all(QFile::encodeName(g_root).toStdString(), ignored);
}

} // namespace

void TestEnvironment::isolate()
{
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/kelvane-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        qFatal("cannot create a temporary HOME");
    g_root = QString::fromLocal8Bit(pattern);
    std::atexit(removeRoot);

    auto setFolder = [](const char *variable, const QString &path) {
        QDir().mkpath(path);
        qputenv(variable, QFile::encodeName(path));
    };
    setFolder("HOME", g_root + QStringLiteral("/home"));
    setFolder("XDG_CONFIG_HOME", g_root + QStringLiteral("/home/.config"));
    setFolder("XDG_DATA_HOME", g_root + QStringLiteral("/home/.local/share"));
    setFolder("XDG_CACHE_HOME", g_root + QStringLiteral("/home/.cache"));
    setFolder("XDG_STATE_HOME", g_root + QStringLiteral("/home/.local/state"));
    setFolder("XDG_RUNTIME_DIR", g_root + QStringLiteral("/runtime"));
    QFile::setPermissions(g_root + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    qunsetenv("XDG_CONFIG_DIRS");
    qunsetenv("XDG_DATA_DIRS");
}

QString TestEnvironment::root()
{
    return g_root;
}
