#include "common/TestEnvironment.h"
#include "skills/ToolDescriptor.h"

#include <QSet>

using namespace Qt::StringLiterals;

class TestToolDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void catalogue();
    void resolve();
    void stripFrontMatter_data();
    void stripFrontMatter();
    void transformers();
};

void TestToolDescriptor::catalogue()
{
    const QList<ToolDescriptor> &tools = ToolDescriptor::all();
    QCOMPARE(tools.size(), 14);
    QCOMPARE(&ToolDescriptor::all(), &tools);
    QStringList ids;
    int counts[4] = {};
    for (const ToolDescriptor &tool : tools) {
        ids << tool.id;
        ++counts[int(tool.target.kind())];
    }
    QCOMPARE(ids, (QStringList{u"claude-code"_s, u"codex-cli"_s, u"opencode"_s, u"cursor"_s, u"copilot"_s, u"windsurf"_s,
                               u"gemini"_s, u"cline"_s, u"continue"_s, u"roo-code"_s, u"amp"_s, u"zed"_s, u"junie"_s,
                               u"replit"_s}));
    QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), 14);
    QCOMPARE(counts[int(InstallTarget::Kind::globalDedicated)], 4);
    QCOMPARE(counts[int(InstallTarget::Kind::globalMarker)], 5);
    QCOMPARE(counts[int(InstallTarget::Kind::projectDedicated)], 2);
    QCOMPARE(counts[int(InstallTarget::Kind::projectMarker)], 3);
    QCOMPARE(tools[5].displayName, u"Windsurf"_s);
    QVERIFY(tools[5].target.usesMarker());
    QVERIFY(dynamic_cast<const WindsurfTransformer *>(tools[5].transformer));
}

void TestToolDescriptor::resolve()
{
    const InstallTarget global = InstallTarget::globalMarker(u".codex/AGENTS.md"_s);
    const InstallTarget project = InstallTarget::projectDedicated(u".cursor/rules/quorvalent.mdc"_s);
    QCOMPARE(global.resolve(u"/home/u"_s, std::nullopt), std::optional(u"/home/u/.codex/AGENTS.md"_s));
    QCOMPARE(global.resolve(u"/home/u"_s, u"/p"_s), std::optional(u"/home/u/.codex/AGENTS.md"_s));
    QCOMPARE(project.resolve(u"/home/u"_s, std::nullopt), std::nullopt);
    QCOMPARE(project.resolve(u"/home/u"_s, u"/p"_s), std::optional(u"/p/.cursor/rules/quorvalent.mdc"_s));
    QVERIFY(project.isProjectScoped() && !project.usesMarker());
    QVERIFY(!global.isProjectScoped() && global.usesMarker());
}

void TestToolDescriptor::stripFrontMatter_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("stripped");
    QTest::newRow("no front matter") << u"# Rule\ntext\n"_s << u"# Rule\ntext\n"_s;
    QTest::newRow("usual") << u"---\nname: x\n---\n\n# Rule\n"_s << u"# Rule\n"_s;
    QTest::newRow("lone delimiter") << u"---\nname: x\n# Rule"_s << u"---\nname: x\n# Rule"_s;
    QTest::newRow("two empty lines") << u"---\na: b\n---\n\n\ntext"_s << u"text"_s;
    QTest::newRow("nothing after") << u"---\na: b\n---"_s << QString();
    QTest::newRow("blanks around") << u" \t--- \na: b\n\t---\t\ntext"_s << u"text"_s;
    QTest::newRow("four hyphens") << u"----\na: b\n---\ntext"_s << u"----\na: b\n---\ntext"_s;
    QTest::newRow("hyphens and text") << u"--- x\na: b\n---\ntext"_s << u"--- x\na: b\n---\ntext"_s;
    QTest::newRow("crlf first line") << u"---\r\na: b\r\n---\r\ntext"_s << u"---\r\na: b\r\n---\r\ntext"_s;
    QTest::newRow("crlf after closing") << u"---\na: b\n---\n\r\ntext"_s << u"text"_s;
    QTest::newRow("empty") << QString() << QString();
}

void TestToolDescriptor::stripFrontMatter()
{
    QFETCH(QString, body);
    QFETCH(QString, stripped);
    QCOMPARE(SkillBodyParser::stripFrontMatter(body), stripped);
}

void TestToolDescriptor::transformers()
{
    QCOMPARE(CopilotTransformer::frontMatter.toUtf8().size(), 38);
    QCOMPARE(WindsurfTransformer::frontMatter.toUtf8().size(), 89);
    QCOMPARE(CursorTransformer::frontMatter.toUtf8().size(), 180);
    const QString body = u"---\nname: x\ndescription: y\n---\n\n# Rule\nDo not.\n"_s;
    QCOMPARE(PassthroughTransformer().transform(body), body);
    QCOMPARE(AgentsMdTransformer().transform(body), u"# Rule\nDo not.\n"_s);
    QCOMPARE(CopilotTransformer().transform(body), CopilotTransformer::frontMatter + u"# Rule\nDo not.\n"_s);
    QCOMPARE(WindsurfTransformer().transform(u"plain"_s), WindsurfTransformer::frontMatter + u"plain"_s);
    QCOMPARE(CursorTransformer().transform(body), CursorTransformer::frontMatter + u"# Rule\nDo not.\n"_s);
    QVERIFY(CursorTransformer::frontMatter.startsWith(u"---\ndescription: \".env "_s));
    QVERIFY(CursorTransformer::frontMatter.endsWith(u"alwaysApply: false\n---\n\n"_s));
}

KELVANE_TEST_MAIN(TestToolDescriptor)
#include "tst_tooldescriptor.moc"
