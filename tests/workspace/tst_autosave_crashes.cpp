// A process that autosaves in a loop is killed with SIGKILL at random moments: after every kill
// the file must hold one complete version, and no temporary or backup file may show up as an
// env file.
#include "WorkspaceFixture.h"
#include "discovery/EnvProjectScanner.h"
#include "document/EnvParser.h"

#include <QProcess>
#include <QRandomGenerator>

#include <csignal>

using namespace Qt::StringLiterals;

class TestAutosaveCrashes : public QObject
{
    Q_OBJECT

private slots:
    void killedMidSaveLeavesACompleteFile();
};

void TestAutosaveCrashes::killedMidSaveLeavesACompleteFile()
{
    WorkspaceFixture fixture;
    fixture.write(u"p/.env"_s, "# versions\nCOUNTER=0\nPAD=\n");
    QRandomGenerator random(99);
    qint64 highest = 0;
    for (int round = 0; round < 25; ++round) {
        QProcess child;
        child.start(QStringLiteral(KELVANE_AUTOSAVE_CHILD), {fixture.path(u"p"_s)});
        QVERIFY(child.waitForReadyRead(10000));
        QTest::qWait(int(random.bounded(30, 700)));
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));

        const Result<EnvDocument> document = EnvParser::load(fixture.path(u"p/.env"_s));
        QVERIFY2(document.ok(), "the file must stay readable");
        QCOMPARE(document.value().entries.size(), 2);
        const EditableEnvEntry &counter = document.value().entries[0];
        const EditableEnvEntry &pad = document.value().entries[1];
        QCOMPARE(counter.key, u"COUNTER"_s);
        bool ok = false;
        const qint64 n = counter.value.toLongLong(&ok);
        QVERIFY(ok);
        if (n > 0)
            QCOMPARE(pad.value, QString(int(1000 + n % 7 * 20000), QChar(u'a' + int(n % 26))));
        highest = std::max(highest, n);

        const EnvDirectoryNode tree = EnvProjectScanner::scan(fixture.path(u"p"_s), EnvProjectScanner::ignoredDirectoryNames());
        QCOMPARE(tree.allFiles().size(), 1);
        // Leftovers of an interrupted save may remain, hidden; they are not env files.
        for (const QString &name : QDir(fixture.path(u"p"_s)).entryList(QDir::Files | QDir::Hidden)) {
            QVERIFY2(name == u".env" || name.startsWith(u".__kelvane_autosave_backup__"), qPrintable(name));
            if (name != u".env")
                QFile::remove(fixture.path(u"p/"_s + name));
        }
    }
    QVERIFY(highest > 0); // the child did get to save
}

KELVANE_TEST_MAIN(TestAutosaveCrashes)
#include "tst_autosave_crashes.moc"
