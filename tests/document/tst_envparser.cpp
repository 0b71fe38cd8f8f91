#include "common/TestEnvironment.h"
#include "document/EnvParser.h"
#include "util/FileIO.h"

#include <QSet>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

// One entry as "key=value" followed by its flags, so a table row reads like the line it came from.
QString describe(const EditableEnvEntry &entry)
{
    QString text = entry.key + u'=' + entry.value;
    if (entry.isExported)
        text += u" [export]";
    if (entry.isCommentedOut)
        text += u" [commented]";
    if (entry.inlineComment)
        text += u" [comment:"_s + *entry.inlineComment + u']';
    if (const auto *encrypted = entry.encryption.get<EncryptionState::Encrypted>())
        text += u" [encrypted:"_s + encrypted->ciphertext + u']';
    return text;
}

QStringList describeEntries(const EnvDocument &document)
{
    QStringList lines;
    for (const EditableEnvEntry &entry : document.entries)
        lines << describe(entry);
    return lines;
}

// Layout as "P:text" for preserved lines and "E:n" for the n-th entry.
QStringList describeLayout(const EnvDocument &document)
{
    QStringList items;
    for (const EnvDocument::LayoutItem &item : document.layout) {
        if (const auto *preserved = item.asPreserved()) {
            items << u"P:"_s + preserved->text;
        } else {
            qsizetype index = -1;
            for (qsizetype i = 0; i < document.entries.size(); ++i) {
                if (document.entries[i].id == item.asEntry()->id)
                    index = i;
            }
            items << u"E:"_s + QString::number(index);
        }
    }
    return items;
}

// Sections as "title|description|KEY,KEY"; "-" stands for an absent title or description.
QStringList describeSections(const EnvDocument &document)
{
    QStringList sections;
    for (const EnvSection &section : document.sections) {
        QStringList keys;
        for (const QUuid &id : section.entryIDs) {
            for (const EditableEnvEntry &entry : document.entries) {
                if (entry.id == id)
                    keys << entry.key;
            }
        }
        sections << section.headerTitle.value_or(u"-"_s) + u"|"_s + section.headerDescription.value_or(u"-"_s) + u'|'
                        + keys.join(u',');
    }
    return sections;
}

} // namespace

class TestEnvParser : public QObject
{
    Q_OBJECT

private slots:
    void singleLines_data();
    void singleLines();
    void layout_data();
    void layout();
    void sections_data();
    void sections();
    void idsAreFreshAndUnique();
    void encryptionState();
    void keyPairPredicates_data();
    void keyPairPredicates();
    void parsedStringsAreIndependent();
    void load();
};

void TestEnvParser::singleLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("entries"); // empty: the line is preserved

    auto row = [](const char *name, const QString &line, const QStringList &entries) {
        QTest::newRow(name) << line << entries;
    };
    // Values and inline comments.
    row("comment", u"KEY=value # note"_s, {u"KEY=value [comment:note]"_s});
    row("hash inside word", u"KEY=val#ue"_s, {u"KEY=val#ue"_s});
    row("empty comment", u"KEY=value #"_s, {u"KEY=value"_s});
    row("comment trimmed", u"KEY=value \t#\t note \t"_s, {u"KEY=value [comment:note]"_s});
    row("hash right after equals", u"KEY= # note"_s, {u"KEY=# note"_s});
    row("quoted hash", u"KEY=\"a # b\" # c"_s, {u"KEY=\"a # b\" [comment:c]"_s});
    row("escaped quote", u"KEY=\"a\\\"b\" # c"_s, {u"KEY=\"a\\\"b\" [comment:c]"_s});
    row("unterminated quote", u"KEY=\"abc # c"_s, {u"KEY=\"abc # c"_s});
    row("single quotes", u"KEY='a # b' # c"_s, {u"KEY='a # b' [comment:c]"_s});
    row("unterminated single", u"KEY='a # b"_s, {u"KEY='a # b"_s});
    row("quote then text", u"KEY=\"a\"b # c"_s, {u"KEY=\"a\"b [comment:c]"_s});
    row("closing quote last", u"KEY=\"a # b\""_s, {u"KEY=\"a # b\""_s});
    row("backslash before end", u"KEY=\"ab\\\" # c"_s, {u"KEY=\"ab\\\" # c"_s});
    row("trailing blanks kept", u"KEY=value  "_s, {u"KEY=value  "_s});
    row("empty value", u"KEY="_s, {u"KEY="_s});
    row("spaces around equals", u"  KEY  =  value"_s, {u"KEY=value"_s});
    row("nbsp before hash", u"KEY=a\u00A0# c"_s, {u"KEY=a [comment:c]"_s});
    row("hash with combining mark", u"KEY=a #\u0301 c"_s, {u"KEY=a #\u0301 c"_s});
    row("quote with combining mark", u"KEY=\"\u0301a # c"_s, {u"KEY=\"\u0301a [comment:c]"_s});
    row("closing quote with combining mark", u"KEY=\"a\"\u0301 # c\" # d"_s, {u"KEY=\"a\"\u0301 # c\" [comment:d]"_s});
    row("emoji value", u"KEY=🔑🔑 # c"_s, {u"KEY=🔑🔑 [comment:c]"_s});
    // export.
    row("export", u"export  KEY = value"_s, {u"KEY=value [export]"_s});
    row("export tab", u"export\tKEY=1"_s, {u"KEY=1 [export]"_s});
    row("export as key", u"export=1"_s, {u"export=1"_s});
    row("export as key spaced", u"export = 1"_s, {u"export=1"_s});
    row("exportfoo", u"exportFOO=1"_s, {u"exportFOO=1"_s});
    row("export without equals", u"export KEY"_s, {});
    // Commented-out entries and comments.
    row("commented export", u"# export API_PORT=8080"_s, {u"API_PORT=8080 [export] [commented]"_s});
    row("comment text", u"# Database settings"_s, {});
    row("commented note", u"# Note=x"_s, {u"Note=x [commented]"_s});
    row("commented tight", u"#KEY=v"_s, {u"KEY=v [commented]"_s});
    row("double hash", u"## KEY=v"_s, {});
    row("banner", u"#/ KEY=v"_s, {});
    // Keys.
    row("hyphen key", u"MY-KEY=1"_s, {});
    row("digit first", u"1KEY=2"_s, {});
    row("plain words", u"plain words"_s, {});
    row("dotted key", u"a.b_c9=1"_s, {u"a.b_c9=1"_s});
    row("underscore key", u"_=1"_s, {u"_=1"_s});
    row("unicode key", u"Schlüssel_٣=1"_s, {u"Schlüssel_٣=1"_s});
    row("supplementary letter key", u"𝐀𝐁=1"_s, {u"𝐀𝐁=1"_s});
    row("key with space", u"MY KEY=1"_s, {});
    // Encrypted values.
    row("encrypted dq", u"KEY=\"encrypted:abc\""_s, {u"KEY=\"encrypted:abc\" [encrypted:\"encrypted:abc\"]"_s});
    row("encrypted sq", u"KEY='encrypted:abc'"_s, {u"KEY='encrypted:abc' [encrypted:'encrypted:abc']"_s});
    row("encrypted bare", u"KEY=encrypted:"_s, {u"KEY=encrypted: [encrypted:encrypted:]"_s});
    row("encrypted commented", u"# KEY=encrypted:abc"_s, {u"KEY=encrypted:abc [commented] [encrypted:encrypted:abc]"_s});
    row("encrypted half quoted", u"KEY=\"encrypted:abc"_s, {u"KEY=\"encrypted:abc"_s});
    row("encrypted mixed quotes", u"KEY=\"encrypted:abc'"_s, {u"KEY=\"encrypted:abc'"_s});
    row("encrypted uppercase", u"KEY=ENCRYPTED:abc"_s, {u"KEY=ENCRYPTED:abc"_s});
    row("encrypted with comment", u"KEY=encrypted:abc # c"_s, {u"KEY=encrypted:abc [comment:c] [encrypted:encrypted:abc]"_s});
    row("encrypted trailing blank", u"KEY=\"encrypted:x\" "_s, {u"KEY=\"encrypted:x\"  [encrypted:\"encrypted:x\" ]"_s});
    // Line terminators inside a line (CR LF pairs, lone CR, VT, NEL, LS do not cut lines).
    row("final crlf", u"KEY=value\r\n"_s, {u"KEY=value"_s});
    row("final cr", u"KEY=value\r"_s, {u"KEY=value"_s});
    row("final nel", u"KEY=value\u0085"_s, {u"KEY=value"_s});
    row("final ls", u"KEY=value\u2028"_s, {u"KEY=value"_s});
    row("cr in middle", u"KEY=a\rb"_s, {});
    row("crlf in middle", u"KEY=a\r\nb"_s, {});
    row("two terminators", u"KEY=a\r\r"_s, {});
    row("only terminators after equals", u"KEY=\r\n"_s, {u"KEY="_s});
    row("terminator before equals", u"KEY\u2028=1"_s, {u"KEY=1"_s});
    row("vertical tab lead", u"\u000BKEY=1"_s, {u"KEY=1"_s});
    row("vertical tab before hash", u"\u000B# KEY=1"_s, {});
}

void TestEnvParser::singleLines()
{
    QFETCH(QString, line);
    QFETCH(QStringList, entries);
    const EnvDocument document = EnvParser::parse(line);
    QCOMPARE(describeEntries(document), entries);
    if (entries.isEmpty())
        QCOMPARE(describeLayout(document), QStringList{u"P:"_s + line});
}

void TestEnvParser::layout_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<bool>("hadTrailingNewline");

    QTest::newRow("empty") << QString() << QStringList{u"P:"_s} << false;
    QTest::newRow("one line feed") << u"\n"_s << QStringList{u"P:"_s} << true;
    QTest::newRow("two line feeds") << u"\n\n"_s << QStringList{u"P:"_s, u"P:"_s} << true;
    QTest::newRow("entry lf") << u"A=1\n"_s << QStringList{u"E:0"_s} << true;
    QTest::newRow("entry lf lf") << u"A=1\n\n"_s << QStringList{u"E:0"_s, u"P:"_s} << true;
    QTest::newRow("no final lf") << u"# c\nA=1"_s << QStringList{u"P:# c"_s, u"E:0"_s} << false;
    QTest::newRow("crlf file") << u"A=1\r\nB=2\r\n"_s << QStringList{u"P:A=1\r\nB=2\r\n"_s} << false;
    QTest::newRow("crlf then lf") << u"A=1\r\n\n"_s << QStringList{u"E:0"_s} << true;
    QTest::newRow("mixed") << u"A=1\nB=2\r\nC=3\n"_s << QStringList{u"E:0"_s, u"P:B=2\r\nC=3"_s} << true;
    QTest::newRow("banner and junk") << u"#/---\nMY-KEY=1\nB=2"_s
                                     << QStringList{u"P:#/---"_s, u"P:MY-KEY=1"_s, u"E:0"_s} << false;
    QTest::newRow("bom kept") << u"\uFEFFA=1\nB=2\n"_s << QStringList{u"P:\uFEFFA=1"_s, u"E:0"_s} << true;
}

void TestEnvParser::layout()
{
    QFETCH(QString, text);
    QFETCH(QStringList, layout);
    QFETCH(bool, hadTrailingNewline);
    const EnvDocument document = EnvParser::parse(text);
    QCOMPARE(describeLayout(document), layout);
    QCOMPARE(document.hadTrailingNewline, hadTrailingNewline);
}

void TestEnvParser::sections_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("sections");

    QTest::newRow("title and description")
            << u"# Title\n# more\n# even more\nA=1\nB=2\n\nC=3\n"_s
            << QStringList{u"Title|more\neven more|A,B"_s, u"-|-|C"_s};
    QTest::newRow("blank line empties the buffer") << u"# Orphan\n\nA=1\n"_s << QStringList{u"-|-|A"_s};
    QTest::newRow("comment after entry closes") << u"A=1\n# Next\nB=2\n"_s << QStringList{u"-|-|A"_s, u"Next|-|B"_s};
    QTest::newRow("banner neither heads nor closes") << u"# T\n#/ banner\nA=1\n#/ banner\nB=2\n"_s
                                                     << QStringList{u"T|-|A,B"_s};
    QTest::newRow("junk does not split") << u"A=1\nMY-KEY=1\nplain words\nB=2"_s << QStringList{u"-|-|A,B"_s};
    QTest::newRow("nested hashes") << u"## Title\n#\n#  x \nA=1"_s << QStringList{u"# Title|\nx|A"_s};
    QTest::newRow("commented entry joins") << u"# T\n# A=1\nB=2"_s << QStringList{u"T|-|A,B"_s};
    QTest::newRow("blank-only line flushes") << u"A=1\n \t\nB=2"_s << QStringList{u"-|-|A"_s, u"-|-|B"_s};
    QTest::newRow("comments without entries") << u"# a\n# b\n"_s << QStringList{};
    QTest::newRow("duplicate keys stay separate") << u"A=1\nA=2"_s << QStringList{u"-|-|A,A"_s};
}

void TestEnvParser::sections()
{
    QFETCH(QString, text);
    QFETCH(QStringList, sections);
    QCOMPARE(describeSections(EnvParser::parse(text)), sections);
}

void TestEnvParser::idsAreFreshAndUnique()
{
    const QString text = u"# T\nA=1\nB=2\n\nA=3\n"_s;
    const EnvDocument first = EnvParser::parse(text);
    const EnvDocument second = EnvParser::parse(text);
    QSet<QUuid> ids;
    for (const EnvDocument *document : {&first, &second}) {
        for (const EditableEnvEntry &entry : document->entries) {
            QCOMPARE(entry.id.version(), QUuid::Random);
            QCOMPARE(entry.id.variant(), QUuid::DCE);
            ids.insert(entry.id);
        }
        for (const EnvSection &section : document->sections)
            ids.insert(section.id);
    }
    QCOMPARE(ids.size(), 2 * (3 + 2));
    QCOMPARE(describeEntries(first), describeEntries(second));
    QVERIFY(first != second); // documents compare field by field, ids included
}

void TestEnvParser::encryptionState()
{
    const auto encrypted = EncryptionState::encrypted(u"encrypted:a"_s);
    const auto pending = EncryptionState::encryptedPending(u"encrypted:a"_s, u"new"_s);
    const auto revealed = EncryptionState::revealed(u"encrypted:a"_s, u"old"_s);
    const auto plain = EncryptionState::plain();
    QVERIFY(encrypted.isMasked());
    QVERIFY(pending.isMasked());
    QVERIFY(!revealed.isMasked());
    QVERIFY(!plain.isMasked());
    for (const auto &state : {encrypted, pending, revealed})
        QCOMPARE(state.storedCiphertext(), std::optional(u"encrypted:a"_s));
    QCOMPARE(plain.storedCiphertext(), std::nullopt);
    QCOMPARE(plain, EncryptionState());
    QVERIFY(encrypted != EncryptionState::encrypted(u"encrypted:b"_s));
    QVERIFY(pending != EncryptionState::revealed(u"encrypted:a"_s, u"new"_s));
}

void TestEnvParser::keyPairPredicates_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("isPublic");
    QTest::addColumn<bool>("isPrivate");
    QTest::newRow("public") << u"DOTENV_PUBLIC_KEY"_s << true << false;
    QTest::newRow("public suffixed") << u"DOTENV_PUBLIC_KEY_PRODUCTION"_s << true << false;
    QTest::newRow("private") << u"DOTENV_PRIVATE_KEY"_s << false << true;
    QTest::newRow("private suffixed blanks") << u" DOTENV_PRIVATE_KEY_CI\t"_s << false << true;
    QTest::newRow("run on") << u"DOTENV_PUBLIC_KEYS"_s << false << false;
    QTest::newRow("lower case") << u"dotenv_public_key"_s << false << false;
    QTest::newRow("other") << u"API_KEY"_s << false << false;
}

void TestEnvParser::keyPairPredicates()
{
    QFETCH(QString, key);
    QFETCH(bool, isPublic);
    QFETCH(bool, isPrivate);
    EditableEnvEntry entry = EditableEnvEntry::blank();
    entry.key = key;
    QCOMPARE(entry.isDotenvxPublicKeyEntry(), isPublic);
    QCOMPARE(entry.isDotenvxPrivateKeyEntry(), isPrivate);
    QCOMPARE(entry.isDotenvxKeyEntry(), isPublic || isPrivate);
}

void TestEnvParser::parsedStringsAreIndependent()
{
    // The parser keeps all strings of a document in one shared block; each must still behave as
    // a string of its own: null-terminated, outliving the input, unaffected by edits of another.
    QString text = u"# c\nA=first # note\nB=second\n"_s;
    EnvDocument document = EnvParser::parse(text);
    text.fill(u'x');
    text.clear();
    QCOMPARE(document.entries[0].value, u"first"_s);
    for (const EditableEnvEntry &entry : document.entries) {
        QCOMPARE(entry.key.utf16()[entry.key.size()], u'\0');
        QCOMPARE(entry.value.utf16()[entry.value.size()], u'\0');
    }
    QCOMPARE(document.layout[0].asPreserved()->text.utf16()[3], u'\0');

    EnvDocument copy = document;
    copy.entries[0].value.append(u"-more"_s);
    copy.entries[1].key[0] = u'Z';
    copy.entries[1].value.chop(3);
    QCOMPARE(document.entries[0].value, u"first"_s);
    QCOMPARE(*document.entries[0].inlineComment, u"note"_s);
    QCOMPARE(document.entries[1].key, u"B"_s);
    QCOMPARE(document.entries[1].value, u"second"_s);
    QCOMPARE(copy.entries[0].value, u"first-more"_s);
    QCOMPARE(copy.entries[1].value, u"sec"_s);

    // The last holder of the block may grow its string in place without disturbing anything.
    QString survivor = document.entries[1].value;
    document = EnvDocument();
    copy = EnvDocument();
    survivor += u" and more"_s;
    QCOMPARE(survivor, u"second and more"_s);
}

void TestEnvParser::load()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString good = dir.filePath(u".env"_s);
    QVERIFY(!FileIO::writeAtomically(good, "# Title\nA=\xc3\xa9t\xc3\xa9\n"));
    const Result<EnvDocument> document = EnvParser::load(good);
    QVERIFY(document.ok());
    QCOMPARE(describeEntries(document.value()), QStringList{u"A=été"_s});

    const QString latin1 = dir.filePath(u".env.latin1"_s);
    QVERIFY(!FileIO::writeAtomically(latin1, "A=\xe9t\xe9\n"));
    QCOMPARE(EnvParser::load(latin1).error().code, EILSEQ);
    QCOMPARE(EnvParser::load(dir.filePath(u"missing"_s)).error().code, ENOENT);
    QCOMPARE(EnvParser::load(dir.path()).error().code, EISDIR);
}

KELVANE_TEST_MAIN(TestEnvParser)
#include "tst_envparser.moc"
