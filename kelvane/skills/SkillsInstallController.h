#pragma once

#include "SkillsInstallerService.h"
#include "workspace/UsageEvents.h"

#include <QObject>

#include <optional>

// Runs a guardrail installation in the background for the window and publishes its session.
class SkillsInstallController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool inProgress READ inProgress NOTIFY inProgressChanged)
    Q_PROPERTY(bool hasSession READ hasSession NOTIFY sessionChanged)

public:
    // `events` must outlive every run (the completion event is sent even when the controller has
    // gone meanwhile); `bundle` defaults to the shipped rule files.
    SkillsInstallController(UsageEvents *events, QString homeDirectory, QObject *parent = nullptr,
                            std::optional<QList<SkillEntry>> catalogue = std::nullopt);

    bool inProgress() const { return m_inProgress; }
    bool hasSession() const { return m_session.has_value(); }
    const std::optional<InstallSession> &session() const { return m_session; }

    // Starts a run over these project folders; ignored while one runs.
    void install(const QStringList &projectFolders);
    void dismissSession();

signals:
    void inProgressChanged();
    void sessionChanged();

private:
    void setInProgress(bool running);

    UsageEvents *m_events;
    QString m_homeDirectory;
    std::optional<QList<SkillEntry>> m_catalogue;
    bool m_inProgress = false;
    std::optional<InstallSession> m_session;
};
