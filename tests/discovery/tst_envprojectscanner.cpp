#include "common/TestEnvironment.h"
#include "discovery/EnvProjectScanner.h"
#include "util/FileIO.h"

#include <QDir>
#include <QTemporaryDir>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void touch(const QString &root, const QString &relative)
{
    const QString path = root + u'/' + relative;
    QDir().mkpath(QFileInfo(path).path());
    if (FileIO::writeAtomically(path, "X=1\n"))
        qFatal("cannot write %s", qPrintable(path));
}

// The tree as lines "relativePath: file, file" in pre-order.
QStringList describe(const EnvDirectoryNode &node)
{
    QStringList names;
    for (const EnvFile &file : node.directFiles)
        names << file.name();
    QStringList lines{(node.relativePath.isEmpty() ? u"<root>"_s : node.relativePath) + u": "_s + names.join(u", "_s)};
    for (const EnvDirectoryNode &child : node.children)
        lines += describe(child);
    return lines;
}

QStringList displayPaths(const QList<EnvFile> &files)
{
    QStringList paths;
    for (const EnvFile &file : files)
        paths << file.displayPath();
    return paths;
}

EnvDirectoryNode scan(const QString &folder)
{
    return EnvProjectScanner::scan(folder, EnvProjectScanner::ignoredDirectoryNames());
}

} // namespace

class TestEnvProjectScanner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void envFileNames_data();
    void envFileNames();
    void emptyAndMissingFolders();
    void treeShape();
    void pruning();
    void symbolicLinksAreIgnored();
    void fileOrder();
    void findNodeAndVisibleFiles();
    void standardizesTheFolder();
    void relevantEventPaths_data();
    void relevantEventPaths();
    void hashesAndSelections();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString root() const { return m_dir->path(); }
};

void TestEnvProjectScanner::initTestCase()
{
    // Orders follow the user's locale; pin one so the expected orders hold on any machine.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void TestEnvProjectScanner::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestEnvProjectScanner::envFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("isEnv");
    for (const char *name : {".env", ".env.local", ".env.keys", ".envrc", "production.ENV", "app.environment",
                             "settings.env.bak", ".ENV.Production"})
        QTest::newRow(name) << QString::fromUtf8(name) << true;
    for (const char *name : {"env", "dotenv", "env.txt", ".__kelvane_autosave_backup__-1234.tmp",
                             ".__kelvane_autosave_backup__.write-ab.tmp", ".__KELVANE_AUTOSAVE_BACKUP__.env",
                             ".__\u212Aelvane_autosave_backup__.env"})
        QTest::newRow(name) << QString::fromUtf8(name) << false;
}

void TestEnvProjectScanner::envFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, isEnv);
    QCOMPARE(EnvProjectScanner::isEnvFileName(name), isEnv);
}

void TestEnvProjectScanner::emptyAndMissingFolders()
{
    const EnvDirectoryNode empty = scan(root());
    QCOMPARE(empty.url, root());
    QCOMPARE(empty.relativePath, QString());
    QVERIFY(empty.directFiles.isEmpty());
    QVERIFY(empty.children.isEmpty());

    touch(root(), u"src/main.ts"_s);
    QCOMPARE(describe(scan(root())), QStringList{u"<root>: "_s});

    const EnvDirectoryNode missing = scan(root() + u"/missing"_s);
    QCOMPARE(missing.url, root() + u"/missing"_s);
    QVERIFY(missing.children.isEmpty() && missing.directFiles.isEmpty());

    touch(root(), u"file"_s); // a file is not a folder
    QCOMPARE(describe(scan(root() + u"/file"_s)), QStringList{u"<root>: "_s});
}

void TestEnvProjectScanner::treeShape()
{
    touch(root(), u".env"_s);
    touch(root(), u"apps/web/.env"_s);
    touch(root(), u"apps/web/.env.local"_s);
    touch(root(), u"libs/util/README.md"_s);
    const EnvDirectoryNode tree = scan(root());
    QCOMPARE(describe(tree), (QStringList{u"<root>: .env"_s, u"apps: "_s, u"apps/web: .env, .env.local"_s}));
    QCOMPARE(tree.name(), QFileInfo(root()).fileName());
    const EnvDirectoryNode &web = tree.children[0].children[0];
    QCOMPARE(web.name(), u"web"_s);
    QCOMPARE(web.url, root() + u"/apps/web"_s);
    QCOMPARE(web.directFiles[1].url, root() + u"/apps/web/.env.local"_s);
    QCOMPARE(web.directFiles[1].relativeDirectory, u"apps/web"_s);
    QCOMPARE(web.directFiles[1].displayPath(), u"/apps/web/.env.local"_s);
    QCOMPARE(tree.directFiles[0].displayPath(), u".env"_s);
    QCOMPARE(tree.directFiles[0].relativeDirectory, QString());
    QCOMPARE(displayPaths(tree.allFiles()), (QStringList{u".env"_s, u"/apps/web/.env"_s, u"/apps/web/.env.local"_s}));
    QCOMPARE(scan(root()), tree); // deterministic
}

void TestEnvProjectScanner::pruning()
{
    for (const QString &path : {u".git/.env"_s, u".github/workflows/.env"_s, u"node_modules/pkg/.env"_s,
                                u"build/.env"_s, u"vendor/x/.env"_s, u"a/dist/.env"_s, u"DerivedData/.env"_s,
                                u".__kelvane_autosave_backup__-X.tmp"_s, u"env"_s})
        touch(root(), path);
    for (const QString &path : {u"Build/.env"_s, u"a/.hidden.env"_s, u"a/node_modules.env"_s})
        touch(root(), path);
    QCOMPARE(describe(scan(root())), (QStringList{u"<root>: "_s, u"a: .hidden.env, node_modules.env"_s, u"Build: .env"_s}));
}

void TestEnvProjectScanner::symbolicLinksAreIgnored()
{
    touch(root(), u"real/.env"_s);
    QCOMPARE(::symlink("real/.env", QFile::encodeName(root() + u"/.env"_s).constData()), 0);
    QCOMPARE(::symlink("real", QFile::encodeName(root() + u"/linked"_s).constData()), 0);
    QCOMPARE(::symlink("..", QFile::encodeName(root() + u"/real/up"_s).constData()), 0); // a cycle
    QCOMPARE(describe(scan(root())), (QStringList{u"<root>: "_s, u"real: .env"_s}));

    // The project folder itself may be a link; it is opened like any folder.
    QTemporaryDir other;
    const QString link = other.path() + u"/project"_s;
    QCOMPARE(::symlink(QFile::encodeName(root()).constData(), QFile::encodeName(link).constData()), 0);
    const EnvDirectoryNode linked = scan(link);
    QCOMPARE(linked.url, link);
    QCOMPARE(displayPaths(linked.allFiles()), QStringList{u"/real/.env"_s});
    QCOMPARE(linked.allFiles().first().url, link + u"/real/.env"_s);
}

void TestEnvProjectScanner::fileOrder()
{
    for (const QString &name : {u"b.env"_s, u".env.local"_s, u".env"_s, u"A.env"_s, u"c.ENV"_s})
        touch(root(), name);
    for (const QString &name : {u"zeta/.env"_s, u"Alpha/.env"_s, u"beta/.env"_s, u"Éclair/.env"_s})
        touch(root(), name);
    const EnvDirectoryNode tree = scan(root());
    QCOMPARE(describe(tree), (QStringList{u"<root>: .env, .env.local, A.env, b.env, c.ENV"_s, u"Alpha: .env"_s,
                                          u"beta: .env"_s, u"Éclair: .env"_s, u"zeta: .env"_s}));
}

void TestEnvProjectScanner::findNodeAndVisibleFiles()
{
    touch(root(), u"apps/web/.env"_s);
    touch(root(), u"apps/api/.env.test"_s);
    const EnvDirectoryNode tree = scan(root());
    QCOMPARE(EnvProjectScanner::findNode(tree, u"")->url, root());
    const auto apps = EnvProjectScanner::findNode(tree, u"apps");
    QVERIFY(apps);
    QVERIFY(apps->directFiles.isEmpty()); // a directory selection shows only its own files
    QCOMPARE(displayPaths(tree.allFiles()), (QStringList{u"/apps/api/.env.test"_s, u"/apps/web/.env"_s}));
    QCOMPARE(EnvProjectScanner::findNode(tree, u"apps/web")->directFiles.size(), 1);
    QVERIFY(!EnvProjectScanner::findNode(tree, u"apps/gone"));
    QVERIFY(!EnvProjectScanner::findNode(tree, u"web"));
}

void TestEnvProjectScanner::standardizesTheFolder()
{
    touch(root(), u"a/.env"_s);
    const EnvDirectoryNode tree = scan(root() + u"/a/../"_s);
    QCOMPARE(tree.url, root());
    QCOMPARE(tree.children[0].directFiles[0].url, root() + u"/a/.env"_s);
    QCOMPARE(EnvProjectScanner::relativePath(u"/", u"/"), QString());
    QCOMPARE(EnvProjectScanner::relativePath(u"/a/b", u"/"), u"a/b"_s);
    QCOMPARE(EnvProjectScanner::relativePath(u"/p2/x", u"/p"), u"/p2/x"_s);
}

void TestEnvProjectScanner::relevantEventPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("project");
    QTest::addColumn<bool>("relevant");
    const QString p = u"/p"_s;
    QTest::newRow("source file") << u"/p/src/app.ts"_s << p << true;
    QTest::newRow("node_modules") << u"/p/node_modules/x/index.js"_s << p << false;
    QTest::newRow("git") << u"/p/.git/index"_s << p << false;
    QTest::newRow("hidden file") << u"/p/.DS_Store"_s << p << false;
    QTest::newRow("hidden env file") << u"/p/.env.production"_s << p << true;
    QTest::newRow("hidden folder itself") << u"/p/.git"_s << p << false;
    QTest::newRow("build folder") << u"/p/build"_s << p << false;
    QTest::newRow("Build folder") << u"/p/Build/.env"_s << p << true;
    QTest::newRow("the project folder") << u"/p"_s << p << true;
    // The project's own path does not count: a project under a hidden or ignored folder.
    const QString hidden = u"/home/u/.config/app"_s;
    QTest::newRow("under hidden: file") << u"/home/u/.config/app/.env"_s << hidden << true;
    QTest::newRow("under hidden: source") << u"/home/u/.config/app/src/x.ts"_s << hidden << true;
    QTest::newRow("under hidden: own git") << u"/home/u/.config/app/.git/HEAD"_s << hidden << false;
    QTest::newRow("under build") << u"/srv/build/app/.env"_s << u"/srv/build/app"_s << true;
    QTest::newRow("not below the project") << u"/home/u/.config/other/.env"_s << hidden << false;
    QTest::newRow("sibling prefix") << u"/home/u/.config/apple/x"_s << hidden << false;
}

void TestEnvProjectScanner::relevantEventPaths()
{
    QFETCH(QString, path);
    QFETCH(QString, project);
    QFETCH(bool, relevant);
    QCOMPARE(EnvProjectScanner::isRelevantEventPath(path, project, EnvProjectScanner::ignoredDirectoryNames()), relevant);
}

void TestEnvProjectScanner::hashesAndSelections()
{
    const EnvFile a{u"/p/.env"_s, QString()};
    const EnvFile b{u"/p/.env"_s, u"x"_s};
    QVERIFY(a != b);
    QCOMPARE(qHash(a), qHash(EnvFile{u"/p/.env"_s, QString()}));
    const auto project = EnvSelection::project(u"/p"_s);
    const auto directory = EnvSelection::directory(u"/p"_s, QString());
    QVERIFY(project != directory);
    QCOMPARE(project.projectID(), directory.projectID());
    QCOMPARE(project.relativePath(), std::nullopt);
    QCOMPARE(directory.relativePath(), std::optional(QString()));
    QCOMPARE(EnvSelection::directory(u"/p"_s, u"a"_s), EnvSelection::directory(u"/p"_s, u"a"_s));
    QCOMPARE(qHash(EnvSelection::directory(u"/p"_s, u"a"_s)), qHash(EnvSelection::directory(u"/p"_s, u"a"_s)));
}

KELVANE_TEST_MAIN(TestEnvProjectScanner)
#include "tst_envprojectscanner.moc"
