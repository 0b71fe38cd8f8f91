#include "common/TestEnvironment.h"
#include "util/FileIO.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

class Umask
{
public:
    explicit Umask(mode_t mask) : m_old(::umask(mask)) {}
    ~Umask() { ::umask(m_old); }

private:
    mode_t m_old;
};

// Lowers the file-size limit so writes past it fail with EFBIG, for root too.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    struct rlimit m_old;
    void (*m_oldHandler)(int);
};

} // namespace

class TestFileIO : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void writesAndLeavesNothingBehind();
    void newFileModeFollowsUmask_data();
    void newFileModeFollowsUmask();
    void keepsExistingMode_data();
    void keepsExistingMode();
    void writesThroughSymbolicLinks();
    void failedWriteKeepsOldFile();
    void refusesImpossibleTargets();
    void reading();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestFileIO::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFileIO::writesAndLeavesNothingBehind()
{
    const QString target = path(u".env"_s);
    QVERIFY(!FileIO::writeAtomically(target, "A=1\n"));
    QVERIFY(!FileIO::writeAtomically(target, "A=2\n"));
    QCOMPARE(FileIO::readAll(target).value(), QByteArray("A=2\n"));
    QVERIFY(!FileIO::writeAtomically(target, QByteArrayView()));
    QCOMPARE(FileIO::readAll(target).value(), QByteArray());
    QCOMPARE(namesIn(m_dir->path()), QStringList{u".env"_s});
}

void TestFileIO::newFileModeFollowsUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("022") << 022 << 0644;
    QTest::newRow("077") << 077 << 0600;
    QTest::newRow("002") << 002 << 0664;
}

void TestFileIO::newFileModeFollowsUmask()
{
    QFETCH(int, mask);
    QFETCH(int, mode);
    const Umask restrictive(static_cast<mode_t>(mask));
    const QString target = path(u".env.new"_s);
    QVERIFY(!FileIO::writeAtomically(target, "A=1\n"));
    QCOMPARE(int(modeOf(target)), mode);
}

void TestFileIO::keepsExistingMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("mask");
    QTest::newRow("0600 under 022") << 0600 << 022;
    QTest::newRow("0640 under 077") << 0640 << 077;
    QTest::newRow("0400 read-only") << 0400 << 022;
    QTest::newRow("0666 under 022") << 0666 << 022;
}

void TestFileIO::keepsExistingMode()
{
    QFETCH(int, mode);
    QFETCH(int, mask);
    const QString target = path(u".env"_s);
    QVERIFY(!FileIO::writeAtomically(target, "A=1\n"));
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), mode_t(mode)), 0);
    const Umask restrictive(static_cast<mode_t>(mask));
    QVERIFY(!FileIO::writeAtomically(target, "A=2\n"));
    QCOMPARE(int(modeOf(target)), mode);
    QCOMPARE(FileIO::readAll(target).value(), QByteArray("A=2\n"));
}

void TestFileIO::writesThroughSymbolicLinks()
{
    QVERIFY(QDir(m_dir->path()).mkpath(u"dotfiles/sub"_s));
    const QString real = path(u"dotfiles/sub/.env"_s);
    QVERIFY(!FileIO::writeAtomically(real, "A=1\n"));
    QCOMPARE(::chmod(QFile::encodeName(real).constData(), 0600), 0);
    // A relative link to a relative link.
    QCOMPARE(::symlink("sub/.env", QFile::encodeName(path(u"dotfiles/inner"_s)).constData()), 0);
    QCOMPARE(::symlink("dotfiles/inner", QFile::encodeName(path(u".env"_s)).constData()), 0);

    QVERIFY(!FileIO::writeAtomically(path(u".env"_s), "A=2\n"));
    QVERIFY(QFileInfo(path(u".env"_s)).isSymLink());
    QVERIFY(QFileInfo(path(u"dotfiles/inner"_s)).isSymLink());
    QCOMPARE(FileIO::readAll(real).value(), QByteArray("A=2\n"));
    QCOMPARE(int(modeOf(real)), 0600);
    QCOMPARE(namesIn(path(u"dotfiles/sub"_s)), QStringList{u".env"_s});

    // A dangling link gets its target created.
    QCOMPARE(::symlink("sub/.env.local", QFile::encodeName(path(u"dotfiles/local"_s)).constData()), 0);
    QVERIFY(!FileIO::writeAtomically(path(u"dotfiles/local"_s), "B=1\n"));
    QVERIFY(QFileInfo(path(u"dotfiles/local"_s)).isSymLink());
    QCOMPARE(FileIO::readAll(path(u"dotfiles/sub/.env.local"_s)).value(), QByteArray("B=1\n"));

    // A loop is an error, not a hang.
    QCOMPARE(::symlink("loop", QFile::encodeName(path(u"loop"_s)).constData()), 0);
    QCOMPARE(FileIO::writeAtomically(path(u"loop"_s), "x")->code, ELOOP);
}

void TestFileIO::failedWriteKeepsOldFile()
{
    const QString target = path(u".env"_s);
    const QByteArray old = "SECRET=old\n";
    QVERIFY(!FileIO::writeAtomically(target, old));

    std::optional<IoError> error;
    {
        const FileSizeLimit limit(4096);
        error = FileIO::writeAtomically(target, QByteArray(64 * 1024, 'x'));
    }
    QVERIFY(error);
    QCOMPARE(error->code, EFBIG);
    QVERIFY(!error->description.isEmpty());
    QCOMPARE(FileIO::readAll(target).value(), old);
    QCOMPARE(namesIn(m_dir->path()), QStringList{u".env"_s});
}

void TestFileIO::refusesImpossibleTargets()
{
    // A regular file where the folder should be.
    QVERIFY(!FileIO::writeAtomically(path(u"project"_s), "not a folder"));
    std::optional<IoError> error = FileIO::writeAtomically(path(u"project/.env"_s), "A=1\n");
    QVERIFY(error);
    QCOMPARE(error->code, ENOTDIR);

    // A folder where the file should be.
    QVERIFY(QDir(m_dir->path()).mkdir(u"folder"_s));
    error = FileIO::writeAtomically(path(u"folder"_s), "A=1\n");
    QVERIFY(error);
    QCOMPARE(error->code, EISDIR);

    // A missing folder.
    error = FileIO::writeAtomically(path(u"missing/.env"_s), "A=1\n");
    QVERIFY(error);
    QCOMPARE(error->code, ENOENT);

    QCOMPARE(namesIn(m_dir->path()), (QStringList{u"folder"_s, u"project"_s}));
    QCOMPARE(FileIO::readAll(path(u"project"_s)).value(), QByteArray("not a folder"));
}

void TestFileIO::reading()
{
    QCOMPARE(FileIO::readAll(path(u"missing"_s)).error().code, ENOENT);
    QCOMPARE(FileIO::readAll(m_dir->path()).error().code, EISDIR);
    QVERIFY(!FileIO::readAll(m_dir->path()).error().description.isEmpty());

    // A FIFO is refused at once instead of blocking until someone writes to it.
    const QString fifo = path(u"fifo"_s);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(FileIO::readAll(fifo).error().code, EINVAL);

    // A new file can be given its mode; a file beyond the size limit is refused.
    QVERIFY(!FileIO::writeAtomically(path(u"private"_s), "x", 0600));
    QCOMPARE(int(modeOf(path(u"private"_s))), 0600);
    QVERIFY(::truncate(QFile::encodeName(path(u"private"_s)).constData(), FileIO::maximumFileSize + 1) == 0);
    QCOMPARE(FileIO::readAll(path(u"private"_s)).error().code, EFBIG);

    // A large file comes back whole.
    QByteArray big(3 * 1024 * 1024 + 17, 'a');
    QVERIFY(!FileIO::writeAtomically(path(u"big"_s), big));
    QCOMPARE(FileIO::readAll(path(u"big"_s)).value(), big);

    // UTF-8: a byte-order mark stays, invalid bytes fail.
    QVERIFY(!FileIO::writeAtomically(path(u"bom"_s), "\xef\xbb\xbf" "A=1\n"));
    QCOMPARE(FileIO::readUtf8(path(u"bom"_s)).value(), u"\uFEFFA=1\n"_s);
    for (const QByteArray &invalid : {QByteArray("A=\xff\n"), QByteArray("A=\xc3"), QByteArray("\xed\xa0\x80")}) {
        QVERIFY(!FileIO::writeAtomically(path(u"bad"_s), invalid));
        const Result<QString> text = FileIO::readUtf8(path(u"bad"_s));
        QVERIFY2(!text.ok(), invalid.toHex().constData());
        QCOMPARE(text.error().code, EILSEQ);
    }
}

KELVANE_TEST_MAIN(TestFileIO)
#include "tst_fileio.moc"
