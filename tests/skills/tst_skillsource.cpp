#include "common/TestEnvironment.h"
#include "skills/SkillSource.h"
#include "util/FileIO.h"
#include "util/Sha256.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

const QByteArray shippedBody = "---\nname: quorvalent\n---\n\n# Rule\nDo not edit .env files.\n";

// A tiny HTTP server on 127.0.0.1: answers by path, counts requests.
class TestServer : public QObject
{
public:
    TestServer()
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("cannot listen");
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url(const QString &path) const { return QUrl(u"http://127.0.0.1:%1%2"_s.arg(m_server.serverPort()).arg(path)); }
    int requests = 0;

private:
    void answer(QTcpSocket *socket)
    {
        const QByteArray request = socket->readAll();
        ++requests;
        const QByteArray path = request.split(' ').value(1);
        auto reply = [socket](const QByteArray &status, const QByteArray &body) {
            socket->write("HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size())
                          + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        };
        if (path == "/ok")
            reply("200 OK", shippedBody);
        else if (path == "/extra")
            reply("200 OK", shippedBody + '\n');
        else if (path == "/latin1")
            reply("200 OK", "R\xe8gle");
        else if (path == "/304")
            reply("304 Not Modified", QByteArray());
        else if (path == "/silent")
            return; // never answers
        else
            reply("404 Not Found", "missing");
    }

    QTcpServer m_server;
};

} // namespace

class TestSkillSource : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void resolves_data();
    void resolves();
    void slowServerTimesOut();
    void bundleMissingSendsNothing();
    void digestFileRules_data();
    void digestFileRules();
    void shippedResources();

private:
    std::unique_ptr<QTemporaryDir> m_bundle;
    std::unique_ptr<TestServer> m_server;
    SkillSource sourceFor(const QUrl &url, double timeout = 5.0) const
    {
        return {url, std::make_shared<ResourceBundledSkillProvider>(m_bundle->path()),
                std::make_shared<URLSessionSkillFetcher>(), timeout};
    }
    void ship(const QString &subdirectory, const QByteArray &body, const QByteArray &digest)
    {
        const QString folder = subdirectory.isEmpty() ? m_bundle->path() : m_bundle->path() + u'/' + subdirectory;
        QDir().mkpath(folder);
        if (!body.isNull())
            QVERIFY(!FileIO::writeAtomically(folder + u"/SKILL.md"_s, body));
        if (!digest.isNull())
            QVERIFY(!FileIO::writeAtomically(folder + u"/SKILL.md.sha256"_s, digest));
    }
};

void TestSkillSource::init()
{
    m_bundle = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<TestServer>();
}

void TestSkillSource::resolves_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("origin");
    QTest::newRow("verified") << u"/ok"_s << u"remoteVerified"_s;
    QTest::newRow("one more line feed") << u"/extra"_s << u"hashMismatch"_s;
    QTest::newRow("404") << u"/404"_s << u"fetchFailed"_s;
    QTest::newRow("304") << u"/304"_s << u"fetchFailed"_s;
    QTest::newRow("not utf-8") << u"/latin1"_s << u"fetchFailed"_s;
}

void TestSkillSource::resolves()
{
    QFETCH(QString, path);
    QFETCH(QString, origin);
    ship(u"Skills/quorvalent"_s, shippedBody, sha256Hex(QString::fromUtf8(shippedBody)).toUtf8() + "\n");
    const ResolvedSkill skill = sourceFor(m_server->url(path)).resolveSkill();
    QCOMPARE(skill.origin.name(), origin);
    QCOMPARE(skill.body, QString::fromUtf8(shippedBody)); // the same text either way here
    QCOMPARE(m_server->requests, 1);
}

void TestSkillSource::slowServerTimesOut()
{
    ship(u"quorvalent"_s, shippedBody, sha256Hex(QString::fromUtf8(shippedBody)).toUtf8());
    QElapsedTimer timer;
    timer.start();
    const ResolvedSkill skill = sourceFor(m_server->url(u"/silent"_s), 0.3).resolveSkill();
    QCOMPARE(skill.origin, SkillOrigin::bundleFallback(FallbackReason::fetchFailed));
    QVERIFY(timer.elapsed() < 10000);
    // No address configured: nothing is sent, the shipped body is used.
    QCOMPARE(sourceFor(QUrl()).resolveSkill().origin, SkillOrigin::bundleFallback(FallbackReason::fetchFailed));
}

void TestSkillSource::bundleMissingSendsNothing()
{
    ship(u"Skills/quorvalent"_s, shippedBody, QByteArray()); // the body without its digest
    const ResolvedSkill skill = sourceFor(m_server->url(u"/ok"_s)).resolveSkill();
    QCOMPARE(skill, (ResolvedSkill{QString(), SkillOrigin::bundleFallback(FallbackReason::bundleMissing)}));
    QCOMPARE(m_server->requests, 0);
}

void TestSkillSource::digestFileRules_data()
{
    const QByteArray digest = sha256Hex(QString::fromUtf8(shippedBody)).toUtf8();
    QTest::addColumn<QString>("subdirectory");
    QTest::addColumn<QByteArray>("digestFile");
    QTest::addColumn<QString>("origin");
    QTest::newRow("spaces and line feed") << u"Resources/Skills/quorvalent"_s << " " + digest + " \n" << u"remoteVerified"_s;
    QTest::newRow("upper case") << u"Skills/quorvalent"_s << digest.toUpper() << u"hashMismatch"_s;
    QTest::newRow("with file name") << u"quorvalent"_s << digest + "  SKILL.md" << u"hashMismatch"_s;
    QTest::newRow("resource root") << QString() << digest << u"remoteVerified"_s;
}

void TestSkillSource::digestFileRules()
{
    QFETCH(QString, subdirectory);
    QFETCH(QByteArray, digestFile);
    QFETCH(QString, origin);
    ship(subdirectory, shippedBody, digestFile);
    QCOMPARE(sourceFor(m_server->url(u"/ok"_s)).resolveSkill().origin.name(), origin);
}

void TestSkillSource::shippedResources()
{
    // The program's own rule files: found, and their digest agrees with the body.
    const QString bundle = SkillCatalog::skillsResourceBundle();
    const QList<SkillEntry> entries = SkillCatalog::skillEntries(bundle);
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().id, u"quorvalent"_s);
    QCOMPARE(entries.first().displayName, u"Quorvalent (.env 가드레일)"_s);
    QCOMPARE(entries.first().source.timeout, 5.0);
    for (const QString &folder : {bundle, u":/kelvane"_s}) {
        const Result<BundledSkill, SkillFetchError> shipped = ResourceBundledSkillProvider(folder).loadBundled();
        QVERIFY2(shipped.ok(), qPrintable(folder));
        QCOMPARE(sha256Hex(shipped.value().body), shipped.value().expectedSHA256);
        QVERIFY(shipped.value().body.contains(u"kelvane-cli keys"));
        QVERIFY(shipped.value().body.startsWith(u"---\nname: quorvalent\n"));
    }
}

KELVANE_TEST_MAIN(TestSkillSource)
#include "tst_skillsource.moc"
