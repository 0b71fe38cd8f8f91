#pragma once

#include "common/TestEnvironment.h"
#include "util/FileIO.h"
#include "workspace/AppModel.h"

#include <QDir>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <functional>

// The id of the first row with this key (a null id when there is none).
inline QUuid idOf(const AppModel &model, const QString &key)
{
    for (const EditableEnvEntry &entry : model.entries()) {
        if (entry.key == key)
            return entry.id;
    }
    return {};
}

// The first row with this key; the key must exist.
inline const EditableEnvEntry &entryOf(const AppModel &model, const QString &key)
{
    return *std::find_if(model.entries().cbegin(), model.entries().cend(),
                         [&](const EditableEnvEntry &entry) { return entry.key == key; });
}

// Records the usage events a model captures.
class RecordingEvents : public UsageEvents
{
public:
    struct Event {
        QString name;
        QVariantMap properties;
    };
    void capture(const QString &name, const QVariantMap &properties) override { events.append({name, properties}); }
    QList<QVariantMap> named(const QString &name) const
    {
        QList<QVariantMap> found;
        for (const Event &event : events) {
            if (event.name == name)
                found << event.properties;
        }
        return found;
    }
    QStringList errorCodes() const
    {
        QStringList codes;
        for (const QVariantMap &properties : named(QStringLiteral("error_shown")))
            codes << properties.value(QStringLiteral("code")).toString();
        return codes;
    }
    QList<Event> events;
};

// Stands in for dotenvx: ciphertexts are "encrypted:" + the plaintext reversed, written into the
// file the way the real adapter does; it can be told to fail.
class FakeDotenvx : public DotenvxInterface
{
public:
    bool isAvailable() const override { return true; }
    using DotenvxInterface::decrypt;
    DotenvxResult<QString> decrypt(const QString &key, const QString &path,
                                   const std::optional<QString> &storedCiphertext) const override;
    DotenvxResult<QString> encrypt(const QString &key, const QString &value, const QString &path) const override;

    static QString ciphertextOf(const QString &plaintext);

    mutable QMutex mutex;
    mutable int decryptCalls = 0;
    mutable int encryptCalls = 0;
    int failEncryptFromCall = 0; // 1: the first call fails; 0: never
    bool failDecrypt = false;
    // Called at the start of every encrypt, on the worker thread, with the file's path.
    std::function<void(const QString &path)> onEncrypt;
};

// A temporary project folder, a settings file, and a model over them.
class WorkspaceFixture
{
public:
    WorkspaceFixture();

    QString path(const QString &relative) const { return m_dir.path() + u'/' + relative; }
    QString root() const { return m_dir.path(); }
    QString scanCacheDirectory() const { return m_data.path(); }
    void write(const QString &relative, const QByteArray &bytes) const;
    QByteArray read(const QString &relative) const;

    // A model with these projects persisted (none when empty).
    std::unique_ptr<AppModel> makeModel(const QStringList &projects = {});
    // Waits until the model's pending save has ended.
    static bool waitForSave(AppModel &model, int timeoutMs = 5000);

    QSettings settings;
    RecordingEvents events;
    std::shared_ptr<FakeDotenvx> dotenvx = std::make_shared<FakeDotenvx>();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_data;
};
