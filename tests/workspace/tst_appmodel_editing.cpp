#include "WorkspaceFixture.h"

#include <QAbstractItemModelTester>

using namespace Qt::StringLiterals;

class TestAppModelEditing : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void editsAreOneRowSignal();
    void trailingBlankRow();
    void clearingRows();
    void deleteAndActivate();
    void rawTextEdits();
    void rawTextWithoutFile();

private:
    std::unique_ptr<WorkspaceFixture> m_fixture;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

void TestAppModelEditing::init()
{
    m_fixture = std::make_unique<WorkspaceFixture>();
    m_fixture->write(u"p/.env"_s, "# about A\nA=1\nB=2\n# C=3\n");
    m_model = m_fixture->makeModel({m_fixture->path(u"p"_s)});
    m_tester = std::make_unique<QAbstractItemModelTester>(m_model->entryModel(),
                                                          QAbstractItemModelTester::FailureReportingMode::QtTest);
}

void TestAppModelEditing::editsAreOneRowSignal()
{
    EntryListModel *rows = m_model->entryModel();
    QSignalSpy changed(rows, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(rows, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(rows, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(rows, &QAbstractItemModel::modelReset);

    m_model->updateValue(idOf(*m_model, u"A"_s), u"10"_s);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].toModelIndex().row(), 0);
    QCOMPARE(inserted.size() + removed.size() + reset.size(), 0);
    QCOMPARE(rows->data(rows->index(0), EntryListModel::ValueRole), QVariant(u"10"_s));
    QCOMPARE(m_model->statusMessage(), u"Saving..."_s);
    QCOMPARE(m_model->rawText(), u"# about A\nA=10\nB=2\n# C=3\n"_s);
    QVERIFY(m_model->isSaving());

    // Typing the same key again changes nothing and schedules nothing.
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    m_model->updateKey(idOf(*m_model, u"B"_s), u"B"_s);
    QVERIFY(!m_model->isSaving());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(m_fixture->read(u"p/.env"_s), QByteArray("# about A\nA=10\nB=2\n# C=3\n"));
}

void TestAppModelEditing::trailingBlankRow()
{
    EntryListModel *rows = m_model->entryModel();
    QCOMPARE(m_model->entries().size(), 4); // A, B, C (commented out), blank
    const QModelIndex last = rows->index(3);
    QVERIFY(rows->data(last, EntryListModel::IsTrailingBlankRowRole).toBool());
    QVERIFY(!rows->data(rows->index(2), EntryListModel::IsTrailingBlankRowRole).toBool());

    QSignalSpy changed(rows, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(rows, &QAbstractItemModel::rowsInserted);
    const QUuid blank = m_model->entries().last().id;
    m_model->updateKey(blank, u"NEW"_s);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(inserted.size(), 1); // a new blank row below it
    QCOMPARE(inserted[0][1].toInt(), 4);
    QCOMPARE(m_model->entries().size(), 5);
    QVERIFY(!rows->data(rows->index(3), EntryListModel::IsTrailingBlankRowRole).toBool());
    m_model->updateValue(blank, u"v"_s);
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(m_model->rawText(), u"# about A\nA=1\nB=2\n# C=3\n\nNEW=v\n"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    QCOMPARE(m_fixture->read(u"p/.env"_s), QByteArray("# about A\nA=1\nB=2\n# C=3\n\nNEW=v\n"));
}

void TestAppModelEditing::clearingRows()
{
    EntryListModel *rows = m_model->entryModel();
    QSignalSpy removed(rows, &QAbstractItemModel::rowsRemoved);
    // Clearing only the key keeps the row (its value stays visible) but drops its line.
    const QUuid b = idOf(*m_model, u"B"_s);
    m_model->updateKey(b, QString());
    QCOMPARE(removed.size(), 0);
    QCOMPARE(m_model->rawText(), u"# about A\nA=1\n# C=3\n"_s);
    // Clearing the value too removes the middle row.
    m_model->updateValue(b, u" "_s);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(m_model->entries().size(), 3);
    // Typing into the blank row adds a new blank row below it; clearing the typed row again
    // removes it, and the blank row stays last.
    const qsizetype rowsBefore = m_model->entries().size();
    const QUuid typed = m_model->entries().last().id;
    m_model->updateKey(typed, u"X"_s);
    QCOMPARE(m_model->entries().size(), rowsBefore + 1);
    const QUuid blank = m_model->entries().last().id;
    m_model->updateKey(typed, QString());
    QCOMPARE(removed.size(), 2);
    QCOMPARE(m_model->entries().size(), rowsBefore);
    QCOMPARE(m_model->entries().last().id, blank);
    m_model->updateValue(blank, u"\t"_s); // the last row stays even when cleared
    m_model->updateValue(blank, QString());
    QCOMPARE(m_model->entries().last().id, blank);
    QCOMPARE(removed.size(), 2);
}

void TestAppModelEditing::deleteAndActivate()
{
    EntryListModel *rows = m_model->entryModel();
    QSignalSpy removed(rows, &QAbstractItemModel::rowsRemoved);
    m_model->deleteEntry(idOf(*m_model, u"A"_s));
    QCOMPARE(removed.size(), 1);
    QCOMPARE(m_model->rawText(), u"# about A\nB=2\n# C=3\n"_s); // the comment above stays
    m_model->deleteEntry(QUuid::createUuid()); // unknown id: nothing but a save
    QCOMPARE(removed.size(), 1);

    const QUuid c = idOf(*m_model, u"C"_s);
    QVERIFY(rows->data(rows->index(1), EntryListModel::IsCommentedOutRole).toBool());
    m_model->activateCommentedOut(c);
    QCOMPARE(m_model->rawText(), u"# about A\nB=2\nC=3\n"_s);
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    QCOMPARE(m_fixture->read(u"p/.env"_s), QByteArray("# about A\nB=2\nC=3\n"));
}

void TestAppModelEditing::rawTextEdits()
{
    EntryListModel *rows = m_model->entryModel();
    QSignalSpy reset(rows, &QAbstractItemModel::modelReset);
    const QUuid before = idOf(*m_model, u"A"_s);
    m_model->updateRawText(u"A=1\n  X = y\n"_s);
    QCOMPARE(reset.size(), 1);
    QCOMPARE(m_model->entries().size(), 3);
    QVERIFY(idOf(*m_model, u"A"_s) != before); // every id is new
    QCOMPARE(m_model->rawText(), u"A=1\n  X = y\n"_s); // exactly as typed
    QVERIFY(WorkspaceFixture::waitForSave(*m_model));
    QCOMPARE(m_fixture->read(u"p/.env"_s), QByteArray("A=1\n  X = y\n"));
    QCOMPARE(m_model->rawText(), u"A=1\nX=y\n"_s); // after the save: the document's rendering
}

void TestAppModelEditing::rawTextWithoutFile()
{
    WorkspaceFixture fixture;
    auto model = fixture.makeModel();
    model->updateRawText(u"A=1"_s);
    QCOMPARE(model->rawText(), u"A=1"_s);
    QVERIFY(model->entries().isEmpty());
    QVERIFY(!model->isSaving());
}

KELVANE_TEST_MAIN(TestAppModelEditing)
#include "tst_appmodel_editing.moc"
