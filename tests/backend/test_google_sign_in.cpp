// The Google sign-in layer against the local server's identity provider, with a stand-in browser
// that follows the authorization page's redirect to the loopback port: sign-in, silent restore,
// disconnect, declines and closed waits, and the account state's Google paths.

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/google_sign_in_service.h"
#include "platform/keychain.h"
#include "platform/network.h"
#include "platform/oauth_loopback_client.h"
#include "platform/settings_store.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "helpers_backend.h"

#include "http/http_server.h"

#include <QMap>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <httplib.h>
#include <QUrlQuery>

using namespace hf;
using hf::test::LocalServer;
using hf::test::runTask;
using hf::test::followPage;

namespace {

class MemoryKeychain final : public KeychainBackend {
public:
    QMap<QString, QByteArray> items;
    int calls = 0;

    static QString keyOf(const KeychainItemQuery& q)
    {
        return QString::number(int(q.form)) + u'|' + q.service + u'|' + q.account;
    }
    ReadResult copyMatching(const KeychainItemQuery& q) override
    {
        ++calls;
        if (!items.contains(keyOf(q)))
            return {};
        return {KeychainStatus::success, items.value(keyOf(q))};
    }
    int update(const KeychainItemQuery& q, const QByteArray& data) override
    {
        ++calls;
        if (!items.contains(keyOf(q)))
            return KeychainStatus::itemNotFound;
        items[keyOf(q)] = data;
        return KeychainStatus::success;
    }
    int add(const KeychainItemQuery& q, const QByteArray& data, bool) override
    {
        ++calls;
        items[keyOf(q)] = data;
        return KeychainStatus::success;
    }
    int remove(const KeychainItemQuery& q) override
    {
        ++calls;
        items.remove(keyOf(q));
        return KeychainStatus::success;
    }
};

// Loads a page and follows its http redirects, as a browser does.
class FakeBrowser {
public:
    enum class Mode { follow, decline, ignore };
    Mode mode = Mode::follow;
    int opened = 0;
    QUrl lastOpened;
    QNetworkAccessManager network;

    URLOpener opener()
    {
        return [this](const QUrl& url) {
            ++opened;
            lastOpened = url;
            if (mode == Mode::follow) {
                visit(url);
            } else if (mode == Mode::decline) {
                // What the provider's page does when the user declines.
                const QUrlQuery query(url);
                QUrl back(query.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
                back.setQuery(QStringLiteral("error=access_denied&state=")
                              + query.queryItemValue(QStringLiteral("state"), QUrl::FullyEncoded));
                visit(back);
            }
            return true;
        };
    }

    void visit(const QUrl& url) { followPage(network, url); }
};

} // namespace

class TestGoogleSignIn : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    std::shared_ptr<MemoryKeychain> keychain;
    FakeBrowser browser;
    std::unique_ptr<OAuthLoopbackClient> client;
    QNetworkAccessManager oauthNetwork;

    // Kept-alive connections would hold the server's stop until they time out.
    void dropConnections()
    {
        browser.network.clearConnectionCache();
        oauthNetwork.clearConnectionCache();
    }

    // A new process: a new client on the same keychain, configured.
    void relaunchGoogle(bool configure = true)
    {
        GoogleSignInService::setSharedSignIn(nullptr);
        QUrl base = server->baseUrl();
        auto at = [&](const char* path) {
            QUrl url = base;
            url.setPath(QString::fromLatin1(path));
            return url;
        };
        client = std::make_unique<OAuthLoopbackClient>(
            OAuthEndpoints{at("/oauth/authorize"), at("/oauth/token"), at("/oauth/revoke")}, keychain,
            QStringLiteral("test.google"), browser.opener(), &oauthNetwork);
        GoogleSignInService::setSharedSignIn(client.get());
        if (configure)
            GoogleSignInService::configure(QStringLiteral("desktop"), std::nullopt);
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<LocalServer>();
        keychain = std::make_shared<MemoryKeychain>();
        browser.mode = FakeBrowser::Mode::follow;
        browser.opened = 0;
        relaunchGoogle();
    }

    void cleanup()
    {
        GoogleSignInService::setSharedSignIn(nullptr);
        client.reset();
        dropConnections();
        server.reset();
    }

    void notConfiguredTouchesNothing()
    {
        relaunchGoogle(false);
        QVERIFY(!GoogleSignInService::isConfigured());
        GoogleSignInService::configure(std::nullopt, QStringLiteral("server"));
        QVERIFY(!GoogleSignInService::isConfigured());
        for (auto* operation : {&GoogleSignInService::signIn, &GoogleSignInService::restorePreviousSignIn}) {
            try {
                runTask(operation());
                QFAIL("should have failed");
            } catch (const GoogleSignInError& e) {
                QCOMPARE(e.kind(), GoogleSignInError::Case::notConfigured);
            }
        }
        runTask(GoogleSignInService::disconnect());
        QCOMPARE(browser.opened, 0);
        QCOMPARE(keychain->calls, 0);
    }

    void signInRestoreAndDisconnect()
    {
        const GoogleCredential credential = runTask(GoogleSignInService::signIn());
        QVERIFY(!credential.idToken.isEmpty());
        QVERIFY(!credential.accessToken.isEmpty());
        QCOMPARE(browser.opened, 1);
        QVERIFY(GoogleSignInService::hasPreviousSignIn());

        // The backend accepts the identity token.
        std::unique_ptr<QNetworkAccessManager> network(makeEphemeralNetworkSession(nullptr));
        InMemoryTokenStore tokens;
        APIClient api(server->baseUrl(), network.get(), &tokens);
        SocialSignInRequest request;
        request.idToken.token = credential.idToken;
        request.idToken.accessToken = credential.accessToken;
        const auto user = runTask(api.signInSocial(request));
        QCOMPARE(user->email, std::optional<QString>(QStringLiteral("tester@example.com")));

        // The next launch restores it without the browser.
        relaunchGoogle();
        QVERIFY(GoogleSignInService::hasPreviousSignIn());
        const GoogleCredential restored = runTask(GoogleSignInService::restorePreviousSignIn());
        QVERIFY(!restored.idToken.isEmpty());
        QVERIFY(restored.accessToken != credential.accessToken);
        QCOMPARE(browser.opened, 1);

        // Another client identifier does not see this sign-in.
        GoogleSignInService::configure(QStringLiteral("another-client"), std::nullopt);
        QVERIFY(!GoogleSignInService::hasPreviousSignIn());
        GoogleSignInService::configure(QStringLiteral("desktop"), std::nullopt);

        // Disconnect revokes the grant: the kept refresh token is refused afterwards and forgotten.
        const auto kept = keychain->items;
        runTask(GoogleSignInService::disconnect());
        QVERIFY(keychain->items.isEmpty());
        QVERIFY(!GoogleSignInService::hasPreviousSignIn());
        keychain->items = kept;
        relaunchGoogle();
        QVERIFY(GoogleSignInService::hasPreviousSignIn());
        try {
            runTask(GoogleSignInService::restorePreviousSignIn());
            QFAIL("a revoked grant should not restore");
        } catch (const OAuthError& e) {
            QCOMPARE(e.kind(), OAuthError::Case::server);
            QCOMPARE(e.code(), QStringLiteral("invalid_grant"));
        }
        QVERIFY(!GoogleSignInService::hasPreviousSignIn());
        QVERIFY(keychain->items.isEmpty());
    }

    void declinedClosedAndUnopenedSignIns()
    {
        browser.mode = FakeBrowser::Mode::decline;
        try {
            runTask(GoogleSignInService::signIn());
            QFAIL("a declined sign-in should fail");
        } catch (const OAuthError& e) {
            QCOMPARE(e.kind(), OAuthError::Case::canceled);
        }

        // A request to the loopback port without the sign-in's state is refused and changes nothing;
        // closing the wait ends the sign-in as cancelled.
        browser.mode = FakeBrowser::Mode::ignore;
        bool ended = false;
        std::optional<OAuthError::Case> outcome;
        auto run = [&]() -> QCoro::Task<void> {
            try {
                co_await GoogleSignInService::signIn();
            } catch (const OAuthError& e) {
                outcome = e.kind();
            }
            ended = true;
        };
        auto running = run();
        QUrl forged(QUrlQuery(browser.lastOpened).queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
        forged.setQuery(QStringLiteral("code=stolen&state=guess"));
        QNetworkReply* reply = browser.network.get(QNetworkRequest(forged));
        QVERIFY(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 400);
        reply->deleteLater();
        QVERIFY(!ended);
        QVERIFY(client->isSigningIn());
        GoogleSignInService::cancelSignIn();
        QVERIFY(QTest::qWaitFor([&] { return ended; }, 5000));
        QCOMPARE(outcome, std::optional(OAuthError::Case::canceled));

        // No browser could be opened.
        GoogleSignInService::setSharedSignIn(nullptr);
        auto failingOpener = [](const QUrl&) { return false; };
        QUrl base = server->baseUrl();
        client = std::make_unique<OAuthLoopbackClient>(OAuthEndpoints{base, base, base}, keychain,
                                                       QStringLiteral("test.google"), failingOpener);
        GoogleSignInService::setSharedSignIn(client.get());
        GoogleSignInService::configure(QStringLiteral("desktop"), std::nullopt);
        try {
            runTask(GoogleSignInService::signIn());
            QFAIL("should have failed");
        } catch (const GoogleSignInError& e) {
            QCOMPARE(e.kind(), GoogleSignInError::Case::noPresentingWindow);
        }
    }

    void accountStateGooglePaths()
    {
        std::unique_ptr<QNetworkAccessManager> network(makeEphemeralNetworkSession(nullptr));
        InMemoryTokenStore tokens;
        MemorySettingsStore defaults;
        auto api = std::make_unique<APIClient>(server->baseUrl(), network.get(), &tokens);
        auto account = std::make_unique<AccountStore>(api.get(), &defaults);
        runTask(account->restoreSession());
        QVERIFY(!account->isSignedIn());

        // The user declines on Google's page: nothing is shown and no sign-in ran.
        browser.mode = FakeBrowser::Mode::decline;
        account->presentSignIn(SignInReason::sync);
        QSignalSpy authenticating(account.get(), &AccountStore::isAuthenticatingChanged);
        runTask(account->signInWithGoogle());
        QVERIFY(!account->errorMessage());
        QCOMPARE(authenticating.count(), 0);
        QVERIFY(account->isSignInPresented());

        browser.mode = FakeBrowser::Mode::follow;
        runTask(account->signInWithGoogle());
        QVERIFY(account->isSignedIn());
        QVERIFY(!account->isSignInPresented());
        QCOMPARE(defaults.string(QStringLiteral("hf_last_auth_provider")), std::optional<QString>(QStringLiteral("google")));
        const QString googleUser = account->user()->id;

        // The session lapses; the next launch restores the Google sign-in silently.
        tokens.save(QStringLiteral("lapsed"));
        account.reset();
        api = std::make_unique<APIClient>(server->baseUrl(), network.get(), &tokens);
        relaunchGoogle();
        account = std::make_unique<AccountStore>(api.get(), &defaults);
        runTask(account->restoreSession());
        QVERIFY(account->isSignedIn());
        QVERIFY(!account->sessionEnded());
        QCOMPARE(account->user()->id, googleUser);
        QCOMPARE(browser.opened, 2);

        // Google refuses the restore: the session has ended and an anonymous account takes over.
        tokens.save(QStringLiteral("lapsed again"));
        server->addFault({{"method", "POST"}, {"path", "/oauth/token"}, {"status", 503}});
        account.reset();
        account = std::make_unique<AccountStore>(api.get(), &defaults);
        runTask(account->restoreSession());
        QVERIFY(account->sessionEnded());
        QVERIFY(!account->isSignedIn());
        QVERIFY(account->user()->id != googleUser);
        QVERIFY(!defaults.contains(QStringLiteral("hf_last_auth_provider")));
        account.reset();
    }
};

QTEST_MAIN(TestGoogleSignIn)
#include "test_google_sign_in.moc"
