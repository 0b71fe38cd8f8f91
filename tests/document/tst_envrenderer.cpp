#include "common/TestEnvironment.h"
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"
#include "util/FileIO.h"

#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

EditableEnvEntry row(const QString &key, const QString &value)
{
    EditableEnvEntry entry = EditableEnvEntry::blank();
    entry.key = key;
    entry.value = value;
    return entry;
}

} // namespace

class TestEnvRenderer : public QObject
{
    Q_OBJECT

private slots:
    void renderedLine_data();
    void renderedLine();
    void roundTrip_data();
    void roundTrip();
    void addedRows_data();
    void addedRows();
    void deletedAndKeylessRows();
    void layoutOutOfOrder();
    void withBlankValues();
    void write();
};

void TestEnvRenderer::renderedLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("rendered");

    QTest::newRow("canonical spacing") << u"export   KEY = v   # c"_s << u"export KEY=v  # c"_s;
    QTest::newRow("commented tight") << u"#KEY=v"_s << u"# KEY=v"_s;
    QTest::newRow("commented export") << u"  #  export A=1 #  note  "_s << u"# export A=1  # note"_s;
    QTest::newRow("quoted unchanged") << u"KEY=\"quoted value\""_s << u"KEY=\"quoted value\""_s;
    QTest::newRow("export spaced") << u"export  KEY = v"_s << u"export KEY=v"_s;
    QTest::newRow("trailing blanks kept") << u"KEY=v  "_s << u"KEY=v  "_s;
    QTest::newRow("empty comment dropped") << u"KEY=v #"_s << u"KEY=v"_s;
    QTest::newRow("encrypted") << u"KEY='encrypted:abc' # c"_s << u"KEY='encrypted:abc'  # c"_s;
}

void TestEnvRenderer::renderedLine()
{
    QFETCH(QString, line);
    QFETCH(QString, rendered);
    const EnvDocument document = EnvParser::parse(line);
    QCOMPARE(document.entries.size(), 1);
    QCOMPARE(EnvRenderer::renderedLine(document.entries.first()), rendered);
    QCOMPARE(EnvRenderer::render(document), rendered);
}

void TestEnvRenderer::roundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rendered");

    const QString verbatim = u"#/------ banner ------/\n# Title\n#   Description  \n\nA=1\nMY-KEY=x\n\tplain words \n"_s
                             u"\u00A0\n# B=2\nC=\"a # b\"  # note\n"_s;
    QTest::newRow("everything but entries verbatim") << verbatim << verbatim;
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("one line feed") << u"\n"_s << QString();
    QTest::newRow("two line feeds") << u"\n\n"_s << u"\n\n"_s;
    QTest::newRow("no final line feed") << u"A=1\n# c"_s << u"A=1\n# c"_s;
    QTest::newRow("crlf file unchanged") << u"# c\r\nA=1\r\nB=2\r\n"_s << u"# c\r\nA=1\r\nB=2\r\n"_s;
    QTest::newRow("irregular entries") << u"export  A = 1\n#B=2\n"_s << u"export A=1\n# B=2\n"_s;
}

void TestEnvRenderer::roundTrip()
{
    QFETCH(QString, text);
    QFETCH(QString, rendered);
    QCOMPARE(EnvRenderer::render(EnvParser::parse(text)), rendered);
}

void TestEnvRenderer::addedRows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("added"); // "KEY=value" per new row
    QTest::addColumn<QString>("rendered");

    QTest::newRow("one row") << u"A=1\n"_s << QStringList{u"B=2"_s} << u"A=1\n\nB=2\n"_s;
    QTest::newRow("two rows") << u"A=1\n"_s << QStringList{u"B=2"_s, u"C=3"_s} << u"A=1\n\nB=2\n\nC=3\n"_s;
    QTest::newRow("empty file") << QString() << QStringList{u"B=2"_s} << u"\n\nB=2"_s;
    QTest::newRow("keyless row skipped") << u"A=1\n"_s << QStringList{u"=x"_s, u"B=2"_s} << u"A=1\n\nB=2\n"_s;
    QTest::newRow("key trimmed") << u"A=1"_s << QStringList{u" \tB\u2028=2"_s} << u"A=1\n\nB=2"_s;
}

void TestEnvRenderer::addedRows()
{
    QFETCH(QString, text);
    QFETCH(QStringList, added);
    QFETCH(QString, rendered);
    const EnvDocument document = EnvParser::parse(text);
    QList<EditableEnvEntry> entries = document.entries;
    for (const QString &line : added) {
        const qsizetype equals = line.lastIndexOf(u'=');
        entries.append(row(line.first(equals), line.sliced(equals + 1)));
    }
    QCOMPARE(EnvRenderer::render(document, entries), rendered);
}

void TestEnvRenderer::deletedAndKeylessRows()
{
    const EnvDocument document = EnvParser::parse(u"# about A\nA=1\n# about B\nB=2\nC=3\n"_s);
    QList<EditableEnvEntry> entries = document.entries;

    // Deleting removes the entry's line only; the comment above it stays.
    QList<EditableEnvEntry> withoutA = entries;
    withoutA.removeFirst();
    QCOMPARE(EnvRenderer::render(document, withoutA), u"# about A\n# about B\nB=2\nC=3\n"_s);

    // A row whose key was cleared is not written, wherever it is.
    entries[1].key = u" \t"_s;
    QCOMPARE(EnvRenderer::render(document, entries), u"# about A\nA=1\n# about B\nC=3\n"_s);
    QCOMPARE(EnvRenderer::renderedLine(entries[1]), QString());

    // Deleting everything leaves the preserved lines.
    QCOMPARE(EnvRenderer::render(document, QList<EditableEnvEntry>{}), u"# about A\n# about B\n"_s);
}

void TestEnvRenderer::layoutOutOfOrder()
{
    EnvDocument document = EnvParser::parse(u"A=1\nB=2\nC=3"_s);
    std::swap(document.entries[0], document.entries[2]); // entries C, B, A; layout A, B, C
    QCOMPARE(EnvRenderer::render(document), u"A=1\nB=2\nC=3"_s);
    document.entries[0].value = u"30"_s;
    QCOMPARE(EnvRenderer::render(document), u"A=1\nB=2\nC=30"_s);
}

void TestEnvRenderer::withBlankValues()
{
    const EnvDocument document = EnvParser::parse(u"# T\nexport A=secret # c\n# B=\"encrypted:x\"\n"_s);
    const EnvDocument blank = EnvRenderer::withBlankValues(document);
    QCOMPARE(blank.layout, document.layout);
    QCOMPARE(blank.sections, document.sections);
    QCOMPARE(blank.hadTrailingNewline, document.hadTrailingNewline);
    QCOMPARE(blank.entries.size(), 2);
    for (qsizetype i = 0; i < blank.entries.size(); ++i) {
        QCOMPARE(blank.entries[i].id, document.entries[i].id);
        QCOMPARE(blank.entries[i].key, document.entries[i].key);
        QCOMPARE(blank.entries[i].isExported, document.entries[i].isExported);
        QCOMPARE(blank.entries[i].isCommentedOut, document.entries[i].isCommentedOut);
        QCOMPARE(blank.entries[i].value, QString());
        QCOMPARE(blank.entries[i].encryption, EncryptionState::plain());
        QCOMPARE(blank.entries[i].inlineComment, std::nullopt);
    }
    QCOMPARE(EnvRenderer::render(blank), u"# T\nexport A=\n# B=\n"_s);
}

void TestEnvRenderer::write()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    EnvDocument document = EnvParser::parse(u"# Größe\nA=1\n"_s);
    document.entries[0].value = u"ü"_s;
    const QString path = dir.filePath(u".env"_s);
    QVERIFY(!EnvRenderer::write(document, path));
    QCOMPARE(FileIO::readAll(path).value(), QByteArray("# Gr\xc3\xb6\xc3\x9f" "e\nA=\xc3\xbc\n"));

    // Pending and revealed plaintexts never reach the file: the ciphertext does.
    document.entries[0].value = u"typed secret"_s;
    document.entries[0].encryption = EncryptionState::encryptedPending(u"encrypted:old"_s, u"typed secret"_s);
    QVERIFY(!EnvRenderer::write(document, path));
    QCOMPARE(FileIO::readAll(path).value(), QByteArray("# Gr\xc3\xb6\xc3\x9f" "e\nA=encrypted:old\n"));
    document.entries[0].encryption = EncryptionState::revealed(u"encrypted:old"_s, u"typed secret"_s);
    QCOMPARE(EnvRenderer::renderedLine(document.entries[0]), u"A=encrypted:old"_s);

    const std::optional<IoError> error = EnvRenderer::write(document, dir.filePath(u"missing/.env"_s));
    QVERIFY(error);
    QCOMPARE(error->code, ENOENT);
}

KELVANE_TEST_MAIN(TestEnvRenderer)
#include "tst_envrenderer.moc"
