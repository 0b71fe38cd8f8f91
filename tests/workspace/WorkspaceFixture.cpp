#include "WorkspaceFixture.h"

#include "document/EnvParser.h"
#include "document/EnvRenderer.h"

#include <QTest>

using namespace Qt::StringLiterals;

QString FakeDotenvx::ciphertextOf(const QString &plaintext)
{
    QString reversed = plaintext;
    std::reverse(reversed.begin(), reversed.end());
    return u"encrypted:"_s + reversed;
}

DotenvxResult<QString> FakeDotenvx::decrypt(const QString &key, const QString &path,
                                             const std::optional<QString> &storedCiphertext) const
{
    QMutexLocker lock(&mutex);
    ++decryptCalls;
    if (failDecrypt)
        return DotenvxError::decryptFailed(u"no private key"_s);
    const Result<EnvDocument> document = EnvParser::load(path);
    if (!document)
        return document.error();
    for (const EditableEnvEntry &entry : document.value().entries) {
        const QString stored = storedCiphertext.value_or(entry.value);
        if (entry.key == key && stored.startsWith(u"encrypted:")) {
            QString plaintext = stored.sliced(10);
            std::reverse(plaintext.begin(), plaintext.end());
            return plaintext;
        }
    }
    return DotenvxError::decryptFailed(u"missing "_s + key);
}

DotenvxResult<QString> FakeDotenvx::encrypt(const QString &key, const QString &value, const QString &path) const
{
    QMutexLocker lock(&mutex);
    ++encryptCalls;
    if (onEncrypt)
        onEncrypt(path);
    if (failEncryptFromCall > 0 && encryptCalls >= failEncryptFromCall)
        return DotenvxError::encryptFailed(u"locked"_s);
    Result<EnvDocument> loaded = EnvParser::load(path);
    if (!loaded)
        return loaded.error();
    EnvDocument document = std::move(loaded).value();
    const QString ciphertext = ciphertextOf(value);
    for (EditableEnvEntry &entry : document.entries) {
        if (entry.key == key && !entry.isCommentedOut) {
            entry.value = ciphertext;
            entry.encryption = EncryptionState::encrypted(ciphertext);
        }
    }
    if (const std::optional<IoError> error = EnvRenderer::write(document, path))
        return *error;
    return ciphertext;
}

WorkspaceFixture::WorkspaceFixture()
    : settings(TestEnvironment::root() + u"/settings-"_s + QString::number(quintptr(this)) + u".ini"_s,
               QSettings::IniFormat)
{
    settings.clear();
}

void WorkspaceFixture::write(const QString &relative, const QByteArray &bytes) const
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).path());
    if (FileIO::writeAtomically(target, bytes))
        qFatal("cannot write %s", qPrintable(target));
}

QByteArray WorkspaceFixture::read(const QString &relative) const
{
    const Result<QByteArray> bytes = FileIO::readAll(path(relative));
    return bytes ? bytes.value() : QByteArray("<unreadable>");
}

std::unique_ptr<AppModel> WorkspaceFixture::makeModel(const QStringList &projects)
{
    if (!projects.isEmpty())
        settings.setValue(QLatin1StringView(AppModel::persistedProjectPathsKey), projects);
    return std::make_unique<AppModel>(AppModel::Dependencies{&settings, dotenvx, &events, m_data.path()});
}

bool WorkspaceFixture::waitForSave(AppModel &model, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (model.isSaving()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}
