#include "common/TestEnvironment.h"
#include "skills/MarkerBlock.h"
#include "util/FileIO.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <unistd.h>

using namespace Qt::StringLiterals;
using MarkerBlock::markerID;

namespace {

const QString start = u"<!-- quorvalent:start (managed by Quorvalent.app, do not edit) -->\n"_s;
const QString end = u"\n<!-- quorvalent:end -->"_s;

} // namespace

class TestMarkerBlock : public QObject
{
    Q_OBJECT

private slots:
    void upsert_data();
    void upsert();
    void secondBlockStays();
    void bytesOutsideTheBlockNeverChange();
    void dedicatedWrite();
    void markerWrite();
};

void TestMarkerBlock::upsert_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("replaced");
    const QString block = start + u"Rule"_s + end;
    QTest::newRow("empty") << QString() << u"\n Rule \n"_s << block + u'\n' << false;
    QTest::newRow("one character") << u"x"_s << u"Rule"_s << u"x\n\n"_s + block + u'\n' << false;
    QTest::newRow("one line feed") << u"x\n"_s << u"Rule"_s << u"x\n\n"_s + block + u'\n' << false;
    QTest::newRow("two line feeds") << u"x\n\n"_s << u"Rule"_s << u"x\n\n"_s + block + u'\n' << false;
    QTest::newRow("crlf") << u"x\r\n"_s << u"Rule"_s << u"x\r\n\n\n"_s + block + u'\n' << false;
    QTest::newRow("replace") << u"mine\n"_s + start + u"old\nlines"_s + end + u"\nafter\n"_s << u"Rule"_s
                             << u"mine\n"_s + block + u"\nafter\n"_s << true;
    QTest::newRow("hand-edited start") << u"<!--   quorvalent:start -->old<!--quorvalent:end  -->tail"_s << u"Rule"_s
                                       << block + u"tail"_s << true;
    QTest::newRow("upper-case id") << u"<!-- QUORVALENT:start -->old<!-- QUORVALENT:end -->"_s << u"Rule"_s
                                   << u"<!-- QUORVALENT:start -->old<!-- QUORVALENT:end -->\n\n"_s + block + u'\n' << false;
    QTest::newRow("missing end") << u"<!-- quorvalent:start -->\nold\n"_s << u"Rule"_s
                                 << u"<!-- quorvalent:start -->\nold\n\n"_s + block + u'\n' << false;
    QTest::newRow("stray start above") << u"<!-- quorvalent:start -->\nmine\n"_s + start + u"old"_s + end << u"Rule"_s
                                       << u"<!-- quorvalent:start -->\nmine\n"_s + block << true;
    QTest::newRow("blank body") << QString() << u" \n\t "_s << start + end + u'\n' << false;
}

void TestMarkerBlock::upsert()
{
    QFETCH(QString, existing);
    QFETCH(QString, body);
    QFETCH(QString, text);
    QFETCH(bool, replaced);
    const MarkerBlock::UpsertResult result = MarkerBlock::upsert(existing, body, markerID);
    QCOMPARE(result.text, text);
    QCOMPARE(result.action, replaced ? MarkerBlock::Action::replaced : MarkerBlock::Action::created);
    // Running again with the same body changes nothing.
    QCOMPARE(MarkerBlock::upsert(result.text, body, markerID), (MarkerBlock::UpsertResult{result.text, MarkerBlock::Action::replaced}));
}

void TestMarkerBlock::secondBlockStays()
{
    const QString second = start + u"second"_s + end;
    const QString text = start + u"first"_s + end + u"\n"_s + second + u'\n';
    const MarkerBlock::UpsertResult result = MarkerBlock::upsert(text, u"new"_s, markerID);
    QCOMPARE(result.text, start + u"new"_s + end + u"\n"_s + second + u'\n');
}

void TestMarkerBlock::bytesOutsideTheBlockNeverChange()
{
    QRandomGenerator random(777);
    const QStringList pieces = {u"text"_s, u"\n"_s, u"\r\n"_s, u" "_s, u"<!--"_s, u"-->"_s, u"quorvalent"_s, u":start"_s,
                                u":end"_s, u"# Heading\n"_s, u"é✓"_s, u"<!-- quorvalent:end -->"_s, u">"_s};
    for (int round = 0; round < 2000; ++round) {
        QString before;
        QString after;
        for (int i = int(random.bounded(0, 8)); i > 0; --i)
            before += pieces[random.bounded(int(pieces.size()))];
        for (int i = int(random.bounded(0, 8)); i > 0; --i)
            after += pieces[random.bounded(int(pieces.size()))];
        const bool withBlock = random.bounded(2);
        const bool handEdited = random.bounded(2);
        const QString existingStart = handEdited ? u"<!--quorvalent:start-->"_s : start;
        const QString existing = withBlock ? before + existingStart + u"old"_s + end + after : before + after;

        const MarkerBlock::UpsertResult first = MarkerBlock::upsert(existing, u"rule\ntext"_s, markerID);
        const QString block = start + u"rule\ntext"_s + end;
        const qsizetype at = first.text.indexOf(block);
        QVERIFY(at >= 0);
        // Outside the new block the text is the old one: a prefix, then (when replaced) one old
        // block removed, then a suffix.
        const qsizetype suffix = first.text.size() - at - block.size();
        if (first.action == MarkerBlock::Action::replaced) {
            QCOMPARE(first.text.first(at), existing.first(at));
            const QString removed = existing.sliced(at, existing.size() - suffix - at);
            QVERIFY2(removed.startsWith(u"<!--") && removed.endsWith(u"-->") && removed.contains(u"quorvalent:end"),
                     qPrintable(removed));
            QVERIFY2(removed.lastIndexOf(u"<!--", removed.indexOf(u":start")) == 0, qPrintable(removed));
            QCOMPARE(first.text.sliced(at + block.size()), existing.sliced(existing.size() - suffix));
        } else {
            QVERIFY(first.text.startsWith(existing));
            QCOMPARE(suffix, 1);
        }
        const MarkerBlock::UpsertResult second = MarkerBlock::upsert(first.text, u"rule\ntext"_s, markerID);
        QCOMPARE(second.text, first.text);
        QCOMPARE(second.action, MarkerBlock::Action::replaced);
    }
}

void TestMarkerBlock::dedicatedWrite()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"new/project/.cursor/rules/quorvalent.mdc"_s);
    QVERIFY(!InstallWriter::writeDedicated(file, u"규칙\n"_s));
    QCOMPARE(FileIO::readAll(file).value(), QByteArray("\xea\xb7\x9c\xec\xb9\x99\n"));
    QVERIFY(!InstallWriter::writeDedicated(file, u"v2"_s));
    QCOMPARE(FileIO::readAll(file).value(), QByteArray("v2"));

    // A regular file where a folder must be: an error, nothing written.
    QVERIFY(!FileIO::writeAtomically(dir.filePath(u"blocked"_s), "file"));
    const std::optional<IoError> error = InstallWriter::writeDedicated(dir.filePath(u"blocked/.cursor/rules/x.mdc"_s), u"x"_s);
    QVERIFY(error);
    QCOMPARE(error->code, ENOTDIR);
}

void TestMarkerBlock::markerWrite()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"home/.codex/AGENTS.md"_s);
    QCOMPARE(InstallWriter::upsertMarker(file, u"Rule"_s, markerID).value(), MarkerBlock::Action::created);
    QCOMPARE(FileIO::readUtf8(file).value(), start + u"Rule"_s + end + u'\n');
    QCOMPARE(InstallWriter::upsertMarker(file, u"Rule 2"_s, markerID).value(), MarkerBlock::Action::replaced);

    // A shared file managed elsewhere (a dotfiles repository) through a link: the target is updated.
    const QString real = dir.filePath(u"dotfiles/AGENTS.md"_s);
    QVERIFY(QDir().mkpath(dir.filePath(u"dotfiles"_s)));
    QVERIFY(!FileIO::writeAtomically(real, "# My rules\n"));
    const QString linked = dir.filePath(u"home/.gemini/GEMINI.md"_s);
    QVERIFY(QDir().mkpath(dir.filePath(u"home/.gemini"_s)));
    QCOMPARE(::symlink(QFile::encodeName(real).constData(), QFile::encodeName(linked).constData()), 0);
    QCOMPARE(InstallWriter::upsertMarker(linked, u"Rule"_s, markerID).value(), MarkerBlock::Action::created);
    QVERIFY(QFileInfo(linked).isSymLink());
    QCOMPARE(FileIO::readUtf8(real).value(), u"# My rules\n\n"_s + start + u"Rule"_s + end + u'\n');

    // A shared file that is not UTF-8 is never replaced.
    const QString latin1 = dir.filePath(u"home/.config/amp/AGENTS.md"_s);
    QVERIFY(QDir().mkpath(dir.filePath(u"home/.config/amp"_s)));
    QVERIFY(!FileIO::writeAtomically(latin1, "R\xe8gles\n"));
    const Result<MarkerBlock::Action> refused = InstallWriter::upsertMarker(latin1, u"Rule"_s, markerID);
    QVERIFY(!refused.ok());
    QCOMPARE(refused.error().code, EILSEQ);
    QCOMPARE(FileIO::readAll(latin1).value(), QByteArray("R\xe8gles\n"));
}

KELVANE_TEST_MAIN(TestMarkerBlock)
#include "tst_markerblock.moc"
