#include "common/TestEnvironment.h"
#include "util/FileIO.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

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
