#pragma once

#include "util/IoError.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>
#include <variant>

// Why the shipped rule body was used instead of the published one.
enum class FallbackReason { fetchFailed, hashMismatch, bundleMissing };

// Where the rule body of an installation came from.
class SkillOrigin
{
public:
    static SkillOrigin remoteVerified() { return SkillOrigin(std::nullopt); }
    static SkillOrigin bundleFallback(FallbackReason reason) { return SkillOrigin(reason); }

    bool isRemoteVerified() const { return !m_reason; }
    // The reason, for a fallback.
    std::optional<FallbackReason> fallbackReason() const { return m_reason; }
    // "remoteVerified", "fetchFailed", "hashMismatch" or "bundleMissing".
    QString name() const;

    bool operator==(const SkillOrigin &) const = default;

private:
    explicit SkillOrigin(std::optional<FallbackReason> reason) : m_reason(reason) {}
    std::optional<FallbackReason> m_reason;
};

struct ResolvedSkill {
    QString body;
    SkillOrigin origin;
    bool operator==(const ResolvedSkill &) const = default;
};

// A failed download or a missing shipped body.
struct SkillFetchError {
    enum class Kind { badResponse, invalidEncoding, bundleMissing, transport };
    Kind kind;
    int status = 0;        // badResponse: the HTTP status, -1 when the answer was not HTTP
    QString description;   // transport: what the network layer said
};

struct BundledSkill {
    QString body;
    QString expectedSHA256;
};

// The shipped body and its digest.
class BundledSkillProvider
{
public:
    virtual ~BundledSkillProvider() = default;
    virtual Result<BundledSkill, SkillFetchError> loadBundled() const = 0;
};

// The published body. Blocking: called from the installer's background task.
class SkillRemoteFetching
{
public:
    virtual ~SkillRemoteFetching() = default;
    virtual Result<QString, SkillFetchError> fetch(const QUrl &location, double timeoutSeconds) const = 0;
};

// Looks the two shipped files up below a resource folder (a directory, or ":/..." for the
// resources built into the program), trying each subdirectory candidate in order.
class ResourceBundledSkillProvider : public BundledSkillProvider
{
public:
    explicit ResourceBundledSkillProvider(QString bundle);
    Result<BundledSkill, SkillFetchError> loadBundled() const override;

    QString bundle;
    QString bodyResourceName = QStringLiteral("SKILL");
    QString bodyResourceExtension = QStringLiteral("md");
    QString hashResourceName = QStringLiteral("SKILL.md");
    QString hashResourceExtension = QStringLiteral("sha256");
    QList<std::optional<QString>> subdirectoryCandidates;
};

// One HTTPS GET through QNetworkAccessManager, with a transfer timeout.
class URLSessionSkillFetcher : public SkillRemoteFetching
{
public:
    Result<QString, SkillFetchError> fetch(const QUrl &location, double timeoutSeconds) const override;
};

struct SkillSource {
    QUrl remoteURL;
    std::shared_ptr<const BundledSkillProvider> bundleProvider;
    std::shared_ptr<const SkillRemoteFetching> fetcher;
    double timeout = 5.0;

    // The published body when its digest equals the shipped one, else the shipped body (or an
    // empty one when nothing was shipped), with the reason. Never fails; blocking.
    ResolvedSkill resolveSkill() const;
};

struct SkillEntry {
    QString id;
    QString displayName;
    SkillSource source;
};

namespace SkillCatalog {
// The folder holding the shipped rule files: the installed data folder, the build tree, then the
// resources built into the program, whichever holds them first.
QString skillsResourceBundle();
// The published body's address (a build setting; empty means none, and nothing is downloaded).
QUrl remoteURL();
// The installable skills: the one Kelvane rule.
QList<SkillEntry> skillEntries(const QString &bundle);
} // namespace SkillCatalog
