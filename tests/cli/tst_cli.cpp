#include "common/TestEnvironment.h"
#include "util/FileIO.h"

#include <QDir>
#include <QJsonDocument>
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
