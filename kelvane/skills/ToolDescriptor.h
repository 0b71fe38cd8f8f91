#pragma once

#include <QList>
#include <QString>

#include <optional>

// Where a tool's rule file lives, and whether Kelvane owns the whole file or only a managed
// block inside a file the user shares with rules of their own.
class InstallTarget
{
public:
    enum class Kind { globalDedicated, globalMarker, projectDedicated, projectMarker };

    static InstallTarget globalDedicated(QString homeRelativePath) { return {Kind::globalDedicated, std::move(homeRelativePath)}; }
    static InstallTarget globalMarker(QString homeRelativePath) { return {Kind::globalMarker, std::move(homeRelativePath)}; }
    static InstallTarget projectDedicated(QString projectRelativePath) { return {Kind::projectDedicated, std::move(projectRelativePath)}; }
    static InstallTarget projectMarker(QString projectRelativePath) { return {Kind::projectMarker, std::move(projectRelativePath)}; }

    Kind kind() const { return m_kind; }
    const QString &relativePath() const { return m_relativePath; }
    bool isProjectScoped() const { return m_kind == Kind::projectDedicated || m_kind == Kind::projectMarker; }
    bool usesMarker() const { return m_kind == Kind::globalMarker || m_kind == Kind::projectMarker; }

    // The file's absolute path below the home folder, or below the project folder for the
    // project cases (nothing without a project). No normalisation, no existence check.
    std::optional<QString> resolve(const QString &home, const std::optional<QString> &project) const;

    bool operator==(const InstallTarget &) const = default;

private:
    InstallTarget(Kind kind, QString path) : m_kind(kind), m_relativePath(std::move(path)) {}

    Kind m_kind;
    QString m_relativePath;
};

// Turns the rule body into what a tool's file holds (for shared files: what goes inside the
// managed block).
class Transformer
{
public:
    virtual ~Transformer() = default;
    virtual QString transform(const QString &body) const = 0;
};

// The body as it is, front matter included.
class PassthroughTransformer : public Transformer
{
public:
    QString transform(const QString &body) const override;
};

// The body without its front matter.
class AgentsMdTransformer : public Transformer
{
public:
    QString transform(const QString &body) const override;
};

// Front matter of the tool's own kind, then the body without its front matter.
class CopilotTransformer : public Transformer
{
public:
    static const QString frontMatter; // 38 bytes
    QString transform(const QString &body) const override;
};

class WindsurfTransformer : public Transformer
{
public:
    static const QString frontMatter; // 89 bytes of UTF-8
    QString transform(const QString &body) const override;
};

class CursorTransformer : public Transformer
{
public:
    static const QString frontMatter; // 180 bytes of UTF-8
    QString transform(const QString &body) const override;
};

namespace SkillBodyParser {
// The body without a leading block of lines enclosed by two "---" lines (blanks around the
// hyphens allowed) and the line breaks that follow it; unchanged when there is no such block.
QString stripFrontMatter(const QString &body);
} // namespace SkillBodyParser

// One supported AI coding tool.
struct ToolDescriptor {
    QString id;
    QString displayName;
    InstallTarget target;
    const Transformer *transformer; // stateless, lives for the whole program

    // The fourteen tools, in the order they are installed and reported.
    static const QList<ToolDescriptor> &all();
};
