#include "SkillsInstallController.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

using namespace Qt::StringLiterals;

SkillsInstallController::SkillsInstallController(UsageEvents *events, QString homeDirectory, QObject *parent,
                                                 std::optional<QList<SkillEntry>> catalogue)
    : QObject(parent), m_events(events), m_homeDirectory(std::move(homeDirectory)), m_catalogue(std::move(catalogue))
{
}

void SkillsInstallController::setInProgress(bool running)
{
    if (running != m_inProgress) {
        m_inProgress = running;
        emit inProgressChanged();
    }
}

void SkillsInstallController::install(const QStringList &projectFolders)
{
    if (m_inProgress)
        return;
    m_events->capture(u"skill_install_clicked"_s,
                      {{u"project_count"_s, qint64(projectFolders.size())}, {u"has_projects"_s, !projectFolders.isEmpty()}});
    setInProgress(true);
    const InstallContext context{m_homeDirectory, projectFolders};
    const QList<SkillEntry> entries = m_catalogue ? *m_catalogue : SkillCatalog::skillEntries(SkillCatalog::skillsResourceBundle());
    if (entries.isEmpty()) {
        setInProgress(false);
        return;
    }
    const SkillEntry entry = entries.first();
    QPointer<SkillsInstallController> self(this);
    UsageEvents *events = m_events;
    // The run gets copies of everything it needs; its result comes back to the GUI thread, where
    // the session is published if the controller still exists. The completion event is sent
    // either way.
    QThreadPool::globalInstance()->start([self, events, entry, context] {
        InstallSession session = SkillsInstallerService::runInstall(entry, context);
        QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, events, session = std::move(session)] {
                    if (self) {
                        self->m_session = session;
                        emit self->sessionChanged();
                    }
                    events->capture(u"skill_install_completed"_s, SkillsInstallerService::completionEventProperties(session));
                    if (self)
                        self->setInProgress(false);
                },
                Qt::QueuedConnection);
    });
}

void SkillsInstallController::dismissSession()
{
    if (m_session) {
        m_session.reset();
        emit sessionChanged();
    }
}
