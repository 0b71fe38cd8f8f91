#include "WorkspaceFixture.h"
#include "dotenvx/DotenvxCLI.h"

#include <QProcess>
#include <QSemaphore>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestAppModelEncryption : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void revealAndHideLeaveTheFile();
    void editedRevealedValueIsReencrypted();
    void plaintextNeverReachesTheFolder();
    void rawEditDuringReencryption();
    void hiddenEditIsStillSaved();
    void pendingValueRevealsWithoutTheTool();
    void decryptFailure();
    void commentedOutAndNoFile();
    void realDotenvxRoundTripsWithoutConflict();

private:
    std::unique_ptr<WorkspaceFixture> m_fixture;
    std::unique_ptr<AppModel> m_model;
    const QByteArray m_original = "DOTENV_PUBLIC_KEY=\"02ab\"\nSECRET=encrypted:terces\n# OLD=encrypted:dlo\nPLAIN=1\n";

    bool reveal(const QString &key)
    {
        QSignalSpy done(m_model.get(), &AppModel::revealFinished);
        m_model->toggleEncryptionReveal(idOf(*m_model, key));
        return !done.isEmpty() || done.wait(5000);
    }
};

void TestAppModelEncryption::init()
{
    m_fixture = std::make_unique<WorkspaceFixture>();
    m_fixture->write(u"p/.env"_s, m_original);
    m_model = m_fixture->makeModel({m_fixture->path(u"p"_s)});
}

void TestAppModelEncryption::revealAndHideLeaveTheFile()
{
    EntryListModel *rows = m_model->entryModel();
    const int row = int(rows->indexOf(idOf(*m_model, u"SECRET"_s)));
    QVERIFY(rows->data(rows->index(row), EntryListModel::IsMaskedRole).toBool());
    QVERIFY(reveal(u"SECRET"_s));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).value, u"secret"_s);
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::revealed(u"encrypted:terces"_s, u"secret"_s));
    QVERIFY(!rows->data(rows->index(row), EntryListModel::IsMaskedRole).toBool());
    QVERIFY(!m_model->isSaving());
    QCOMPARE(m_model->rawText(), QString::fromUtf8(m_original)); // the plaintext is never rendered

    m_model->concealRevealed(idOf(*m_model, u"SECRET"_s));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::encrypted(u"encrypted:terces"_s));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).value, u"encrypted:terces"_s);
    QVERIFY(!m_model->isSaving());
    QCOMPARE(m_fixture->read(u"p/.env"_s), m_original);
    QCOMPARE(m_fixture->dotenvx->encryptCalls, 0);
}

void TestAppModelEncryption::editedRevealedValueIsReencrypted()
{
    QVERIFY(reveal(u"SECRET"_s));
    m_model->updateValue(idOf(*m_model, u"SECRET"_s), u"new value"_s);
    QVERIFY(m_model->entryModel()->data(m_model->entryModel()->index(1), EntryListModel::IsModifiedRole).toBool());
    QVERIFY(!m_model->rawText().contains(u"new value"));
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    const QString ciphertext = FakeDotenvx::ciphertextOf(u"new value"_s);
    QCOMPARE(m_fixture->read(u"p/.env"_s),
             "DOTENV_PUBLIC_KEY=\"02ab\"\nSECRET=" + ciphertext.toUtf8() + "\n# OLD=encrypted:dlo\nPLAIN=1\n");
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::revealed(ciphertext, u"new value"_s));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).value, u"new value"_s);
    QVERIFY(m_model->rawText().contains(u"SECRET="_s + ciphertext));
    QVERIFY(m_model->statusMessage().startsWith(u"Autosaved"_s));
}

void TestAppModelEncryption::plaintextNeverReachesTheFolder()
{
    QCOMPARE(::chmod(QFile::encodeName(m_fixture->path(u"p/.env"_s)).constData(), 0600), 0);
    QStringList seen;
    m_fixture->dotenvx->onEncrypt = [&](const QString &path) {
        // While dotenvx runs, the file and its backup exist side by side.
        const QDir folder = QFileInfo(path).dir();
        for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
            const QString file = folder.filePath(name);
            QFile content(file);
            content.open(QIODevice::ReadOnly);
            seen << name + u' ' + QString::number(QFileInfo(file).permissions() & 0x0FFF, 16)
                            + (content.readAll().contains("hunter2") ? u" PLAINTEXT"_s : QString());
        }
    };
    QVERIFY(reveal(u"SECRET"_s));
    m_model->updateValue(idOf(*m_model, u"SECRET"_s), u"hunter2"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    QCOMPARE(seen.size(), 2);
    for (const QString &line : seen) {
        QVERIFY2(!line.contains(u"PLAINTEXT"), qPrintable(line));
        QVERIFY2(line.endsWith(u" 600"_s), qPrintable(line)); // the backup is no more readable than the file
    }
    QVERIFY(seen.join(u' ').contains(u".__kelvane_autosave_backup__-"_s));
}

void TestAppModelEncryption::rawEditDuringReencryption()
{
    // While dotenvx re-encrypts, the raw text is edited: the save does not adopt its old layout
    // for the new rows; the file keeps the new ciphertext and the editor shows the file.
    QSemaphore inside;
    QSemaphore proceed;
    m_fixture->dotenvx->onEncrypt = [&](const QString &) {
        inside.release();
        proceed.acquire();
    };
    QVERIFY(reveal(u"SECRET"_s));
    m_model->updateValue(idOf(*m_model, u"SECRET"_s), u"next"_s);
    QTRY_VERIFY_WITH_TIMEOUT(inside.available() == 1, 5000);
    m_model->updateRawText(QString::fromUtf8(m_original) + u"EXTRA=1\n"_s);
    proceed.release();
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    const QByteArray onDisk = m_fixture->read(u"p/.env"_s);
    QVERIFY(onDisk.contains("SECRET=" + FakeDotenvx::ciphertextOf(u"next"_s).toUtf8()));
    QCOMPARE(m_model->rawText(), QString::fromUtf8(onDisk));
    QCOMPARE(QDir(m_fixture->path(u"p"_s)).entryList(QDir::Files | QDir::Hidden), QStringList{u".env"_s});
}

void TestAppModelEncryption::hiddenEditIsStillSaved()
{
    QVERIFY(reveal(u"SECRET"_s));
    m_model->updateValue(idOf(*m_model, u"SECRET"_s), u"typed"_s);
    m_model->concealRevealed(idOf(*m_model, u"SECRET"_s));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::encryptedPending(u"encrypted:terces"_s, u"typed"_s));
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    const QString ciphertext = FakeDotenvx::ciphertextOf(u"typed"_s);
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::encrypted(ciphertext));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).value, ciphertext);
    QVERIFY(m_fixture->read(u"p/.env"_s).contains("SECRET=" + ciphertext.toUtf8()));
}

void TestAppModelEncryption::pendingValueRevealsWithoutTheTool()
{
    QVERIFY(reveal(u"SECRET"_s));
    m_model->updateValue(idOf(*m_model, u"SECRET"_s), u"typed"_s);
    m_model->concealRevealed(idOf(*m_model, u"SECRET"_s));
    const int calls = m_fixture->dotenvx->decryptCalls;
    m_model->toggleEncryptionReveal(idOf(*m_model, u"SECRET"_s));
    QCOMPARE(m_fixture->dotenvx->decryptCalls, calls);
    // The pending text now counts as committed: hiding returns to the stored ciphertext.
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::revealed(u"encrypted:terces"_s, u"typed"_s));
    m_model->concealRevealed(idOf(*m_model, u"SECRET"_s));
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::encrypted(u"encrypted:terces"_s));
}

void TestAppModelEncryption::decryptFailure()
{
    m_fixture->dotenvx->failDecrypt = true;
    QVERIFY(reveal(u"SECRET"_s));
    QCOMPARE(m_model->errorMessage(), std::optional(u"Decryption failed: no private key"_s));
    QCOMPARE(m_fixture->events.errorCodes(), QStringList{u"decrypt_failed"_s});
    QCOMPARE(entryOf(*m_model, u"SECRET"_s).encryption, EncryptionState::encrypted(u"encrypted:terces"_s));
}

void TestAppModelEncryption::commentedOutAndNoFile()
{
    QVERIFY(reveal(u"OLD"_s));
    QCOMPARE(entryOf(*m_model, u"OLD"_s).value, u"old"_s);

    // A result for an entry that was deleted meanwhile is dropped.
    QSignalSpy done(m_model.get(), &AppModel::revealFinished);
    const QUuid secret = idOf(*m_model, u"SECRET"_s);
    m_model->toggleEncryptionReveal(secret);
    m_model->deleteEntry(secret);
    QVERIFY(done.wait(5000));
    QCOMPARE(idOf(*m_model, u"SECRET"_s), QUuid());

    WorkspaceFixture empty;
    auto model = empty.makeModel();
    model->updateRawText(u"A=encrypted:x"_s);
    model->toggleEncryptionReveal(QUuid::createUuid());
    QCOMPARE(empty.dotenvx->decryptCalls, 0);
}

void TestAppModelEncryption::realDotenvxRoundTripsWithoutConflict()
{
    // Reveal, edit, save, edit, save with the real tool: its rewrite of the file during a save is
    // Kelvane's own write, not another program's.
    const QString tool = QStringLiteral(KELVANE_DOTENVX_2);
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "SECRET=initial\nOTHER=x\n");
    QProcess encrypt;
    encrypt.setWorkingDirectory(fixture.path(u"p"_s));
    encrypt.setStandardInputFile(QProcess::nullDevice());
    encrypt.start(tool, {u"encrypt"_s, u"-f"_s, fixture.path(u"p/.env"_s), u"-k"_s, u"SECRET"_s});
    QVERIFY(encrypt.waitForFinished(60000));
    QCOMPARE(encrypt.exitCode(), 0);
    fixture.dotenvx.reset();
    auto model = std::make_unique<AppModel>(AppModel::Dependencies{
            &fixture.settings, std::make_shared<DotenvxCLI>(QStringList{tool}, DotenvxCLI::Lookup{u"/bin/false"_s, {}}),
            &fixture.events, fixture.scanCacheDirectory()});
    model->addProject(fixture.path(u"p"_s));

    QSignalSpy done(model.get(), &AppModel::revealFinished);
    model->toggleEncryptionReveal(idOf(*model, u"SECRET"_s));
    QVERIFY(done.wait(60000));
    QCOMPARE(entryOf(*model, u"SECRET"_s).value, u"initial"_s);
    for (const QString &value : {u"first edit"_s, u"second edit"_s}) {
        model->updateValue(idOf(*model, u"SECRET"_s), value);
        QVERIFY(WorkspaceFixture::waitForSave(*model, 60000));
        QCOMPARE(model->errorMessage(), std::nullopt);
        QCOMPARE(entryOf(*model, u"SECRET"_s).encryption.kind(), EncryptionState::Kind::revealed);
        QVERIFY(!fixture.read(u"p/.env"_s).contains(value.toUtf8()));
    }
    QVERIFY(fixture.events.errorCodes().isEmpty());
    const QString stored = *entryOf(*model, u"SECRET"_s).encryption.storedCiphertext();
    QVERIFY(fixture.read(u"p/.env"_s).contains("SECRET=" + stored.toUtf8()));
    model->concealRevealed(idOf(*model, u"SECRET"_s));
    model->toggleEncryptionReveal(idOf(*model, u"SECRET"_s));
    QVERIFY(done.wait(60000));
    QCOMPARE(entryOf(*model, u"SECRET"_s).value, u"second edit"_s);
    QCOMPARE(QDir(fixture.path(u"p"_s)).entryList(QDir::Files | QDir::Hidden), (QStringList{u".env"_s, u".env.keys"_s}));
}

KELVANE_TEST_MAIN(TestAppModelEncryption)
#include "tst_appmodel_encryption.moc"
