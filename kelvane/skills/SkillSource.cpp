#include "SkillSource.h"

#include "document/CharacterClasses.h"
#include "util/FileIO.h"
#include "util/Sha256.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

using namespace Qt::StringLiterals;

QString SkillOrigin::name() const
{
    if (!m_reason)
        return u"remoteVerified"_s;
    switch (*m_reason) {
    case FallbackReason::fetchFailed:
        return u"fetchFailed"_s;
    case FallbackReason::hashMismatch:
        return u"hashMismatch"_s;
    case FallbackReason::bundleMissing:
        break;
    }
    return u"bundleMissing"_s;
}

namespace {

SkillFetchError bundleMissing()
{
    return {SkillFetchError::Kind::bundleMissing, 0, QString()};
}

// Reads a shipped file, from disk or from the built-in resources.
std::optional<QString> readText(const QString &path)
{
    if (path.startsWith(u':')) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        const Result<QString> text = FileIO::decodeUtf8(file.readAll());
        return text ? std::optional(text.value()) : std::nullopt;
    }
    const Result<QString> text = FileIO::readUtf8(path);
    return text ? std::optional(text.value()) : std::nullopt;
}

} // namespace

ResourceBundledSkillProvider::ResourceBundledSkillProvider(QString folder)
    : bundle(std::move(folder)),
      subdirectoryCandidates{u"Skills/quorvalent"_s, u"Resources/Skills/quorvalent"_s, u"quorvalent"_s, std::nullopt}
{
}

Result<BundledSkill, SkillFetchError> ResourceBundledSkillProvider::loadBundled() const
{
    auto locate = [this](const QString &name, const QString &extension) -> std::optional<QString> {
        for (const std::optional<QString> &subdirectory : subdirectoryCandidates) {
            const QString folder = subdirectory ? bundle + u'/' + *subdirectory : bundle;
            const QString file = folder + u'/' + name + u'.' + extension;
            if (QFileInfo(file).isFile())
                return file;
        }
        return std::nullopt;
    };
    const std::optional<QString> bodyFile = locate(bodyResourceName, bodyResourceExtension);
    const std::optional<QString> hashFile = locate(hashResourceName, hashResourceExtension);
    if (!bodyFile || !hashFile)
        return bundleMissing();
    const std::optional<QString> body = readText(*bodyFile);
    const std::optional<QString> hash = readText(*hashFile);
    if (!body || !hash)
        return bundleMissing();
    return BundledSkill{*body, CharacterClasses::trimmedBlankAndNewline(*hash).toString()};
}

Result<QString, SkillFetchError> URLSessionSkillFetcher::fetch(const QUrl &location, double timeoutSeconds) const
{
    if (!location.isValid() || location.isEmpty())
        return SkillFetchError{SkillFetchError::Kind::transport, 0, u"no address configured"_s};
    // Runs on the installer's worker thread, which has no event loop of its own.
    QNetworkAccessManager network;
    QNetworkRequest request(location);
    request.setTransferTimeout(int(timeoutSeconds * 1000));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply->error() != QNetworkReply::NoError && !status.isValid())
        return SkillFetchError{SkillFetchError::Kind::transport, 0, reply->errorString()};
    if (!status.isValid())
        return SkillFetchError{SkillFetchError::Kind::badResponse, -1, QString()};
    const int code = status.toInt();
    if (code < 200 || code > 299)
        return SkillFetchError{SkillFetchError::Kind::badResponse, code, QString()};
    const Result<QString> text = FileIO::decodeUtf8(reply->readAll());
    if (!text)
        return SkillFetchError{SkillFetchError::Kind::invalidEncoding, 0, QString()};
    return text.value();
}

ResolvedSkill SkillSource::resolveSkill() const
{
    const Result<BundledSkill, SkillFetchError> bundled = bundleProvider->loadBundled();
    if (!bundled)
        return {QString(), SkillOrigin::bundleFallback(FallbackReason::bundleMissing)};
    const Result<QString, SkillFetchError> downloaded = fetcher->fetch(remoteURL, timeout);
    if (!downloaded)
        return {bundled.value().body, SkillOrigin::bundleFallback(FallbackReason::fetchFailed)};
    if (sha256Hex(downloaded.value()) != bundled.value().expectedSHA256)
        return {bundled.value().body, SkillOrigin::bundleFallback(FallbackReason::hashMismatch)};
    return {downloaded.value(), SkillOrigin::remoteVerified()};
}

QString SkillCatalog::skillsResourceBundle()
{
    for (const QString &folder : {QStringLiteral(KELVANE_INSTALLED_DATA_DIR), QStringLiteral(KELVANE_BUILD_DATA_DIR)}) {
        if (QFileInfo(folder + u"/Skills/quorvalent/SKILL.md"_s).isFile())
            return folder;
    }
    return u":/kelvane"_s;
}

QUrl SkillCatalog::remoteURL()
{
    static const QUrl url(QStringLiteral(KELVANE_SKILL_URL));
    return url;
}

QList<SkillEntry> SkillCatalog::skillEntries(const QString &bundle)
{
    return {SkillEntry{u"quorvalent"_s, u"Quorvalent (.env 가드레일)"_s,
                       SkillSource{remoteURL(), std::make_shared<ResourceBundledSkillProvider>(bundle),
                                   std::make_shared<URLSessionSkillFetcher>(), 5.0}}};
}
