// Every backend operation across a real socket to the local server, and its failure rows through
// the server's fault knobs.

#include "backend/api_client.h"
#include "platform/async.h"
#include "platform/network.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "helpers_backend.h"

#include "http/http_server.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <httplib.h>

using namespace hf;
using hf::test::LocalServer;
using hf::test::runTask;
using hf::test::expectAPIError;

namespace {

QString base64Url(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// Follows one redirect of a sign-in page and gives its Location.
QString locationOf(const QUrl& page)
{
    httplib::Client client(page.host().toStdString(), page.port());
    auto result = client.Get(page.path(QUrl::FullyEncoded).toStdString()
                             + (page.hasQuery() ? "?" + page.query(QUrl::FullyEncoded).toStdString() : ""));
    if (!result || result->status != 302)
        return {};
    return QString::fromStdString(result->get_header_value("Location"));
}

} // namespace

class TestAPIOperations : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    std::unique_ptr<QNetworkAccessManager> session;
    InMemoryTokenStore store;
    std::unique_ptr<APIClient> client;
    int invalidations = 0;

    void makeClient()
    {
        client = std::make_unique<APIClient>(server->baseUrl(), session.get(), &store);
        client->onSessionInvalidated = [this] { ++invalidations; };
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<LocalServer>([](hf::server::ServerOptions& o) { o.anonymousLimit = 3; });
        session.reset(makeEphemeralNetworkSession(nullptr));
        store.clear();
        invalidations = 0;
        makeClient();
    }

    void cleanup()
    {
        client.reset();
        session.reset();
        server.reset();
    }

    void sessionLifecycle()
    {
        // No token: no request at all (a dropped connection would otherwise fail the call).
        server->addFault({{"method", "GET"}, {"path", "/api/auth/get-session"}, {"drop", true}});
        QVERIFY(!runTask(client->getSession()));
        server->clearFaults();

        const auto anonymous = runTask(client->signInAnonymously());
        QVERIFY(anonymous);
        QCOMPARE(anonymous->isAnonymous, std::optional<bool>(true));
        QVERIFY(store.token());

        const auto restored = runTask(client->getSession());
        QVERIFY(restored);
        QCOMPARE(restored->user.id, anonymous->id);
        QCOMPARE(runTask(client->account()).user.id, anonymous->id);

        // A social sign-in carries the anonymous account over (its token rides along).
        const QString idToken = server->identityToken();
        QVERIFY(!idToken.isEmpty());
        SocialSignInRequest request;
        request.provider = AuthProvider::google;
        request.idToken.token = idToken;
        const auto signedIn = runTask(client->signInSocial(request));
        QVERIFY(signedIn);
        QCOMPARE(signedIn->isAnonymous, std::optional<bool>(false));
        QCOMPARE(signedIn->email, std::optional<QString>(QStringLiteral("tester@example.com")));

        // Sign-out ends the session on the server and clears the token.
        const QString oldToken = *store.token();
        runTask(client->signOut());
        QVERIFY(!store.token());
        store.save(oldToken);
        QVERIFY(!runTask(client->getSession())); // rejected: absent, not an error
        QVERIFY(!store.token());
        QCOMPARE(invalidations, 1);

        // Sign-out with the server unreachable still clears the token, and never throws.
        store.save(QStringLiteral("whatever"));
        server->addFault({{"method", "POST"}, {"path", "/api/auth/sign-out"}, {"drop", true}});
        runTask(client->signOut());
        QVERIFY(!store.token());
    }

    void anonymousLimitAndDeletion()
    {
        for (int i = 0; i < 3; ++i)
            QVERIFY(runTask(client->signInAnonymously()));
        const auto e = expectAPIError([&] { runTask(client->signInAnonymously()); });
        QCOMPARE(e.kind(), APIError::Case::accountLimitReached);
        // The last account is still signed in; delete it.
        runTask(client->deleteAccount());
        const auto gone = expectAPIError([&] { runTask(client->account()); });
        QCOMPARE(gone.kind(), APIError::Case::signInRequired);
    }

    void jobLifecycle()
    {
        if (!hf::test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs the ffmpeg program");
        QTemporaryDir dir;
        const QString audio = dir.filePath(QStringLiteral("a.m4a"));
        QCOMPARE(QProcess::execute(QStringLiteral("ffmpeg"),
                                   {"-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2", "-ac", "2",
                                    "-c:a", "aac", audio}),
                 0);
        runTask(client->signInAnonymously());
        const auto created = runTask(client->createJob(CreateJobRequest{JobKind::preview, 2.0, QStringLiteral("audio/mp4"), std::nullopt}));
        QCOMPARE(created.job.status, JobStatus::awaitingUpload);
        QCOMPARE(created.upload.method, QStringLiteral("PUT"));

        // Upload as the instruction says.
        QFile file(audio);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::string bytes = file.readAll().toStdString();
        httplib::Client storage(created.upload.url.host().toStdString(), created.upload.url.port());
        httplib::Headers headers;
        for (auto it = created.upload.headers.begin(); it != created.upload.headers.end(); ++it)
            if (it.key().compare(QStringLiteral("Content-Type"), Qt::CaseInsensitive) != 0)
                headers.emplace(it.key().toStdString(), it.value().toStdString());
        auto put = storage.Put((created.upload.url.path() + u'?' + created.upload.url.query()).toStdString(), headers,
                               bytes, created.upload.headers.value(QStringLiteral("Content-Type")).toStdString());
        QVERIFY(put && put->status / 100 == 2);

        auto started = runTask(client->startJob(created.job.id));
        QVERIFY(started.status == JobStatus::queued || started.status == JobStatus::processing
                || started.status == JobStatus::succeeded);
        CloudJob current = started;
        QVERIFY(hf::test::waitUntil([&] {
            current = runTask(client->job(created.job.id));
            return current.status == JobStatus::succeeded || current.status == JobStatus::failed;
        }, 60000));
        QCOMPARE(current.status, JobStatus::succeeded);
        QVERIFY(current.outputs);

        // A song check can be asked for afterwards; promotion of a preview that covers the audio.
        const auto checked = runTask(client->startClaimCheck(created.job.id));
        QVERIFY(checked.claimCheck);
        const auto promoted = runTask(client->promoteJob(created.job.id, PromoteJobRequest{2.0, std::nullopt}));
        QCOMPARE(promoted.kind, JobKind::full);

        // Cancel a job that never got its upload.
        const auto other = runTask(client->createJob(CreateJobRequest{JobKind::full, 10.0, QStringLiteral("audio/mp4"), std::nullopt}));
        QCOMPARE(runTask(client->cancelJob(other.job.id)).status, JobStatus::canceled);

        // Ids that are not opaque URL-safe identifiers never shape a request path.
        QCOMPARE(expectAPIError([&] { runTask(client->job(QStringLiteral("../../v1/account"))); }).kind(),
                 APIError::Case::invalidResponse);
        QCOMPARE(expectAPIError([&] { runTask(client->job(QStringLiteral("job_unknown"))); }).code(),
                 APIErrorCode::notFound);
    }

    void webSignInHandoff()
    {
        runTask(client->signInAnonymously());
        const QString verifier = base64Url(QByteArray(32, 'x'));
        const QString challenge = base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
        const QUrl page = runTask(client->startHandoff(AuthProvider::apple, challenge));
        QVERIFY(page.scheme() == u"http");
        const QUrl callback(locationOf(page));
        QCOMPARE(callback.scheme(), QStringLiteral("hushframe-direct"));
        const QString code = QUrlQuery(callback).queryItemValue(QStringLiteral("code"));
        QVERIFY(!code.isEmpty());

        // A wrong verifier is refused and stores nothing; the right one signs in once.
        const QString before = *store.token();
        expectAPIError([&] { runTask(client->redeemHandoff(code, base64Url(QByteArray(32, 'y')))); });
        QCOMPARE(*store.token(), before);
        const auto user = runTask(client->redeemHandoff(code, verifier));
        QVERIFY(user);
        QVERIFY(*store.token() != before);
        expectAPIError([&] { runTask(client->redeemHandoff(code, verifier)); }); // single use
    }

    void failureRows()
    {
        runTask(client->signInAnonymously());
        // 5xx: a server error, not a network error.
        server->addFault({{"method", "GET"}, {"path", "/v1/me"}, {"status", 500}, {"times", 1}});
        QCOMPARE(expectAPIError([&] { runTask(client->account()); }).code(), APIErrorCode::internal);
        // A malformed body: the server's fault for a generic call; an absent session for getSession.
        server->addFault({{"method", "GET"}, {"path", "/v1/me"}, {"malformed", true}, {"times", 1}});
        QCOMPARE(expectAPIError([&] { runTask(client->account()); }), APIError::brokenAnswer(200));
        server->addFault({{"method", "GET"}, {"path", "/api/auth/get-session"}, {"malformed", true}, {"times", 1}});
        QVERIFY(!runTask(client->getSession()));
        // A dropped connection: a network error.
        // (Qt resends an idempotent request once on a dropped keep-alive connection, so the fault
        // stays until cleared.)
        server->addFault({{"method", "GET"}, {"path", "/v1/me"}, {"drop", true}});
        QCOMPARE(expectAPIError([&] { runTask(client->account()); }).kind(), APIError::Case::network);
        server->clearFaults();

        // Every token rejected: one shared re-authentication, a retry, then the session is lost.
        int reauths = 0;
        client->silentReauthenticator = [this, &reauths]() -> QCoro::Task<bool> {
            ++reauths;
            co_return (co_await client->signInAnonymously()).has_value();
        };
        server->rejectTokens(true);
        QCOMPARE(expectAPIError([&] { runTask(client->account()); }).kind(), APIError::Case::signInRequired);
        QCOMPARE(reauths, 1);
        QCOMPARE(invalidations, 1);
        server->rejectTokens(false);
        // With a working re-authentication a lapsed session is repaired transparently.
        store.save(QStringLiteral("lapsed"));
        QVERIFY(!runTask(client->account()).user.id.isEmpty());
        QCOMPARE(reauths, 2);
    }

    void renewedTokenIsCaptured()
    {
        server = std::make_unique<LocalServer>([](hf::server::ServerOptions& o) { o.sessionRefreshSeconds = 0; });
        makeClient();
        runTask(client->signInAnonymously());
        const QString first = *store.token();
        // With a refresh age of zero every authenticated answer renews the session.
        runTask(client->account());
        QVERIFY(store.token());
        QVERIFY(*store.token() != first);
        // The renewed token works.
        QVERIFY(runTask(client->getSession()));
    }
};

QTEST_GUILESS_MAIN(TestAPIOperations)
#include "test_api_operations.moc"
