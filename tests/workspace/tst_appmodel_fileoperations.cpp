#include "WorkspaceFixture.h"

using namespace Qt::StringLiterals;

class TestAppModelFileOperations : public QObject
{
    Q_OBJECT

private slots:
    void createNewFile_data();
    void createNewFile();
    void nothingWithoutAProject();
    void duplicate_data();
    void duplicate();
    void deleteFile();
    void directorySuggestions();
};

void TestAppModelFileOperations::createNewFile_data()
{
    QTest::addColumn<QString>("selectedDirectory"); // "-" for the whole project
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("created");           // relative to the project, or "" when refused
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("message");
    auto ok = [](const char *name, const QString &directory, const QString &input, const QString &created) {
        QTest::newRow(name) << directory << input << created << QString() << QString();
    };
    auto refused = [](const char *name, const QString &input, const QString &code, const QString &message) {
        QTest::newRow(name) << u"-"_s << input << QString() << code << message;
    };
    ok("empty in selected folder", u"config"_s, QString(), u"config/.env"_s);
    ok("empty in project", u"-"_s, u"  "_s, u".env"_s);
    ok("slash is the project root", u"config"_s, u"/"_s, u".env"_s);
    ok("nested folder", u"-"_s, u"/nested/dir/"_s, u"nested/dir/.env"_s);
    ok("spaces around", u"-"_s, u"  .env.local  "_s, u".env.local"_s);
    ok("absolute with name", u"config"_s, u"/nested/dir/.env.ci"_s, u"nested/dir/.env.ci"_s);
    refused("no leading slash", u"config/.env"_s, u"new_file_invalid_prefix"_s, u"The file name must start with `.env`."_s);
    refused("slash in name", u".env/x"_s, u"new_file_contains_slash"_s, u"The file name cannot contain `/`."_s);
    refused("missing folder", u"/nested/none/"_s, u"new_file_directory_missing"_s,
            u"The directory `/nested/none` does not exist in this project."_s);
    refused("exists", u".env.existing"_s, u"new_file_already_exists"_s, u"A file with the same name already exists."_s);
    refused("bad prefix", u"env"_s, u"new_file_invalid_prefix"_s, u"The file name must start with `.env`."_s);
}

void TestAppModelFileOperations::createNewFile()
{
    QFETCH(QString, selectedDirectory);
    QFETCH(QString, input);
    QFETCH(QString, created);
    QFETCH(QString, code);
    QFETCH(QString, message);
    WorkspaceFixture fixture;
    fixture.write(u"p/.env.existing"_s, "A=1\n");
    fixture.write(u"p/config/.env.base"_s, "A=1\n");
    QVERIFY(QDir().mkpath(fixture.path(u"p/nested/dir"_s)));
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    if (selectedDirectory != u"-")
        model->selectLocation(fixture.path(u"p"_s), selectedDirectory);
    const QStringList before = QDir(fixture.path(u"p"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    const bool result = model->createNewFile(input);
    QCOMPARE(result, !created.isEmpty());
    if (created.isEmpty()) {
        QCOMPARE(fixture.events.errorCodes(), QStringList{code});
        QCOMPARE(model->errorMessage(), std::optional(message));
        QCOMPARE(QDir(fixture.path(u"p"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
        return;
    }
    const QString target = fixture.path(u"p/"_s + created);
    QCOMPARE(fixture.read(u"p/"_s + created), QByteArray());
    QCOMPARE(model->selectedFileID(), std::optional(target));
    QCOMPARE(fixture.events.named(u"env_file_created"_s),
             (QList<QVariantMap>{{{u"name_was_default"_s, input.trimmed().isEmpty()}}}));
}

void TestAppModelFileOperations::nothingWithoutAProject()
{
    WorkspaceFixture fixture;
    auto model = fixture.makeModel();
    QVERIFY(!model->createNewFile(u".env"_s));
    QVERIFY(!model->duplicateFile(EnvFile{fixture.path(u".env"_s), QString()}, u".env.copy"_s, false));
    QCOMPARE(fixture.events.errorCodes(), (QStringList{u"new_file_no_project"_s, u"duplicate_no_project"_s}));
    QCOMPARE(model->errorMessage(), std::optional(u"Select a project first."_s));
    QVERIFY(model->projectDirectorySuggestions().isEmpty());
}

void TestAppModelFileOperations::duplicate_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("withoutValues");
    QTest::addColumn<QByteArray>("content"); // empty when refused
    QTest::addColumn<QString>("code");
    const QByteArray source = "# Keys\nexport A=1 # note\n# B=\"encrypted:x\"\nC='x'\n";
    QTest::newRow("with values") << u".env.copy"_s << false << source << QString();
    QTest::newRow("without values") << u" .env.blank "_s << true << QByteArray("# Keys\nexport A=\n# B=\nC=\n") << QString();
    QTest::newRow("empty name") << u"  "_s << false << QByteArray() << u"duplicate_empty_name"_s;
    QTest::newRow("prefix") << u"x/.env"_s << false << QByteArray() << u"duplicate_invalid_prefix"_s;
    QTest::newRow("slash") << u".env/x"_s << false << QByteArray() << u"duplicate_contains_slash"_s;
    QTest::newRow("exists") << u".env"_s << false << QByteArray() << u"duplicate_already_exists"_s;
}

void TestAppModelFileOperations::duplicate()
{
    QFETCH(QString, name);
    QFETCH(bool, withoutValues);
    QFETCH(QByteArray, content);
    QFETCH(QString, code);
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "# Keys\nexport A=1 # note\n# B=\"encrypted:x\"\nC='x'\n");
    QFile::setPermissions(fixture.path(u"p/.env"_s), QFile::ReadOwner | QFile::WriteOwner);
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    const EnvFile source = *model->selectedFile();
    const bool result = model->duplicateFile(source, name, withoutValues);
    QCOMPARE(result, code.isEmpty());
    if (!code.isEmpty()) {
        QCOMPARE(fixture.events.errorCodes(), QStringList{code});
        return;
    }
    const QString target = u"p/"_s + name.trimmed();
    QCOMPARE(fixture.read(target), content);
    QCOMPARE(QFile::permissions(fixture.path(target)) & 0x0FFF, QFile::ReadUser | QFile::WriteUser); // 0600 like the source
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(target)));
    QCOMPARE(fixture.events.named(u"env_file_duplicated"_s), (QList<QVariantMap>{{{u"with_values"_s, !withoutValues}}}));
}

void TestAppModelFileOperations::deleteFile()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "A=1\nB=2\n");
    fixture.write(u"p/.env.broken"_s, "A=\xff\n");
    fixture.write(u"p/.env.other"_s, "C=1\n");
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env"_s)));

    // Not the selected file: the selection stays. An unreadable file counts -1 entries.
    QVERIFY(model->deleteFile(EnvFile{fixture.path(u"p/.env.broken"_s), QString()}));
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env"_s)));
    QVERIFY(model->deleteFile(*model->selectedFile()));
    QVERIFY(!QFile::exists(fixture.path(u"p/.env"_s)));
    QCOMPARE(model->selectedFileID(), std::optional(fixture.path(u"p/.env.other"_s)));
    QCOMPARE(fixture.events.named(u"env_file_deleted"_s),
             (QList<QVariantMap>{{{u"entries_count_at_deletion"_s, qint64(-1)}}, {{u"entries_count_at_deletion"_s, qint64(2)}}}));

    QVERIFY(!model->deleteFile(EnvFile{fixture.path(u"p/.env.gone"_s), QString()}));
    QCOMPARE(model->errorMessage(), std::optional(u"Failed to delete file: No such file or directory"_s));
    QCOMPARE(fixture.events.errorCodes(), QStringList{u"delete_failed"_s});
}

void TestAppModelFileOperations::directorySuggestions()
{
    WorkspaceFixture fixture;
    for (const QString &folder : {u"p/src/app"_s, u"p/Config"_s, u"p/.git/x"_s, u"p/node_modules/y"_s, u"p/build"_s, u"p/Build"_s})
        QVERIFY(QDir().mkpath(fixture.path(folder)));
    QVERIFY(QFile::link(fixture.path(u"p/src"_s), fixture.path(u"p/link"_s)));
    auto model = fixture.makeModel({fixture.path(u"p"_s)});
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(model->projectDirectorySuggestions(), (QStringList{u"Build"_s, u"Config"_s, u"src"_s, u"src/app"_s}));
    QCOMPARE(model->newFileBaseDirectory(), fixture.path(u"p"_s));
    model->selectLocation(fixture.path(u"p"_s), u"src/app"_s); // not a tree node: no env files there
    QCOMPARE(model->newFileBaseDirectory(), fixture.path(u"p/src/app"_s));
}

KELVANE_TEST_MAIN(TestAppModelFileOperations)
#include "tst_appmodel_fileoperations.moc"
