#pragma once

#include "SkillSource.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>
#include <QVariantMap>

#include <optional>

struct InstallContext {
    QString homeDirectory;
    QStringList projectURLs; // the sidebar's project folders, in order
};

// The outcome of one target.
class InstallStatus
{
public:
    enum class Kind { installed, markerUpdated, skipped, failed };

    static InstallStatus installed(QString at) { return {Kind::installed, std::move(at), QString()}; }
    static InstallStatus markerUpdated(QString at) { return {Kind::markerUpdated, std::move(at), QString()}; }
    static InstallStatus skipped(QString reason) { return {Kind::skipped, std::nullopt, std::move(reason)}; }
    static InstallStatus failed(std::optional<QString> at, QString reason) { return {Kind::failed, std::move(at), std::move(reason)}; }

    Kind kind() const { return m_kind; }
    // "installed", "markerUpdated", "skipped" or "failed".
    QString name() const;
    const std::optional<QString> &at() const { return m_at; }
    // For skipped and failed targets.
    const QString &reason() const { return m_reason; }

    bool operator==(const InstallStatus &) const = default;

private:
    InstallStatus(Kind kind, std::optional<QString> at, QString reason)
        : m_kind(kind), m_at(std::move(at)), m_reason(std::move(reason))
    {
    }

    Kind m_kind;
    std::optional<QString> m_at;
    QString m_reason;
};

struct InstallReport {
    QUuid id;
    QString toolID;
    QString displayName;
    std::optional<QString> projectURL;
    InstallStatus status;
};

struct InstallSession {
    QUuid id;
    QString skillID;
    SkillOrigin origin = SkillOrigin::bundleFallback(FallbackReason::bundleMissing);
    QList<InstallReport> reports; // tool order; within a project-scoped tool, project order
    QDateTime startedAt;
    QDateTime completedAt;
};

namespace SkillsInstallerService {

// Writes every tool's rule file (each project's, for project-scoped tools). Never fails as a
// whole: every target gets its own report. Blocking (it downloads and writes files).
InstallSession runInstall(const SkillEntry &entry, const InstallContext &context);

// The properties of the "skill_install_completed" usage event for a finished session.
QVariantMap completionEventProperties(const InstallSession &session);

} // namespace SkillsInstallerService
