#include "SkillsInstallerService.h"

#include "MarkerBlock.h"
#include "ToolDescriptor.h"

using namespace Qt::StringLiterals;

QString InstallStatus::name() const
{
    static const QString names[] = {u"installed"_s, u"markerUpdated"_s, u"skipped"_s, u"failed"_s};
    return names[int(m_kind)];
}

namespace {

InstallStatus writeTarget(const ToolDescriptor &tool, const QString &location, const QString &content)
{
    if (tool.target.usesMarker()) {
        const Result<MarkerBlock::Action> action = InstallWriter::upsertMarker(location, content, MarkerBlock::markerID);
        if (!action)
            return InstallStatus::failed(location, action.error().description);
        return action.value() == MarkerBlock::Action::created ? InstallStatus::installed(location)
                                                              : InstallStatus::markerUpdated(location);
    }
    if (const std::optional<IoError> error = InstallWriter::writeDedicated(location, content))
        return InstallStatus::failed(location, error->description);
    return InstallStatus::installed(location);
}

} // namespace

InstallSession SkillsInstallerService::runInstall(const SkillEntry &entry, const InstallContext &context)
{
    InstallSession session;
    session.startedAt = QDateTime::currentDateTimeUtc();
    const ResolvedSkill skill = entry.source.resolveSkill();
    session.origin = skill.origin;
    for (const ToolDescriptor &tool : ToolDescriptor::all()) {
        const QString content = tool.transformer->transform(skill.body);
        auto report = [&](std::optional<QString> project, InstallStatus status) {
            session.reports.append({QUuid::createUuid(), tool.id, tool.displayName, std::move(project), std::move(status)});
        };
        if (!tool.target.isProjectScoped()) {
            report(std::nullopt, writeTarget(tool, *tool.target.resolve(context.homeDirectory, std::nullopt), content));
        } else if (context.projectURLs.isEmpty()) {
            report(std::nullopt, InstallStatus::skipped(u"사이드바에 프로젝트가 없습니다."_s));
        } else {
            for (const QString &project : context.projectURLs)
                report(project, writeTarget(tool, *tool.target.resolve(context.homeDirectory, project), content));
        }
    }
    session.id = QUuid::createUuid();
    session.skillID = entry.id;
    session.completedAt = QDateTime::currentDateTimeUtc();
    return session;
}

QVariantMap SkillsInstallerService::completionEventProperties(const InstallSession &session)
{
    qint64 counts[4] = {};
    QStringList succeeded;
    QStringList failed;
    for (const InstallReport &report : session.reports) {
        ++counts[int(report.status.kind())];
        switch (report.status.kind()) {
        case InstallStatus::Kind::installed:
        case InstallStatus::Kind::markerUpdated:
            succeeded << report.toolID;
            break;
        case InstallStatus::Kind::failed:
            failed << report.toolID;
            break;
        case InstallStatus::Kind::skipped:
            break;
        }
    }
    return {
            {u"skill_id"_s, session.skillID},
            {u"total_targets"_s, qint64(session.reports.size())},
            {u"installed_count"_s, counts[int(InstallStatus::Kind::installed)]},
            {u"marker_updated_count"_s, counts[int(InstallStatus::Kind::markerUpdated)]},
            {u"skipped_count"_s, counts[int(InstallStatus::Kind::skipped)]},
            {u"failed_count"_s, counts[int(InstallStatus::Kind::failed)]},
            {u"had_failures"_s, counts[int(InstallStatus::Kind::failed)] > 0},
            {u"tools_succeeded"_s, succeeded},
            {u"tools_failed"_s, failed},
            {u"duration_ms"_s, session.startedAt.msecsTo(session.completedAt)},
    };
}
