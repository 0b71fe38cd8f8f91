// The parser matches entry lines by hand for speed; these tests hold it to the two regular
// expressions it stands for, run by PCRE2 with Unicode properties and every line terminator.
#include "common/TestEnvironment.h"
#include "document/CharacterClasses.h"
#include "document/EnvParser.h"

#include <QRandomGenerator>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

const QRegularExpression &activePattern()
{
    static const QRegularExpression pattern(uR"((*ANY)^\s*(export\s+)?([\p{L}_][\p{L}\p{N}_\.]*)\s*=\s*(.*)$)"_s,
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression &commentedOutPattern()
{
    static const QRegularExpression pattern(uR"((*ANY)^\s*#\s*(export\s+)?([\p{L}_][\p{L}\p{N}_\.]*)\s*=\s*(.*)$)"_s,
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

QString describe(QStringView line, const std::optional<EnvParser::EntryMatch> &match)
{
    if (!match)
        return u"no match"_s;
    return u"export=%1 key=[%2] rest=[%3]"_s.arg(match->isExported)
            .arg(line.sliced(match->keyStart, match->keyLength), line.sliced(match->restStart, match->restLength));
}

QString describe(const QRegularExpressionMatch &match)
{
    if (!match.hasMatch())
        return u"no match"_s;
    return u"export=%1 key=[%2] rest=[%3]"_s.arg(match.capturedLength(1) > 0).arg(match.captured(2), match.captured(3));
}

QString visible(const QString &line)
{
    QString out;
    for (const QChar c : line)
        out += c.unicode() < 0x21 || c.unicode() > 0x7e ? u"\\u%1"_s.arg(uint(c.unicode()), 4, 16, QChar(u'0')) : QString(c);
    return out;
}

// Pieces that exercise every branch: white space of every kind, line terminators (but never a
// line feed on its own, which always ends a line before the matcher sees it), letters and digits
// outside ASCII and outside the BMP, combining marks, and the characters with a syntactic role.
const QStringList &fragments()
{
    static const QStringList pieces = {
            u"export"_s, u"export "_s, u"expor"_s, u" "_s, u"  "_s, u"\t"_s, u"="_s, u"=="_s, u"#"_s, u"A"_s,
            u"KEY"_s, u"k"_s, u"_"_s, u"."_s, u"-"_s, u"1"_s, u"é"_s, u"ß"_s, u"Ω"_s, u"界"_s, u"٣"_s, u"Ⅻ"_s,
            u"𝐀"_s, u"𝟙"_s, u"\U0001F511"_s, u"\u0301"_s, u"\r"_s, u"\r\n"_s, u"\u000B"_s, u"\u000C"_s, u"\u0085"_s,
            u"\u2028"_s, u"\u2029"_s, u"\u00A0"_s, u"\u1680"_s, u"\u2003"_s, u"\u202F"_s, u"\u3000"_s, u"\u200B"_s,
            u"\uFEFF"_s, u"\""_s, u"'"_s, u"\\"_s, u"value"_s, u"x y"_s, u"encrypted:"_s,
    };
    return pieces;
}

} // namespace

class TestEntryMatcher : public QObject
{
    Q_OBJECT

private slots:
    void characterClasses();
    void patternsAgreeOnGeneratedLines();
    void patternsAgreeOnChosenLines_data();
    void patternsAgreeOnChosenLines();
};

void TestEntryMatcher::characterClasses()
{
    const QRegularExpression whiteSpace(u"^\\s$"_s, QRegularExpression::UseUnicodePropertiesOption);
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const bool blank = c == 0x09 || QChar::category(c) == QChar::Separator_Space;
        QVERIFY2(CharacterClasses::isBlank(c) == blank, qPrintable(QString::number(uint(c), 16)));
        const bool terminator = (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
        QCOMPARE(CharacterClasses::isBlankOrNewline(c), blank || terminator);
        // \s against the regex engine's own tables. PCRE2 still counts U+180E MONGOLIAN VOWEL
        // SEPARATOR as space, which Unicode stopped doing in 6.3; White_Space is what counts here.
        if ((c < 0x10000 || c % 97 == 0) && c != 0x180E)
            QVERIFY2(CharacterClasses::isWhiteSpace(c) == whiteSpace.match(QString::fromUcs4(&c, 1)).hasMatch(),
                     qPrintable(QString::number(uint(c), 16)));
    }
}

void TestEntryMatcher::patternsAgreeOnGeneratedLines()
{
    // Lines are built in the shape of an entry, each part drawn from pieces that fit it or, now
    // and then, from any piece at all, so that both matches and near misses come up often.
    QRandomGenerator random(20261211);
    const QStringList &any = fragments();
    const QStringList spaces = {u" "_s, u"\t"_s, u"\u00A0"_s, u"\u3000"_s, u"\u000B"_s, u"\r\n"_s, u"\u2028"_s, u"\u0085"_s};
    const QStringList exports = {u"export"_s, u"export "_s, u"export\t"_s, u"expor"_s};
    const QStringList keys = {u"A"_s, u"KEY"_s, u"_"_s, u"é"_s, u"界"_s, u"𝐀"_s, u"."_s, u"1"_s, u"٣"_s, u"Ⅻ"_s, u"-"_s, u"\u0301"_s};
    const QStringList values = {u"value"_s, u"x y"_s, u"#"_s, u" "_s, u"\""_s, u"'"_s, u"\\"_s, u"é"_s, u"\r"_s,
                                u"\r\n"_s, u"\u0085"_s, u"\u2029"_s, u"\u000C"_s, u"\U0001F511"_s, u"="_s};
    auto pick = [&](const QStringList &pieces, int from, int to) {
        QString text;
        for (int i = int(random.bounded(from, to + 1)); i > 0; --i)
            text += random.bounded(10) == 0 ? any[random.bounded(int(any.size()))] : pieces[random.bounded(int(pieces.size()))];
        return text;
    };
    auto chance = [&](int percent) { return int(random.bounded(100)) < percent; };

    int matches = 0;
    for (int round = 0; round < 50000; ++round) {
        QString line = pick(spaces, 0, 2);
        if (chance(30))
            line += u'#' + pick(spaces, 0, 1);
        if (chance(30))
            line += pick(exports, 1, 1) + pick(spaces, 0, 2);
        line += pick(keys, 1, 3) + pick(spaces, 0, 1);
        if (chance(90))
            line += u'=';
        line += pick(spaces, 0, 1) + pick(values, 0, 5);

        const auto active = EnvParser::matchActiveEntry(line);
        const auto commented = EnvParser::matchCommentedOutEntry(line);
        const QString context = visible(line);
        QVERIFY2(describe(line, active) == describe(activePattern().match(line)), qPrintable(context));
        QVERIFY2(describe(line, commented) == describe(commentedOutPattern().match(line)), qPrintable(context));
        matches += active.has_value() + commented.has_value();
    }
    QVERIFY(matches > 10000); // the generator must reach the interesting cases
}

void TestEntryMatcher::patternsAgreeOnChosenLines_data()
{
    QTest::addColumn<QString>("line");
    const QStringList lines = {
            u"export  KEY = value"_s, u"export=1"_s, u"export KEY"_s, u"exportKEY=1"_s, u"export \u2028 K=1"_s,
            u"  # export A=1"_s, u"#KEY=v"_s, u"## K=v"_s, u"K=v\r\n"_s, u"K=v\r"_s, u"K=v\u2029"_s, u"K=v\r\r"_s,
            u"K=\r\n"_s, u"K=a\rb"_s, u"K=a\r\nb"_s, u"K\u0085=v"_s, u"\u000CK=v"_s, u"K=\u00A0v"_s,
            u"𝐀𝟙=v"_s, u"_é٣.Ⅻ=v"_s, u"1K=v"_s, u"MY-KEY=1"_s, u"K=v\u0301"_s, u"\u0301K=v"_s, u"K==v"_s, u"="_s,
            u""_s, u"K\u200B=v"_s,
    };
    for (const QString &line : lines)
        QTest::newRow(qPrintable(visible(line))) << line;
}

void TestEntryMatcher::patternsAgreeOnChosenLines()
{
    QFETCH(QString, line);
    QCOMPARE(describe(line, EnvParser::matchActiveEntry(line)), describe(activePattern().match(line)));
    QCOMPARE(describe(line, EnvParser::matchCommentedOutEntry(line)), describe(commentedOutPattern().match(line)));
}

KELVANE_TEST_MAIN(TestEntryMatcher)
#include "tst_entrymatcher.moc"
