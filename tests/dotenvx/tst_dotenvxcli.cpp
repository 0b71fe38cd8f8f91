#include "common/TestEnvironment.h"
#include "document/EnvParser.h"
#include "dotenvx/DotenvxCLI.h"
#include "util/FileIO.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QString noLookup = u"/bin/false"_s;

DotenvxCLI toolAt(const QString &executable, int timeoutMilliseconds = 60000)
{
    return DotenvxCLI({executable}, {noLookup, {}}, timeoutMilliseconds);
}

QByteArray read(const QString &path)
{
    return FileIO::readAll(path).value();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    if (FileIO::writeAtomically(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
}

// A small shell script standing in for dotenvx.
QString fakeTool(const QString &folder, const QString &name, const QByteArray &body, bool executable = true)
{
    const QString path = folder + u'/' + name;
    writeFile(path, "#!/bin/sh\n" + body + '\n');
    ::chmod(QFile::encodeName(path).constData(), executable ? 0755 : 0644);
    return path;
}

QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 0777;
}

} // namespace

class TestDotenvxCLI : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // Against the real tool, both major versions.
    void roundTripsExactly_data();
    void roundTripsExactly();
    void fileContentIsNeverEvaluated_data();
    void fileContentIsNeverEvaluated();
    void sameKeyTwiceAndMissingKeys_data();
    void sameKeyTwiceAndMissingKeys();
    void missingPrivateKey_data();
    void missingPrivateKey();
    void refusesWhatCannotBeStored_data();
    void refusesWhatCannotBeStored();

    // With fake tools.
    void locatesTheExecutable();
    void toolFailures_data();
    void toolFailures();
    void successWithoutCiphertext();
    void toolThatCannotStart();
    void drainsBothPipes();
    void killsAToolThatNeverExits();
    void keyNames_data();
    void keyNames();
    void errorDescriptions();

private:
    // A project folder with an encrypted .env (SECRET=initial) made by the real tool.
    QString makeEncryptedProject(const QString &tool, const QString &fileName = u".env"_s);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->path() + u'/' + name; }
    QString runtimeDir() const { return qEnvironmentVariable("XDG_RUNTIME_DIR"); }
};

void TestDotenvxCLI::initTestCase()
{
    for (const char *tool : {KELVANE_DOTENVX_2, KELVANE_DOTENVX_1})
        QVERIFY2(QFileInfo(QString::fromUtf8(tool)).isExecutable(), tool);
}

void TestDotenvxCLI::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestDotenvxCLI::makeEncryptedProject(const QString &tool, const QString &fileName)
{
    const QString file = path(fileName);
    writeFile(file, "# Secrets\nSECRET=initial\nPLAIN=visible\n");
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(tool, {u"encrypt"_s, u"-f"_s, file, u"-k"_s, u"SECRET"_s});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        qFatal("dotenvx encrypt failed: %s", process.readAllStandardError().constData());
    return file;
}

void TestDotenvxCLI::roundTripsExactly_data()
{
    QTest::addColumn<QString>("tool");
    QTest::newRow("dotenvx 2") << QString::fromUtf8(KELVANE_DOTENVX_2);
    QTest::newRow("dotenvx 1") << QString::fromUtf8(KELVANE_DOTENVX_1);
}

void TestDotenvxCLI::roundTripsExactly()
{
    QFETCH(QString, tool);
    const QString file = makeEncryptedProject(tool);
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0600), 0);
    const QString canary = path(u"CANARY"_s);
    const QStringList pieces = {u"  "_s, u"\""_s, u"`"_s, u"\\"_s, u"#"_s, u" # "_s, u"$HOME"_s, u"${X}"_s,
                                u"$(touch "_s + canary + u")"_s, u"`touch "_s + canary + u"`"_s, u"\n"_s, u"é✓🔑"_s,
                                u"-"_s, u"--plain"_s, u"word"_s, u"="_s, u"\t"_s};
    QStringList values = {QString(), u"-starts-with-dash"_s, u" spaces at both ends "_s, u"it's"_s, u"'"_s,
                          u"line one\nline two\n"_s};
    QRandomGenerator random(4242);
    while (values.size() < 14) {
        QString value;
        for (int i = int(random.bounded(1, 7)); i > 0; --i)
            value += pieces[random.bounded(int(pieces.size()))];
        values << value;
    }

    const DotenvxCLI dotenvx = toolAt(tool);
    for (const QString &value : values) {
        const DotenvxResult<QString> ciphertext = dotenvx.encrypt(u"SECRET"_s, value, file);
        QVERIFY2(ciphertext.ok(), qPrintable(ciphertext.ok() ? QString() : ciphertext.error().description()));
        QVERIFY(ciphertext.value().startsWith(u"encrypted:"));
        const DotenvxResult<QString> plaintext = dotenvx.decrypt(u"SECRET"_s, file);
        QVERIFY2(plaintext.ok(), qPrintable(plaintext.ok() ? QString() : plaintext.error().description()));
        QCOMPARE(plaintext.value(), value);
    }
    QVERIFY(!QFile::exists(canary));
    QCOMPARE(int(modeOf(file)), 0600);
    QVERIFY(read(file).startsWith("#/---")); // dotenvx's banner and everything else stay
    QVERIFY(read(file).contains("\n# Secrets\nSECRET=encrypted:"));
    QVERIFY(read(file).contains("\nPLAIN=visible\n"));
    QCOMPARE(namesIn(runtimeDir()), QStringList()); // every private copy is gone
}

void TestDotenvxCLI::fileContentIsNeverEvaluated_data()
{
    roundTripsExactly_data();
}

void TestDotenvxCLI::fileContentIsNeverEvaluated()
{
    QFETCH(QString, tool);
    const QString file = makeEncryptedProject(tool);
    const QString canary = path(u"CANARY"_s);
    QByteArray text = read(file);
    text += "EVIL=\"$(touch " + QFile::encodeName(canary) + ")\"\nEVIL2=$(touch " + QFile::encodeName(canary) + ")\n";
    // The public key lines are the part of the file that the private copy keeps: a crafted one
    // must not get through either.
    text += "DOTENV_PUBLIC_KEY_EVIL=\"$(touch " + QFile::encodeName(canary) + ")\"\n";
    writeFile(file, text);

    const DotenvxCLI dotenvx = toolAt(tool);
    QCOMPARE(dotenvx.decrypt(u"SECRET"_s, file).value(), u"initial"_s);
    QVERIFY(dotenvx.encrypt(u"SECRET"_s, u"changed"_s, file).ok());
    QCOMPARE(dotenvx.decrypt(u"SECRET"_s, file).value(), u"changed"_s);
    QVERIFY(!QFile::exists(canary));
    QVERIFY(read(file).endsWith("EVIL2=$(touch " + QFile::encodeName(canary) + ")\nDOTENV_PUBLIC_KEY_EVIL=\"$(touch "
                                + QFile::encodeName(canary) + ")\"\n"));

    // A variable of the same name in Kelvane's own environment does not win over the file.
    qputenv("SECRET", "from the environment");
    const DotenvxResult<QString> revealed = dotenvx.decrypt(u"SECRET"_s, file);
    qunsetenv("SECRET");
    QCOMPARE(revealed.value(), u"changed"_s);
}

void TestDotenvxCLI::sameKeyTwiceAndMissingKeys_data()
{
    roundTripsExactly_data();
}

void TestDotenvxCLI::sameKeyTwiceAndMissingKeys()
{
    QFETCH(QString, tool);
    const QString file = makeEncryptedProject(tool);
    const DotenvxCLI dotenvx = toolAt(tool);
    const QString ciphertext = dotenvx.encrypt(u"OTHER"_s, u"second"_s, file).value();

    // The same key twice, first plain, then encrypted: the encrypted one is what dotenvx reads.
    QByteArray text = read(file);
    text += "DUP=plain first\nDUP=" + ciphertext.toUtf8() + '\n';
    writeFile(file, text);
    QCOMPARE(dotenvx.decrypt(u"DUP"_s, file).value(), u"second"_s);
    const DotenvxResult<QString> updated = dotenvx.encrypt(u"DUP"_s, u"both"_s, file);
    QVERIFY(updated.ok());
    int duplicates = 0;
    const EnvDocument reloaded = EnvParser::load(file).value();
    for (const EditableEnvEntry &entry : reloaded.entries) {
        if (entry.key == u"DUP") {
            QCOMPARE(entry.value, updated.value());
            ++duplicates;
        }
    }
    QCOMPARE(duplicates, 2);
    QCOMPARE(dotenvx.decrypt(u"DUP"_s, file).value(), u"both"_s);

    // A key the file does not have: reading fails, setting adds it.
    const DotenvxResult<QString> missing = dotenvx.decrypt(u"NOPE"_s, file);
    QVERIFY(!missing.ok());
    QCOMPARE(missing.error().dotenvxError()->kind(), DotenvxError::Kind::decryptFailed);
    QVERIFY(dotenvx.encrypt(u"NEW_KEY"_s, u"fresh"_s, file).ok());
    QVERIFY(read(file).contains("\n\nNEW_KEY=encrypted:"));
    QCOMPARE(dotenvx.decrypt(u"NEW_KEY"_s, file).value(), u"fresh"_s);
    QVERIFY(!dotenvx.decrypt(u"PLAIN"_s, file).ok()); // not encrypted
}

void TestDotenvxCLI::missingPrivateKey_data()
{
    roundTripsExactly_data();
}

void TestDotenvxCLI::missingPrivateKey()
{
    QFETCH(QString, tool);
    // A named environment file: the key names come from the file name.
    const QString file = makeEncryptedProject(tool, u".env.production"_s);
    const DotenvxCLI dotenvx = toolAt(tool);
    QVERIFY(read(path(u".env.keys"_s)).contains("DOTENV_PRIVATE_KEY_PRODUCTION="));
    QCOMPARE(dotenvx.decrypt(u"SECRET"_s, file).value(), u"initial"_s);

    QVERIFY(QFile::remove(path(u".env.keys"_s)));
    const DotenvxResult<QString> result = dotenvx.decrypt(u"SECRET"_s, file);
    QVERIFY(!result.ok());
    const DotenvxError *error = result.error().dotenvxError();
    QVERIFY(error);
    QCOMPARE(error->kind(), DotenvxError::Kind::decryptFailed);
    QVERIFY2(error->payload().contains(u"DOTENV_PRIVATE_KEY_PRODUCTION") || error->payload().contains(u"decrypt"),
             qPrintable(error->payload()));
    QVERIFY(!error->payload().contains(u'\x1b')); // no terminal colour codes in the message
}

void TestDotenvxCLI::refusesWhatCannotBeStored_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("carriage return") << u"a\rb"_s;
    QTest::newRow("quote and line break") << u"a'\nB=$(touch x)'"_s;
    QTest::newRow("quote and hash") << u"it's # not"_s;
    QTest::newRow("escaped quote") << u"a\\'b"_s;
}

void TestDotenvxCLI::refusesWhatCannotBeStored()
{
    QFETCH(QString, value);
    const QString file = makeEncryptedProject(QString::fromUtf8(KELVANE_DOTENVX_2));
    const QByteArray before = read(file);
    const DotenvxResult<QString> result = toolAt(QString::fromUtf8(KELVANE_DOTENVX_2)).encrypt(u"SECRET"_s, value, file);
    QVERIFY(!result.ok());
    QCOMPARE(result.error().dotenvxError()->kind(), DotenvxError::Kind::encryptFailed);
    QCOMPARE(read(file), before);

    // Without a public key there is nothing to encrypt with yet.
    const QString plainFile = path(u"plain.env"_s);
    writeFile(plainFile, "A=1\n");
    const DotenvxResult<QString> noKey = toolAt(QString::fromUtf8(KELVANE_DOTENVX_2)).encrypt(u"A"_s, u"2"_s, plainFile);
    QVERIFY(!noKey.ok());
    QVERIFY(noKey.error().description().contains(u"dotenvx encrypt -f plain.env"));
    QCOMPARE(read(plainFile), QByteArray("A=1\n"));
}

void TestDotenvxCLI::locatesTheExecutable()
{
    const QString marker = path(u"shell-started"_s);
    const QString lookup = fakeTool(m_dir->path(), u"lookup"_s, "touch '" + QFile::encodeName(marker) + "'\necho '" +
                                                                       QFile::encodeName(path(u"found"_s)) + "'");
    const QString first = fakeTool(m_dir->path(), u"first"_s, "exit 0");
    const QString notExecutable = fakeTool(m_dir->path(), u"plain"_s, "exit 0", false);
    const QString found = fakeTool(m_dir->path(), u"found"_s, "exit 0");

    // An executable candidate: the shell is never started.
    QCOMPARE(DotenvxCLI({path(u"missing"_s), first}, {lookup, {}}).locateExecutable(), std::optional(first));
    QVERIFY(!QFile::exists(marker));
    // A candidate without execute bits is skipped; the shell's answer, a path and a line break, is used.
    QCOMPARE(DotenvxCLI({notExecutable}, {lookup, {}}).locateExecutable(), std::optional(found));
    QVERIFY(QFile::exists(marker));
    // A lookup that names something not executable, or nothing, finds nothing.
    const QString badLookup = fakeTool(m_dir->path(), u"bad-lookup"_s, "echo '" + QFile::encodeName(notExecutable) + "'");
    const DotenvxCLI notFound({}, {badLookup, {}});
    QCOMPARE(notFound.locateExecutable(), std::nullopt);
    QVERIFY(!notFound.isAvailable());
    QCOMPARE(notFound.decrypt(u"A"_s, path(u".env"_s)).error().dotenvxError()->kind(), DotenvxError::Kind::cliNotFound);
    QCOMPARE(notFound.encrypt(u"A"_s, u"1"_s, path(u".env"_s)).error().dotenvxError()->kind(), DotenvxError::Kind::cliNotFound);
    QCOMPARE(DotenvxCLI({}, {path(u"no-shell"_s), {}}).locateExecutable(), std::nullopt);

    // The standard lookup asks the login shell.
    QCOMPARE(DotenvxCLI::candidatePaths().first(), u"/opt/homebrew/bin/dotenvx"_s);
    QCOMPARE(DotenvxCLI::candidatePaths().last(), QDir::homePath() + u"/.bun/bin/dotenvx"_s);
}

void TestDotenvxCLI::toolFailures_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("description");
    QTest::newRow("stderr only") << QByteArray("echo 'no key' >&2; exit 1") << u"Decryption failed: no key\n"_s;
    QTest::newRow("stdout only") << QByteArray("printf 'out text'; exit 3") << u"Decryption failed: out text"_s;
    QTest::newRow("both") << QByteArray("echo out; echo err >&2; exit 1") << u"Decryption failed: err\n"_s;
    QTest::newRow("nothing") << QByteArray("exit 1") << u"Decryption failed: "_s;
    QTest::newRow("no value") << QByteArray("echo '{}'") << u"Decryption failed: {}\n"_s;
    QTest::newRow("still encrypted") << QByteArray("echo '{\"SECRET\":\"encrypted:x\"}'; echo 'missing key' >&2")
                                     << u"Decryption failed: missing key\n"_s;
    QTest::newRow("invalid utf-8") << QByteArray("printf '\\377\\376' >&2; exit 1") << u"Decryption failed: "_s;
}

void TestDotenvxCLI::toolFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, description);
    const QString file = path(u".env"_s);
    writeFile(file, "DOTENV_PUBLIC_KEY=\"02ab\"\nSECRET=encrypted:AAAA\n");
    const DotenvxResult<QString> result = toolAt(fakeTool(m_dir->path(), u"fake"_s, script)).decrypt(u"SECRET"_s, file);
    QVERIFY(!result.ok());
    QVERIFY(result.error().dotenvxError());
    QCOMPARE(result.error().description(), description);
}

void TestDotenvxCLI::successWithoutCiphertext()
{
    const QString file = path(u".env"_s);
    writeFile(file, "DOTENV_PUBLIC_KEY=\"02ab\"\nSECRET=encrypted:AAAA\n");
    const DotenvxResult<QString> result =
            toolAt(fakeTool(m_dir->path(), u"fake"_s, "echo 'SECRET=still-plain'")).encrypt(u"SECRET"_s, u"v"_s, file);
    QVERIFY(!result.ok());
    QCOMPARE(result.error().dotenvxError()->kind(), DotenvxError::Kind::ciphertextNotFoundAfterEncrypt);
    QCOMPARE(result.error().description(), u"The value of SECRET was not found in the file after re-encryption."_s);
    QCOMPARE(read(file), QByteArray("DOTENV_PUBLIC_KEY=\"02ab\"\nSECRET=encrypted:AAAA\n"));

    const DotenvxResult<QString> failed =
            toolAt(fakeTool(m_dir->path(), u"failing"_s, "echo 'locked' >&2; exit 2")).encrypt(u"SECRET"_s, u"v"_s, file);
    QCOMPARE(failed.error().description(), u"Re-encryption failed: locked\n"_s);
}

void TestDotenvxCLI::toolThatCannotStart()
{
    const QString file = path(u".env"_s);
    writeFile(file, "DOTENV_PUBLIC_KEY=\"02ab\"\nSECRET=encrypted:AAAA\n");
    const QString broken = path(u"broken"_s);
    writeFile(broken, "#!/nonexistent/interpreter\n");
    ::chmod(QFile::encodeName(broken).constData(), 0755);
    const DotenvxResult<QString> result = toolAt(broken).decrypt(u"SECRET"_s, file);
    QVERIFY(!result.ok());
    QVERIFY(result.error().ioError()); // the platform's error, not dotenvx's
    QVERIFY(!result.error().description().isEmpty());
    QCOMPARE(namesIn(runtimeDir()), QStringList());
}

void TestDotenvxCLI::drainsBothPipes()
{
    const QString chatty = fakeTool(m_dir->path(), u"chatty"_s,
                                    "head -c 8388608 /dev/zero | tr '\\0' o; head -c 8388608 /dev/zero | tr '\\0' e >&2; exit 7");
    const Result<ProcessOutput> output = toolAt(chatty).runTool(chatty, {}, m_dir->path());
    QVERIFY(output.ok());
    QCOMPARE(output.value().standardOutput.size(), 8388608);
    QCOMPARE(output.value().standardError.size(), 8388608);
    QCOMPARE(output.value().exitStatus, 7);

    // Arguments arrive one by one, unquoted; stdin is empty, not a terminal.
    const QString echo = fakeTool(m_dir->path(), u"echo"_s, "for a in \"$@\"; do printf '[%s]' \"$a\"; done; cat; pwd");
    const Result<ProcessOutput> echoed = toolAt(echo).runTool(echo, {u"a b"_s, u"$HOME"_s, u"\"q\""_s}, m_dir->path());
    QCOMPARE(echoed.value().standardOutput, u"[a b][$HOME][\"q\"]"_s + m_dir->path() + u'\n');
}

void TestDotenvxCLI::killsAToolThatNeverExits()
{
    const QString stuck = fakeTool(m_dir->path(), u"stuck"_s, "exec sleep 30");
    QElapsedTimer timer;
    timer.start();
    const Result<ProcessOutput> output = toolAt(stuck, 300).runTool(stuck, {}, m_dir->path());
    QVERIFY(!output.ok());
    QCOMPARE(output.error().code, ETIMEDOUT);
    QVERIFY(output.error().description.contains(u"did not finish"));
    QVERIFY(timer.elapsed() < 20000);
}

void TestDotenvxCLI::keyNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("isPublic");
    QTest::addColumn<bool>("isPrivate");
    QTest::newRow("public") << u"DOTENV_PUBLIC_KEY"_s << true << false;
    QTest::newRow("public production") << u"DOTENV_PUBLIC_KEY_PRODUCTION"_s << true << false;
    QTest::newRow("public plural") << u"DOTENV_PUBLIC_KEYS"_s << false << false;
    QTest::newRow("public lower") << u"dotenv_public_key"_s << false << false;
    QTest::newRow("private") << u"DOTENV_PRIVATE_KEY"_s << false << true;
    QTest::newRow("private ci") << u"DOTENV_PRIVATE_KEY_CI"_s << false << true;
    QTest::newRow("private plural") << u"DOTENV_PRIVATE_KEYS"_s << false << false;
    QTest::newRow("untrimmed") << u" DOTENV_PUBLIC_KEY"_s << false << false;
}

void TestDotenvxCLI::keyNames()
{
    QFETCH(QString, name);
    QFETCH(bool, isPublic);
    QFETCH(bool, isPrivate);
    QCOMPARE(DotenvxCLI::isPublicKeyName(name), isPublic);
    QCOMPARE(DotenvxCLI::isPrivateKeyName(name), isPrivate);
}

void TestDotenvxCLI::errorDescriptions()
{
    QCOMPARE(DotenvxError::decryptFailed(u"x"_s).errorDescription(), u"Decryption failed: x"_s);
    QCOMPARE(DotenvxError::encryptFailed(u"y"_s).errorDescription(), u"Re-encryption failed: y"_s);
    QCOMPARE(DotenvxError::ciphertextNotFoundAfterEncrypt(u"K"_s).errorDescription(),
             u"The value of K was not found in the file after re-encryption."_s);
    QCOMPARE(DotenvxError::cliNotFound().errorDescription(),
             u"The dotenvx CLI was not found. Install it via `brew install dotenvx/brew/dotenvx` or similar."_s);
}

KELVANE_TEST_MAIN(TestDotenvxCLI)
#include "tst_dotenvxcli.moc"
