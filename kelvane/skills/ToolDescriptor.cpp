#include "ToolDescriptor.h"

#include "document/CharacterClasses.h"
#include "util/Paths.h"

using namespace Qt::StringLiterals;

std::optional<QString> InstallTarget::resolve(const QString &home, const std::optional<QString> &project) const
{
    const std::optional<QString> base = isProjectScoped() ? project : std::optional(home);
    if (!base)
        return std::nullopt;
    return Paths::child(*base, m_relativePath);
}

QString SkillBodyParser::stripFrontMatter(const QString &body)
{
    const QStringList lines = body.split(u'\n');
    if (lines.isEmpty() || CharacterClasses::trimmedBlank(lines.first()) != u"---")
        return body;
    qsizetype closing = -1;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (CharacterClasses::trimmedBlank(lines[i]) == u"---") {
            closing = i;
            break;
        }
    }
    if (closing < 0)
        return body;
    QString rest = lines.sliced(closing + 1).join(u'\n');
    qsizetype start = 0;
    while (start < rest.size() && (rest[start] == u'\n' || rest[start] == u'\r'))
        ++start;
    return rest.sliced(start);
}

QString PassthroughTransformer::transform(const QString &body) const
{
    return body;
}

QString AgentsMdTransformer::transform(const QString &body) const
{
    return SkillBodyParser::stripFrontMatter(body);
}

const QString CopilotTransformer::frontMatter = u"---\napplyTo: \"**/.env,**/.env.*\"\n---\n\n"_s;

QString CopilotTransformer::transform(const QString &body) const
{
    return frontMatter + SkillBodyParser::stripFrontMatter(body);
}

const QString WindsurfTransformer::frontMatter =
        u"---\ntrigger: glob\ndescription: \".env 파일 직접 수정 차단\"\nglobs: \"**/.env*\"\n---\n\n"_s;

QString WindsurfTransformer::transform(const QString &body) const
{
    return frontMatter + SkillBodyParser::stripFrontMatter(body);
}

const QString CursorTransformer::frontMatter =
        u"---\ndescription: \".env 파일 직접 수정을 금지하고 모든 변경을 Quorvalent 앱으로 라우팅합니다.\"\nglobs:\n"
        u"  - \"**/.env\"\n  - \"**/.env.*\"\nalwaysApply: false\n---\n\n"_s;

QString CursorTransformer::transform(const QString &body) const
{
    return frontMatter + SkillBodyParser::stripFrontMatter(body);
}

const QList<ToolDescriptor> &ToolDescriptor::all()
{
    static const PassthroughTransformer passthrough;
    static const AgentsMdTransformer agentsMd;
    static const CopilotTransformer copilot;
    static const WindsurfTransformer windsurf;
    static const CursorTransformer cursor;
    static const QList<ToolDescriptor> tools = {
            {u"claude-code"_s, u"Claude Code"_s, InstallTarget::globalDedicated(u".claude/skills/quorvalent/SKILL.md"_s), &passthrough},
            {u"codex-cli"_s, u"OpenAI Codex CLI"_s, InstallTarget::globalMarker(u".codex/AGENTS.md"_s), &agentsMd},
            {u"opencode"_s, u"OpenCode"_s, InstallTarget::globalMarker(u".config/opencode/AGENTS.md"_s), &agentsMd},
            {u"cursor"_s, u"Cursor"_s, InstallTarget::projectDedicated(u".cursor/rules/quorvalent.mdc"_s), &cursor},
            {u"copilot"_s, u"GitHub Copilot"_s,
             InstallTarget::projectDedicated(u".github/instructions/quorvalent.instructions.md"_s), &copilot},
            {u"windsurf"_s, u"Windsurf"_s, InstallTarget::globalMarker(u".codeium/windsurf/memories/global_rules.md"_s), &windsurf},
            {u"gemini"_s, u"Gemini Code Assist"_s, InstallTarget::globalMarker(u".gemini/GEMINI.md"_s), &agentsMd},
            {u"cline"_s, u"Cline"_s, InstallTarget::globalDedicated(u"Documents/Cline/Rules/quorvalent.md"_s), &passthrough},
            {u"continue"_s, u"Continue.dev"_s, InstallTarget::globalDedicated(u".continue/rules/quorvalent.md"_s), &passthrough},
            {u"roo-code"_s, u"Roo Code"_s, InstallTarget::globalDedicated(u".roo/rules/quorvalent.md"_s), &passthrough},
            {u"amp"_s, u"Sourcegraph Amp"_s, InstallTarget::globalMarker(u".config/amp/AGENTS.md"_s), &agentsMd},
            {u"zed"_s, u"Zed AI"_s, InstallTarget::projectMarker(u".rules"_s), &agentsMd},
            {u"junie"_s, u"Junie"_s, InstallTarget::projectMarker(u".junie/AGENTS.md"_s), &agentsMd},
            {u"replit"_s, u"Replit Agent"_s, InstallTarget::projectMarker(u"replit.md"_s), &agentsMd},
    };
    return tools;
}
