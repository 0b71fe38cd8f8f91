#include "common/TestEnvironment.h"
#include "skills/MarkerBlock.h"
#include "skills/SkillsInstallController.h"
#include "skills/ToolDescriptor.h"
#include "util/FileIO.h"
#include "util/Sha256.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

const QString body = u"---\nname: quorvalent\n---\n\n# Rule\nNever edit .env files.\n"_s;

class ShippedBody : public BundledSkillProvider
{
public:
    Result<BundledSkill, SkillFetchError> loadBundled() const override { return BundledSkill{body, sha256Hex(body)}; }
};

class Offline : public SkillRemoteFetching
{
public:
    Result<QString, SkillFetchError> fetch(const QUrl &, double) const override
    {
        return SkillFetchError{SkillFetchError::Kind::transport, 0, u"offline"_s};
    }
};

SkillEntry testEntry()
{
    return {u"quorvalent"_s, u"Quorvalent"_s, {QUrl(), std::make_shared<ShippedBody>(), std::make_shared<Offline>(), 5.0}};
}

class RecordingEvents : public UsageEvents
{
public:
    void capture(const QString &name, const QVariantMap &properties) override { events.append({name, properties}); }
    QList<std::pair<QString, QVariantMap>> events;
};

QStringList describe(const InstallSession &session, const QString &root)
{
    QStringList lines;
    for (const InstallReport &report : session.reports) {
        QString project = report.projectURL ? QDir(root).relativeFilePath(*report.projectURL) : u"-"_s;
        lines << report.toolID + u' ' + project + u' ' + report.status.name();
    }
    return lines;
}

} // namespace

class TestSkillsInstaller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void withoutProjects();
    void withTwoProjectsAndASecondRun();
    void aBrokenProjectFailsOnlyItsOwnReports();
    void controller();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString home() const { return m_dir->path() + u"/home"_s; }
    QString project(const QString &name) const { return m_dir->path() + u'/' + name; }
};

void TestSkillsInstaller::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(home()));
}

void TestSkillsInstaller::withoutProjects()
{
    const InstallSession session = SkillsInstallerService::runInstall(testEntry(), {home(), {}});
    QCOMPARE(session.reports.size(), 14);
    QCOMPARE(session.skillID, u"quorvalent"_s);
    QCOMPARE(session.origin, SkillOrigin::bundleFallback(FallbackReason::fetchFailed));
    int written = 0;
    for (const InstallReport &report : session.reports) {
        if (report.status.kind() == InstallStatus::Kind::skipped) {
            QCOMPARE(report.status.reason(), u"사이드바에 프로젝트가 없습니다."_s);
            QCOMPARE(report.projectURL, std::nullopt);
        } else {
            QCOMPARE(report.status.kind(), InstallStatus::Kind::installed);
            QVERIFY(QFile::exists(*report.status.at()));
            ++written;
        }
    }
    QCOMPARE(written, 9);
    QCOMPARE(FileIO::readUtf8(home() + u"/.claude/skills/quorvalent/SKILL.md"_s).value(), body);
    QCOMPARE(FileIO::readUtf8(home() + u"/.codex/AGENTS.md"_s).value(),
             MarkerBlock::block(u"# Rule\nNever edit .env files.\n"_s, MarkerBlock::markerID) + u'\n');
    QVERIFY(FileIO::readUtf8(home() + u"/.codeium/windsurf/memories/global_rules.md"_s).value().contains(WindsurfTransformer::frontMatter.trimmed()));

    const QVariantMap summary = SkillsInstallerService::completionEventProperties(session);
    QCOMPARE(summary.value(u"total_targets"_s), QVariant(qint64(14)));
    QCOMPARE(summary.value(u"installed_count"_s), QVariant(qint64(9)));
    QCOMPARE(summary.value(u"skipped_count"_s), QVariant(qint64(5)));
    QCOMPARE(summary.value(u"failed_count"_s), QVariant(qint64(0)));
    QCOMPARE(summary.value(u"had_failures"_s), QVariant(false));
    QCOMPARE(summary.value(u"tools_failed"_s).toStringList(), QStringList());
    QCOMPARE(summary.size(), 10);
}

void TestSkillsInstaller::withTwoProjectsAndASecondRun()
{
    for (const QString &name : {u"alpha"_s, u"beta"_s})
        QVERIFY(QDir().mkpath(project(name)));
    QVERIFY(!FileIO::writeAtomically(project(u"alpha"_s) + u"/replit.md"_s, "# Replit notes\n"));
    const InstallContext context{home(), {project(u"alpha"_s), project(u"beta"_s)}};
    const InstallSession first = SkillsInstallerService::runInstall(testEntry(), context);
    QCOMPARE(first.reports.size(), 19);
    const QStringList expectedFirst = {
            u"claude-code - installed"_s, u"codex-cli - installed"_s, u"opencode - installed"_s,
            u"cursor alpha installed"_s,  u"cursor beta installed"_s, u"copilot alpha installed"_s,
            u"copilot beta installed"_s,  u"windsurf - installed"_s,  u"gemini - installed"_s,
            u"cline - installed"_s,       u"continue - installed"_s,  u"roo-code - installed"_s,
            u"amp - installed"_s,         u"zed alpha installed"_s,   u"zed beta installed"_s,
            u"junie alpha installed"_s,   u"junie beta installed"_s,  u"replit alpha installed"_s,
            u"replit beta installed"_s,
    };
    QCOMPARE(describe(first, m_dir->path()), expectedFirst);
    QVERIFY(FileIO::readUtf8(project(u"alpha"_s) + u"/replit.md"_s).value().startsWith(u"# Replit notes\n\n<!-- quorvalent:start"_s));

    const InstallSession second = SkillsInstallerService::runInstall(testEntry(), context);
    QVERIFY(second.id != first.id);
    QStringList expectedSecond = expectedFirst;
    for (QString &line : expectedSecond) {
        for (const char *shared : {"codex-cli", "opencode", "windsurf", "gemini", "amp", "zed", "junie", "replit"}) {
            if (line.startsWith(QLatin1StringView(shared) + u' '))
                line.replace(u"installed"_s, u"markerUpdated"_s);
        }
    }
    QCOMPARE(describe(second, m_dir->path()), expectedSecond);
    QVERIFY(FileIO::readUtf8(project(u"alpha"_s) + u"/replit.md"_s).value().startsWith(u"# Replit notes\n\n<!-- quorvalent:start"_s));
    QCOMPARE(SkillsInstallerService::completionEventProperties(second).value(u"marker_updated_count"_s), QVariant(qint64(11)));
}

void TestSkillsInstaller::aBrokenProjectFailsOnlyItsOwnReports()
{
    QVERIFY(QDir().mkpath(project(u"good"_s)));
    QVERIFY(QDir().mkpath(project(u"broken"_s)));
    QVERIFY(!FileIO::writeAtomically(project(u"broken"_s) + u"/.cursor"_s, "a file, not a folder"));
    const InstallSession session = SkillsInstallerService::runInstall(testEntry(), {home(), {project(u"broken"_s), project(u"good"_s)}});
    QStringList failed;
    for (const InstallReport &report : session.reports) {
        if (report.status.kind() == InstallStatus::Kind::failed) {
            failed << report.toolID;
            QCOMPARE(report.projectURL, std::optional(project(u"broken"_s)));
            QCOMPARE(report.status.at(), std::optional(project(u"broken"_s) + u"/.cursor/rules/quorvalent.mdc"_s));
            QCOMPARE(report.status.reason(), u"Not a directory"_s);
        }
    }
    QCOMPARE(failed, QStringList{u"cursor"_s});
    QCOMPARE(FileIO::readAll(project(u"broken"_s) + u"/.cursor"_s).value(), QByteArray("a file, not a folder"));
    const QVariantMap summary = SkillsInstallerService::completionEventProperties(session);
    QCOMPARE(summary.value(u"had_failures"_s), QVariant(true));
    QCOMPARE(summary.value(u"tools_failed"_s).toStringList(), QStringList{u"cursor"_s});
    QCOMPARE(summary.value(u"tools_succeeded"_s).toStringList().count(u"cursor"_s), 1);
}

void TestSkillsInstaller::controller()
{
    RecordingEvents events;
    SkillsInstallController controller(&events, home(), nullptr, QList<SkillEntry>{testEntry()});
    QSignalSpy sessions(&controller, &SkillsInstallController::sessionChanged);
    controller.install({});
    QVERIFY(controller.inProgress());
    controller.install({project(u"ignored"_s)}); // a second click while running does nothing
    QCOMPARE(events.events.size(), 1);
    QCOMPARE(events.events[0].first, u"skill_install_clicked"_s);
    QCOMPARE(events.events[0].second, (QVariantMap{{u"project_count"_s, qint64(0)}, {u"has_projects"_s, false}}));
    QTRY_VERIFY_WITH_TIMEOUT(!controller.inProgress(), 10000);
    QVERIFY(controller.hasSession());
    QCOMPARE(controller.session()->reports.size(), 14);
    QCOMPARE(events.events.last().first, u"skill_install_completed"_s);
    QCOMPARE(events.events.last().second.value(u"skipped_count"_s), QVariant(qint64(5)));
    const QUuid firstID = controller.session()->id;

    // Reinstall: the session goes, a new run publishes a new one.
    controller.dismissSession();
    QVERIFY(!controller.hasSession());
    controller.install({});
    QTRY_VERIFY_WITH_TIMEOUT(controller.hasSession(), 10000);
    QVERIFY(controller.session()->id != firstID);
    QCOMPARE(events.events.size(), 4);
}

KELVANE_TEST_MAIN(TestSkillsInstaller)
#include "tst_skillsinstaller.moc"
