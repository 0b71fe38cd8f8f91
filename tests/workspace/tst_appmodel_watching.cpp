#include "WorkspaceFixture.h"

using namespace Qt::StringLiterals;

class TestAppModelWatching : public QObject
{
    Q_OBJECT

private slots:
    void outsideWriteReloads();
    void ownSaveDoesNotReload();
    void outsideDeleteRepairsTheSelection();
    void newFilesAppear();
    void removedProjectStopsWatching();
    void unrelatedRescanKeepsAPendingEdit();
    void rescansAreDebounced();
};

void TestAppModelWatching::outsideWriteReloads()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    fixture.write(u"p/.env"_s, "A=2\nB=3\n");
    QTRY_COMPARE_WITH_TIMEOUT(model->rawText(), u"A=2\nB=3\n"_s, 5000);
    QCOMPARE(model->entries().size(), 3);
    QCOMPARE(model->errorMessage(), std::nullopt);
}

void TestAppModelWatching::ownSaveDoesNotReload()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QSignalSpy reset(model->entryModel(), &QAbstractItemModel::modelReset);
    QSignalSpy projects(model.get(), &AppModel::projectsChanged);
    const QUuid a = idOf(*model, u"A"_s);
    model->updateValue(a, u"2"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QTest::qWait(1000); // the watcher's batch, the rescan and the half second have all passed
    QCOMPARE(reset.size(), 0);
    QCOMPARE(idOf(*model, u"A"_s), a);
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=2\n"));
}

void TestAppModelWatching::outsideDeleteRepairsTheSelection()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/sub/.env"_s, "A=1\n");
    fixture.write(u"p/sub/.env.local"_s, "B=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/sub/.env"_s)));
    QVERIFY(QFile::remove(fixture.path(u"p/sub/.env"_s)));
    QTRY_COMPARE_WITH_TIMEOUT(model->selectedFileID(), std::optional(fixture.path(u"p/sub/.env.local"_s)), 5000);
    QCOMPARE(model->rawText(), u"B=1\n"_s);
    QCOMPARE(model->errorMessage(), std::nullopt);
}

void TestAppModelWatching::newFilesAppear()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QVERIFY(QDir().mkpath(fixture.path(u"p/apps/web"_s)));
    fixture.write(u"p/apps/web/.env"_s, "W=1\n");
    QTRY_COMPARE_WITH_TIMEOUT(model->projects().first().allFiles().size(), 2, 5000);
    // Churn inside .git and node_modules causes no rescan.
    QSignalSpy projects(model.get(), &AppModel::projectsChanged);
    QVERIFY(QDir().mkpath(fixture.path(u"p/node_modules/x"_s)));
    fixture.write(u"p/node_modules/x/.env"_s, "N=1\n");
    QTest::qWait(600);
    QCOMPARE(projects.size(), 0);
}

void TestAppModelWatching::removedProjectStopsWatching()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    fixture.write(u"q/.env"_s, "B=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s), fixture.path(u"q"_s)});
    // A change arrives, and the project goes before its rescan runs.
    fixture.write(u"p/.env.new"_s, "C=1\n");
    QTest::qWait(50);
    model->removeProject(fixture.path(u"p"_s));
    QSignalSpy projects(model.get(), &AppModel::projectsChanged);
    fixture.write(u"p/.env.more"_s, "D=1\n");
    QTest::qWait(600);
    QCOMPARE(projects.size(), 0);
    QCOMPARE(model->projects().size(), 1);
    model->scheduleRescan(fixture.path(u"p"_s)); // a batch already on its way does nothing
    QTest::qWait(300);
    QCOMPARE(model->projects().size(), 1);
}

void TestAppModelWatching::unrelatedRescanKeepsAPendingEdit()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    model->updateValue(idOf(*model, u"A"_s), u"typed"_s);
    model->rescanProject(fixture.path(u"p"_s)); // as after a change of src/app.ts
    QCOMPARE(model->rawText(), u"A=typed\n"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*model));
    QCOMPARE(fixture.read(u"p/.env"_s), QByteArray("A=typed\n"));
}

void TestAppModelWatching::rescansAreDebounced()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    const QString project = fixture.path(u"p"_s);
    QSignalSpy projects(model.get(), &AppModel::projectsChanged);
    fixture.write(u"p/.env.new"_s, "B=1\n");
    QTest::qWait(400); // let the watcher's own rescan of that change pass
    projects.clear();
    fixture.write(u"p/.env.newer"_s, "C=1\n");
    // Relevant batches 0.1 s apart keep pushing the rescan back; one runs 0.12 s after the last.
    for (int i = 0; i < 5; ++i) {
        model->scheduleRescan(project);
        QTest::qWait(100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(projects.size(), 1, 3000);
    QTest::qWait(300);
    QCOMPARE(projects.size(), 1);
    QCOMPARE(model->projects().first().allFiles().size(), 3);
}

KELVANE_TEST_MAIN(TestAppModelWatching)
#include "tst_appmodel_watching.moc"
