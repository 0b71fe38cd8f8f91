#include "WorkspaceFixture.h"
#include "discovery/EnvProjectScanner.h"

#include <QElapsedTimer>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {


QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 0777;
}

} // namespace

class TestAppModelAutosave : public QObject
{
    Q_OBJECT

private slots:
    void burstOfEditsWritesOnce();
    void switchingFilesDropsThePendingEdit();
    void loadShowsTheCanonicalText();
    void deletedFileIsNotRecreated();
    void unreadableFile_data();
    void unreadableFile();
    void keepsModeAndLeavesNoBackup();
    void failedWriteLeavesTheFile();
    void failedReencryptionRollsBack();
    void outsideChangeWins();
    void marksItsOwnWrites();
};

void TestAppModelAutosave::burstOfEditsWritesOnce()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QSignalSpy saved(model.get(), &AppModel::saveFinished);
    const QUuid a = idOf(*model, u"A"_s);
    QElapsedTimer timer;
    timer.start();
    model->updateValue(a, u"a"_s);
    model->updateValue(a, u"ab"_s);
    model->updateValue(a, u"abc"_s);
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=\n")); // nothing yet
    QVERIFY(saved.wait(5000));
    QVERIFY(timer.elapsed() >= 240);
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=abc\n"));
    QTest::qWait(400);
    QCOMPARE(saved.size(), 1);
    QVERIFY(model->statusMessage().startsWith(u"Autosaved · "_s));
    QCOMPARE(model->errorMessage(), std::nullopt);
}

void TestAppModelAutosave::switchingFilesDropsThePendingEdit()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    fixture.write(u"p/.env.local"_s, "B=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    model->updateValue(idOf(*model, u"A"_s), u"2"_s);
    model->selectFile(fixture.path(u"p/.env.local"_s));
    QTest::qWait(500);
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=1\n"));
    QCOMPARE(model->statusMessage(), u"Autosave is enabled."_s);
}

void TestAppModelAutosave::loadShowsTheCanonicalText()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "export  A = 1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QCOMPARE(model->rawText(), u"export A=1\n"_s);
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("export  A = 1\n")); // not rewritten until an edit
    QCOMPARE(model->currentDocument().entries.size(), 1);
}

void TestAppModelAutosave::deletedFileIsNotRecreated()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    fixture.write(u"p/.env.other"_s, "B=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QVERIFY(QFile::remove(fixture.path(u"p/.env"_s)));
    model->updateValue(idOf(*model, u"A"_s), u"2"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QVERIFY(!QFile::exists(fixture.path(u"p/.env"_s)));
    QCOMPARE(model->errorMessage(), std::nullopt);
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env.other"_s))); // the rescan moved on
}

void TestAppModelAutosave::unreadableFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("description");
    QTest::newRow("latin-1") << QByteArray("A=caf\xe9\n") << u"The file is not valid UTF-8 text"_s;
}

void TestAppModelAutosave::unreadableFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, description);
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, bytes);
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QCOMPARE(model->errorMessage(), std::optional(u"Failed to read file: "_s + description));
    QCOMPARE(model->statusMessage(), u"Read failed"_s);
    QVERIFY(model->entries().isEmpty());
    QCOMPARE(model->rawText(), QString());
    QCOMPARE(fixture.events.errorCodes(), QStringList{u"file_read_failed"_s});
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env"_s))); // the selection stays
    // Typing into the emptied editor never overwrites the file Kelvane could not read.
    model->updateRawText(u"A=typed\n"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), bytes);
}

void TestAppModelAutosave::keepsModeAndLeavesNoBackup()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    QCOMPARE(::chmod(QFile::encodeName(fixture.path(u"p/.env"_s)).constData(), 0600), 0);
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    model->updateValue(idOf(*model, u"A"_s), u"2"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=2\n"));
    QCOMPARE(int(modeOf(fixture.path(u"p/.env"_s))), 0600);
    QCOMPARE(namesIn(fixture.path(u"p"_s)), QStringList{u".env"_s});
}

void TestAppModelAutosave::failedWriteLeavesTheFile()
{
    WorkspaceFixture fixture;
    const QByteArray original = "A=1\n";
    fixture.write(u"p/.env"_s, original);
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    model->updateValue(idOf(*model, u"A"_s), QString(64 * 1024, u'x'));

    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit limit = old;
    limit.rlim_cur = 4096;
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool finished = WorkspaceFixture::waitForSave(*model);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);

    QVERIFY(finished);
    QCOMPARE(fixture.read(u"p/.env"_s), original);
    QCOMPARE(model->statusMessage(), u"Save failed"_s);
    QCOMPARE(model->errorMessage(), std::optional(u"Autosave failed: File too large"_s));
    QCOMPARE(fixture.events.errorCodes(), QStringList{u"autosave_failed"_s});
    QCOMPARE(namesIn(fixture.path(u"p"_s)), QStringList{u".env"_s});
    // The edit stays in the form; the next edit tries again.
    model->updateValue(idOf(*model, u"A"_s), u"small"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=small\n"));
}

void TestAppModelAutosave::failedReencryptionRollsBack()
{
    WorkspaceFixture fixture;
    const QByteArray original = "DOTENV_PUBLIC_KEY=\"02ab\"\nA=encrypted:1\nB=encrypted:2\nC=plain\n";
    fixture.write(u"p/.env"_s, original);
    fixture.dotenvx->failEncryptFromCall = 2; // the first re-encryption succeeds, the second fails
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QSignalSpy revealed(model.get(), &AppModel::revealFinished);
    for (const QString &key : {u"A"_s, u"B"_s}) {
        model->toggleEncryptionReveal(idOf(*model, key));
        QVERIFY(revealed.wait(5000));
    }
    model->updateValue(idOf(*model, u"A"_s), u"new a"_s);
    model->updateValue(idOf(*model, u"B"_s), u"new b"_s);
    model->updateValue(idOf(*model, u"C"_s), u"changed"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), original); // including A, which had been re-encrypted
    QCOMPARE(model->errorMessage(), std::optional(u"Re-encryption failed: locked"_s));
    QCOMPARE(model->statusMessage(), u"Save failed"_s);
    QCOMPARE(namesIn(fixture.path(u"p"_s)), QStringList{u".env"_s});
    // The entries keep their states, so the next save retries them.
    QCOMPARE(model->entries()[1].encryption.kind(), EncryptionState::Kind::revealed);
    fixture.dotenvx->failEncryptFromCall = 0;
    model->updateValue(idOf(*model, u"C"_s), u"again"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), "DOTENV_PUBLIC_KEY=\"02ab\"\nA=" + FakeDotenvx::ciphertextOf(u"new a"_s).toUtf8()
                                                + "\nB=" + FakeDotenvx::ciphertextOf(u"new b"_s).toUtf8() + "\nC=again\n");
}

void TestAppModelAutosave::outsideChangeWins()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    model->updateValue(idOf(*model, u"A"_s), u"mine"_s);
    fixture.write(u"p/.env"_s, "A=theirs\n"); // another program, before the save runs
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=theirs\n"));
    QCOMPARE(model->rawText(), u"A=theirs\n"_s);
    QCOMPARE(model->errorMessage(), std::optional(u"The file was changed by another program. Your last edit was not "
                                                  u"saved; the file has been reloaded."_s));
    QCOMPARE(fixture.events.errorCodes(), QStringList{u"autosave_conflict"_s});
    // From then on edits save normally.
    model->updateValue(idOf(*model, u"A"_s), u"next"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=next\n"));
}

void TestAppModelAutosave::marksItsOwnWrites()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    const QString file = fixture.path(u"p/.env"_s);
    model->updateValue(idOf(*model, u"A"_s), u"2"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QVERIFY(model->isSelfAuthoredWritePath(file));
    QVERIFY(!model->shouldReloadSelectedFile(fixture.path(u"p"_s), file));
    QTRY_VERIFY_WITH_TIMEOUT(!model->isSelfAuthoredWritePath(file), 3000);
    QVERIFY(!model->shouldReloadSelectedFile(fixture.path(u"p"_s), file)); // same text as the editor
    fixture.write(u"p/.env"_s, "A=3\n");
    QVERIFY(model->shouldReloadSelectedFile(fixture.path(u"p"_s), file));
    QVERIFY(!model->shouldReloadSelectedFile(fixture.path(u"other"_s), file));
    QVERIFY(!model->shouldReloadSelectedFile(fixture.path(u"p"_s), std::nullopt));
}

KELVANE_TEST_MAIN(TestAppModelAutosave)
#include "tst_appmodel_autosave.moc"
