#include "WorkspaceFixture.h"
#include "discovery/ScanCache.h"

#include <QFile>

using namespace Qt::StringLiterals;

class TestAppModelProjects : public QObject
{
    Q_OBJECT

private slots:
    void restoresInNameOrderSelectingTheLastRestored();
    void addingTwiceKeepsOneProject();
    void importingPaths();
    void launchArgumentsOnce();
    void removingProjects();
    void selection();
    void groupingPreference();
};

void TestAppModelProjects::restoresInNameOrderSelectingTheLastRestored()
{
    WorkspaceFixture fixture;
    fixture.write(u"a/zeta/.env"_s, "Z=1\n");
    fixture.write(u"a/alpha/.env"_s, "A=1\n");
    fixture.write(u"a/alpha/.env.local"_s, "B=1\n");
    const QString missing = fixture.path(u"gone"_s);
    auto model = fixture.makeModel({fixture.path(u"a/zeta"_s), fixture.path(u"a/alpha"_s), missing});
    QCOMPARE(model->projects().size(), 3);
    QCOMPARE(model->projects()[0].directoryURL, fixture.path(u"a/alpha"_s));
    QCOMPARE(model->projects()[1].directoryURL, missing); // "gone" sorts between alpha and zeta
    QCOMPARE(model->projects()[2].directoryURL, fixture.path(u"a/zeta"_s));
    // The last restored project ends up selected; a missing folder is a project without files.
    QCOMPARE(model->selectedProjectID(), std::optional(missing));
    QCOMPARE(model->selectedFileID(), std::nullopt);
    QCOMPARE(model->statusMessage(), u"This folder has no .env file to edit."_s);

    auto alphaLast = fixture.makeModel({fixture.path(u"a/zeta"_s), fixture.path(u"a/alpha"_s)});
    QCOMPARE(alphaLast->selectedProjectID(), std::optional(fixture.path(u"a/alpha"_s)));
    QCOMPARE(alphaLast->selectedFileID(), std::optional(fixture.path(u"a/alpha/.env"_s)));
    QCOMPARE(alphaLast->statusMessage(), u"Autosave is enabled."_s);
    QCOMPARE(alphaLast->rawText(), u"A=1\n"_s);
    QCOMPARE(alphaLast->entries().size(), 2); // A and the blank row
    const QVariantList published = alphaLast->property("projects").toList();
    QCOMPARE(published.size(), 2);
    QCOMPARE(published[0].toMap().value(u"name"_s), QVariant(u"alpha"_s));
    QCOMPARE(published[0].toMap().value(u"fileCount"_s), QVariant(qint64(2)));
}

void TestAppModelProjects::addingTwiceKeepsOneProject()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel();
    QCOMPARE(model->statusMessage(), u"Add a project folder."_s);
    QSignalSpy projectsChanged(model.get(), &AppModel::projectsChanged);
    model->chooseProjectFolder(fixture.path(u"p/"_s));
    QCOMPARE(model->projects().size(), 1);
    QCOMPARE(model->projects()[0].id(), fixture.path(u"p"_s));
    QCOMPARE(fixture.events.named(u"project_added"_s),
             (QList<QVariantMap>{{{u"source"_s, u"menu"_s}, {u"env_files_found"_s, qint64(1)}}}));
    QCOMPARE(fixture.settings.value(u"kelvane.projectPaths"_s).toStringList(), QStringList{fixture.path(u"p"_s)});

    const QString record = ScanCache::snapshotFileURL(fixture.path(u"p"_s), fixture.scanCacheDirectory());
    QVERIFY(QFile::exists(record));
    model->addProject(fixture.path(u"p"_s));
    QCOMPARE(model->projects().size(), 1);
    QCOMPARE(projectsChanged.size(), 1); // unchanged tree: not replaced

    fixture.write(u"p/sub/.env.test"_s, "B=1\n");
    model->addProject(fixture.path(u"p"_s));
    QCOMPARE(model->projects().size(), 1);
    QCOMPARE(model->projects()[0].allFiles().size(), 2);
    QCOMPARE(projectsChanged.size(), 2);
    model->removeProject(fixture.path(u"p"_s));
    QVERIFY(!QFile::exists(record));
}

void TestAppModelProjects::importingPaths()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/sub/.env.local"_s, "A=1\n");
    auto model = fixture.makeModel();
    model->importPath(fixture.path(u"p/sub/.env.local"_s), u"drag_drop"_s);
    QCOMPARE(model->projects().size(), 1);
    QCOMPARE(model->projects()[0].id(), fixture.path(u"p/sub"_s)); // the file's folder, not /p
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/sub/.env.local"_s)));
    QCOMPARE(fixture.events.named(u"project_added"_s).last().value(u"source"_s), QVariant(u"drag_drop"_s));

    model->importPath(fixture.path(u"nothing"_s), u"menu"_s);
    QCOMPARE(model->errorMessage(), std::optional(u"File or folder not found: "_s + fixture.path(u"nothing"_s)));
    QCOMPARE(fixture.events.errorCodes(), QStringList{u"import_path_missing"_s});
}

void TestAppModelProjects::launchArgumentsOnce()
{
    WorkspaceFixture fixture;
    fixture.write(u"one/.env"_s, "A=1\n");
    fixture.write(u"two/.env"_s, "A=1\n");
    auto model = fixture.makeModel();
    model->processLaunchArguments({fixture.path(u"one"_s), fixture.path(u"missing"_s)});
    model->processLaunchArguments({fixture.path(u"two"_s)});
    QCOMPARE(model->projects().size(), 1);
    QCOMPARE(model->errorMessage(), std::nullopt); // missing arguments are ignored silently
    QCOMPARE(fixture.events.named(u"project_added"_s).first().value(u"source"_s), QVariant(u"launch_args"_s));
}

void TestAppModelProjects::removingProjects()
{
    WorkspaceFixture fixture;
    fixture.write(u"a/.env"_s, "A=1\n");
    fixture.write(u"b/.env"_s, "B=1\n");
    fixture.write(u"c/readme"_s, "no env here");
    auto model = fixture.makeModel({fixture.path(u"a"_s), fixture.path(u"b"_s), fixture.path(u"c"_s)});
    QCOMPARE(model->selectedProjectID(), std::optional(fixture.path(u"c"_s)));

    model->selectProject(fixture.path(u"b"_s));
    model->removeProject(fixture.path(u"b"_s));
    QCOMPARE(fixture.events.named(u"project_removed"_s), (QList<QVariantMap>{{{u"had_files_count"_s, qint64(1)}}}));
    QCOMPARE(model->selectedProjectID(), std::optional(fixture.path(u"a"_s)));
    QCOMPARE(model->selectedFileID(), std::nullopt);
    QVERIFY(model->entries().isEmpty());
    QCOMPARE(model->statusMessage(), u"Please select a file."_s);
    QCOMPARE(fixture.settings.value(u"kelvane.projectPaths"_s).toStringList(),
             (QStringList{fixture.path(u"a"_s), fixture.path(u"c"_s)}));

    model->removeProject(fixture.path(u"a"_s));
    QCOMPARE(model->statusMessage(), u"This folder has no .env file to edit."_s);
    model->removeProject(fixture.path(u"c"_s));
    QCOMPARE(model->statusMessage(), u"Add a project folder."_s);
    QCOMPARE(model->selectedProjectID(), std::nullopt);
    model->removeProject(u"/not/a/project"_s);
    QCOMPARE(fixture.events.named(u"project_removed"_s).last().value(u"had_files_count"_s), QVariant(qint64(0)));
}

void TestAppModelProjects::selection()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    fixture.write(u"p/apps/web/.env"_s, "W=1\n");
    fixture.write(u"p/apps/web/.env.local"_s, "L=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    const QString project = fixture.path(u"p"_s);

    model->selectProject(u"/nope"_s);
    QCOMPARE(model->statusMessage(), u"Please select a project."_s);
    QCOMPARE(model->selectedFileID(), std::nullopt);
    QVERIFY(model->visibleFiles().isEmpty());

    model->selectProject(project);
    QCOMPARE(fixture.events.named(u"project_selected"_s).last(), (QVariantMap{{u"env_files_count"_s, qint64(3)}}));
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env"_s)));
    QCOMPARE(model->visibleFiles().size(), 3);
    QCOMPARE(model->fileTabLabel(model->visibleFiles()[2]), u"/apps/web/.env.local"_s);

    const qsizetype eventsBefore = fixture.events.events.size();
    model->selectLocation(project, u"apps/web"_s);
    QCOMPARE(fixture.events.events.size(), eventsBefore); // no event
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/apps/web/.env"_s)));
    QCOMPARE(model->fileTabLabel(model->visibleFiles()[1]), u".env.local"_s);
    model->selectFile(fixture.path(u"p/apps/web/.env.local"_s));
    QCOMPARE(model->rawText(), u"L=1\n"_s);

    model->selectLocation(project, u"apps"_s); // only sub-folders hold files
    QVERIFY(model->visibleFiles().isEmpty());
    QCOMPARE(model->selectedFileID(), std::nullopt);
    QCOMPARE(model->statusMessage(), u"Please select a file."_s);

    // A selected folder that vanished falls back to the whole project on the next refresh.
    model->selectLocation(project, u"apps/web"_s);
    QVERIFY(QDir(fixture.path(u"p/apps"_s)).removeRecursively());
    model->refreshSelectedProject();
    QCOMPARE(model->selectedDirectoryRelativePath(), std::nullopt);
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env"_s)));
}

void TestAppModelProjects::groupingPreference()
{
    WorkspaceFixture fixture;
    auto model = fixture.makeModel();
    QVERIFY(!model->groupingDisabled());
    QSignalSpy changed(model.get(), &AppModel::groupingDisabledChanged);
    model->setGroupingDisabled(true);
    model->setGroupingDisabled(true);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(fixture.settings.value(u"kelvane.groupingDisabled"_s).toBool(), true);
    QVERIFY(fixture.makeModel()->groupingDisabled());
}

KELVANE_TEST_MAIN(TestAppModelProjects)
#include "tst_appmodel_projects.moc"
