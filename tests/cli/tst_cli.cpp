#include "common/TestEnvironment.h"
#include "util/FileIO.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runCli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(KELVANE_CLI_PATH), arguments);
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parsePrintsOrderedJson();
    void renderIsByteForByte_data();
    void renderIsByteForByte();
    void unreadableFiles_data();
    void unreadableFiles();
    void scanPrintsTheTree();
    void watchPrintsBatches();
    void foldersThatAreNotFolders_data();
    void foldersThatAreNotFolders();
    void keysNeverShowValues();
    void setSavesThroughTheBackup();
    void installGuardrails();
    void optionsEndAtDoubleDash();
    void failedOutputIsAnError();
    void usage_data();
    void usage();

private:
    QTemporaryDir m_dir;
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        if (FileIO::writeAtomically(path, bytes))
            qFatal("cannot write fixture");
        return path;
    }
};

void TestCli::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestCli::parsePrintsOrderedJson()
{
    const QString path = write(u".env"_s, "# Title\n# about\nexport A=\"x # y\" # note\n# B='encrypted:abc'\nMY-KEY=1\n\nC=\xc3\xa9\t\"\\\n");
    const Run run = runCli({u"parse"_s, path});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    const QByteArray expected = R"({
  "hadTrailingNewline": true,
  "layout": [
    {
      "preserved": "# Title"
    },
    {
      "preserved": "# about"
    },
    {
      "entry": 0
    },
    {
      "entry": 1
    },
    {
      "preserved": "MY-KEY=1"
    },
    {
      "preserved": ""
    },
    {
      "entry": 2
    }
  ],
  "entries": [
    {
      "key": "A",
      "value": "\"x # y\"",
      "isExported": true,
      "isCommentedOut": false,
      "inlineComment": "note",
      "encryption": "plain",
      "ciphertext": null
    },
    {
      "key": "B",
      "value": "'encrypted:abc'",
      "isExported": false,
      "isCommentedOut": true,
      "inlineComment": null,
      "encryption": "encrypted",
      "ciphertext": "'encrypted:abc'"
    },
    {
      "key": "C",
      "value": ")" "\xc3\xa9" R"(\t\"\\",
      "isExported": false,
      "isCommentedOut": false,
      "inlineComment": null,
      "encryption": "plain",
      "ciphertext": null
    }
  ],
  "sections": [
    {
      "headerTitle": "Title",
      "headerDescription": "about",
      "entries": [
        0,
        1
      ]
    },
    {
      "headerTitle": null,
      "headerDescription": null,
      "entries": [
        2
      ]
    }
  ]
}
)";
    QCOMPARE(run.out, expected);

    // Empty lists are written compactly, and control characters are escaped.
    const Run empty = runCli({u"parse"_s, write(u"empty"_s, "\x01")});
    QCOMPARE(empty.out, QByteArray("{\n  \"hadTrailingNewline\": false,\n  \"layout\": [\n    {\n      \"preserved\": \"\\u0001\"\n"
                                   "    }\n  ],\n  \"entries\": [],\n  \"sections\": []\n}\n"));
    QJsonParseError error;
    QJsonDocument::fromJson(run.out, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void TestCli::renderIsByteForByte_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("canonical") << QByteArray("export  A = 1 #  c\n#B=2\n") << QByteArray("export A=1  # c\n# B=2\n");
    QTest::newRow("no final newline") << QByteArray("# only\n\nA=1") << QByteArray("# only\n\nA=1");
    QTest::newRow("crlf") << QByteArray("A=1\r\nB=2\r\n") << QByteArray("A=1\r\nB=2\r\n");
    QTest::newRow("single line feed") << QByteArray("\n") << QByteArray();
    QTest::newRow("bom and nul") << QByteArray("\xef\xbb\xbf# x\n\0A=1\n", 11) << QByteArray("\xef\xbb\xbf# x\n\0A=1\n", 11);
}

void TestCli::renderIsByteForByte()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    const Run run = runCli({u"render"_s, write(u"render.env"_s, input)});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, output);
}

void TestCli::unreadableFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("missing") << u"missing.env"_s << QByteArray("No such file or directory");
    QTest::newRow("directory") << u"folder"_s << QByteArray("Is a directory");
    QTest::newRow("not utf-8") << u"latin1.env"_s << QByteArray("The file is not valid UTF-8 text");
}

void TestCli::unreadableFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, reason);
    QDir(m_dir.path()).mkpath(u"folder"_s);
    write(u"latin1.env"_s, "A=\xe9\n");
    const QString path = m_dir.filePath(name);
    for (const QString &command : {u"parse"_s, u"render"_s}) {
        const Run run = runCli({command, path});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.err, "kelvane-cli: cannot read " + path.toUtf8() + ": " + reason + '\n');
    }
}

void TestCli::scanPrintsTheTree()
{
    QTemporaryDir project;
    QVERIFY(QDir().mkpath(project.path() + u"/apps/web"_s));
    QVERIFY(QDir().mkpath(project.path() + u"/node_modules/x"_s));
    QVERIFY(!FileIO::writeAtomically(project.path() + u"/.env"_s, "A=1\n"));
    QVERIFY(!FileIO::writeAtomically(project.path() + u"/apps/web/.env.local"_s, "B=1\n"));
    QVERIFY(!FileIO::writeAtomically(project.path() + u"/node_modules/x/.env"_s, "C=1\n"));
    const Run run = runCli({u"scan"_s, project.path()});
    QCOMPARE(run.exitCode, 0);
    const QByteArray name = QFileInfo(project.path()).fileName().toUtf8();
    const QByteArray expected = R"({
  "root": {
    "relativePath": "",
    "name": ")" + name + R"(",
    "directFiles": [
      {
        "name": ".env",
        "relativeDirectory": "",
        "displayPath": ".env"
      }
    ],
    "children": [
      {
        "relativePath": "apps",
        "name": "apps",
        "directFiles": [],
        "children": [
          {
            "relativePath": "apps/web",
            "name": "web",
            "directFiles": [
              {
                "name": ".env.local",
                "relativeDirectory": "apps/web",
                "displayPath": "/apps/web/.env.local"
              }
            ],
            "children": []
          }
        ]
      }
    ]
  },
  "allFiles": [
    ".env",
    "/apps/web/.env.local"
  ]
}
)";
    QCOMPARE(run.out, expected);
}

void TestCli::watchPrintsBatches()
{
    QTemporaryDir project;
    QVERIFY(QDir().mkpath(project.path() + u"/.git"_s));
    QProcess process;
    process.start(QStringLiteral(KELVANE_CLI_PATH), {u"watch"_s, project.path(), u"--seconds"_s, u"30"_s});
    QVERIFY(process.waitForStarted());
    // Changes are only reported once the watcher runs; repeat until a line shows up.
    QByteArray lines;
    for (int attempt = 0; attempt < 100 && !lines.contains("/.env\""); ++attempt) {
        QVERIFY(!FileIO::writeAtomically(project.path() + u"/.git/index"_s, "x"));
        QVERIFY(!FileIO::writeAtomically(project.path() + u"/.env"_s, "A=1\n"));
        process.waitForReadyRead(200);
        lines += process.readAllStandardOutput();
    }
    process.kill();
    process.waitForFinished();
    bool sawRelevant = false;
    for (const QByteArray &line : lines.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonObject batch = QJsonDocument::fromJson(line, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(batch.contains(u"ms"_s));
        sawRelevant |= batch.value(u"relevant"_s).toBool();
        for (const QJsonValue &value : batch.value(u"events"_s).toArray()) {
            const QJsonObject event = value.toObject();
            QCOMPARE(event.keys().size(), 7);
            QVERIFY(event.value(u"path"_s).toString().startsWith(project.path()));
        }
    }
    QVERIFY(sawRelevant);
    QVERIFY(!lines.contains("/.git/")); // hidden folders are not watched

    const Run timed = runCli({u"watch"_s, project.path(), u"--seconds=0.2"_s});
    QCOMPARE(timed.exitCode, 0);
    QCOMPARE(runCli({u"watch"_s, project.path(), u"--seconds"_s, u"soon"_s}).exitCode, 2);
    QCOMPARE(runCli({u"scan"_s, project.path(), u"--seconds"_s, u"1"_s}).exitCode, 2);
}

void TestCli::foldersThatAreNotFolders_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("reason");
    for (const QString &command : {u"scan"_s, u"watch"_s}) {
        QTest::addRow("%s missing", qPrintable(command)) << command << u"missing"_s << QByteArray("No such file or directory");
        QTest::addRow("%s file", qPrintable(command)) << command << u"file.env"_s << QByteArray("Not a directory");
    }
}

void TestCli::foldersThatAreNotFolders()
{
    QFETCH(QString, command);
    QFETCH(QString, name);
    QFETCH(QByteArray, reason);
    write(u"file.env"_s, "A=1\n");
    const QString path = m_dir.filePath(name);
    const Run run = runCli(command == u"watch" ? QStringList{command, path, u"--seconds"_s, u"1"_s} : QStringList{command, path});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err, "kelvane-cli: cannot " + command.toUtf8() + ' ' + path.toUtf8() + ": " + reason + '\n');
}

void TestCli::keysNeverShowValues()
{
    const QString path = write(u"keys.env"_s, "A=secret-a\n# B=secret-b\nC=\"encrypted:abc\"\nD=\n");
    const Run text = runCli({u"keys"_s, path});
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out, QByteArray("A\tactive\tplain\nB\tcommented-out\tplain\nC\tactive\tencrypted\nD\tactive\tempty\n"));
    const Run json = runCli({u"keys"_s, path, u"--json"_s});
    QCOMPARE(json.exitCode, 0);
    QVERIFY(!json.out.contains("secret"));
    QCOMPARE(QJsonDocument::fromJson(json.out).array().size(), 4);
    QCOMPARE(QJsonDocument::fromJson(json.out).array()[1].toObject().value(u"active"_s), QJsonValue(false));
}

void TestCli::setSavesThroughTheBackup()
{
    const QString path = write(u"set.env"_s, "# keep\nA=1\n# A=old\n");
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    QCOMPARE(runCli({u"set"_s, path, u"A"_s, u"two words"_s}).exitCode, 0);
    QCOMPARE(runCli({u"set"_s, path, u"NEW"_s, u"--"_s, u"-x"_s}).exitCode, 0); // "--" before a value that starts with "-"
    QCOMPARE(FileIO::readAll(path).value(), QByteArray("# keep\nA=two words\n# A=old\n\nNEW=-x\n"));
    QCOMPARE(QFileInfo(path).permissions() & 0x0FFF, QFile::ReadUser | QFile::WriteUser);

    // Encrypting needs a key pair; without one nothing changes and the reason is shown.
    const Run refused = runCli({u"set"_s, path, u"A"_s, u"secret"_s, u"--encrypt"_s, u"--dotenvx"_s,
                                QStringLiteral(KELVANE_DOTENVX_2)});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("DOTENV_PUBLIC_KEY"), refused.err.constData());
    QCOMPARE(FileIO::readAll(path).value(), QByteArray("# keep\nA=two words\n# A=old\n\nNEW=-x\n"));

    // With one, the secret goes in encrypted and never in plain text.
    QTemporaryDir project;
    const QString env = project.path() + u"/.env"_s;
    QVERIFY(!FileIO::writeAtomically(env, "A=plain\n"));
    QProcess dotenvx;
    dotenvx.setWorkingDirectory(project.path());
    dotenvx.setStandardInputFile(QProcess::nullDevice());
    dotenvx.start(QStringLiteral(KELVANE_DOTENVX_2), {u"encrypt"_s, u"-f"_s, env});
    QVERIFY(dotenvx.waitForFinished(60000));
    const Run encrypted = runCli({u"set"_s, env, u"A"_s, u"hunter2"_s, u"--dotenvx"_s, QStringLiteral(KELVANE_DOTENVX_2)});
    QCOMPARE(encrypted.exitCode, 0);
    QVERIFY(!FileIO::readAll(env).value().contains("hunter2"));
    QVERIFY(FileIO::readAll(env).value().contains("\nA=encrypted:"));
    QCOMPARE(QDir(project.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{u".env"_s, u".env.keys"_s}));
}

void TestCli::installGuardrails()
{
    QTemporaryDir home;
    QTemporaryDir project;
    // A project that is not a folder: refused before anything is written.
    const Run refused = runCli({u"install-guardrails"_s, u"--home"_s, home.path(), u"--project"_s, m_dir.filePath(u"nope"_s)});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

    const Run first = runCli({u"install-guardrails"_s, u"--home"_s, home.path(), u"--project"_s, project.path()});
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(first.out.count('\n'), 14);
    QVERIFY(first.out.contains("codex-cli\t-\tinstalled\t" + QFile::encodeName(home.path()) + "/.codex/AGENTS.md"));
    const Run second = runCli({u"install-guardrails"_s, u"--home"_s, home.path(), u"--project"_s, project.path(), u"--json"_s});
    QCOMPARE(second.exitCode, 0);
    const QJsonObject session = QJsonDocument::fromJson(second.out).object();
    QCOMPARE(session.value(u"skillID"_s).toString(), u"quorvalent"_s);
    QVERIFY(!session.value(u"origin"_s).toString().isEmpty());
    int updated = 0;
    for (const QJsonValue &report : session.value(u"reports"_s).toArray())
        updated += report.toObject().value(u"status"_s).toString() == u"markerUpdated";
    QCOMPARE(updated, 8);
}

void TestCli::optionsEndAtDoubleDash()
{
    const QString dashed = write(u"-h"_s, "A=1\n");
    QDir::setCurrent(m_dir.path());
    const Run run = runCli({u"render"_s, u"--"_s, u"-h"_s});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("A=1\n"));
    QVERIFY(QFile::remove(dashed));
}

void TestCli::failedOutputIsAnError()
{
    QProcess process;
    process.setStandardOutputFile(u"/dev/full"_s);
    process.start(QStringLiteral(KELVANE_CLI_PATH), {u"render"_s, write(u"out.env"_s, "A=1\n")});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().startsWith("kelvane-cli: cannot write the output: No space left on device"));
}

void TestCli::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("help") << QStringList{u"--help"_s} << 0;
    QTest::newRow("short help") << QStringList{u"parse"_s, u"-h"_s} << 0;
    QTest::newRow("nothing") << QStringList{} << 2;
    QTest::newRow("unknown command") << QStringList{u"frobnicate"_s, u"x"_s} << 2;
    QTest::newRow("no file") << QStringList{u"parse"_s} << 2;
    QTest::newRow("two files") << QStringList{u"render"_s, u"a"_s, u"b"_s} << 2;
    QTest::newRow("unknown option") << QStringList{u"parse"_s, u"--json"_s, u"a"_s} << 2;
}

void TestCli::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    const Run run = runCli(arguments);
    QCOMPARE(run.exitCode, exitCode);
    const QByteArray &text = exitCode == 0 ? run.out : run.err;
    QVERIFY2(text.contains("Usage: kelvane-cli"), text.constData());
    QCOMPARE((exitCode == 0 ? run.err : run.out), QByteArray());
}

KELVANE_TEST_MAIN(TestCli)
#include "tst_cli.moc"
