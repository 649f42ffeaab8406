// The web sign-in against the local server: the proof key, the strict callback parser, the whole
// sequence into the account state with the page's redirect followed by a stand-in browser, the
// page's error answers, malformed callbacks, a closed wait and a failing random source.

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/web_sign_in.h"
#include "platform/network.h"
#include "platform/oauth_pkce.h"
#include "platform/settings_store.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "helpers_backend.h"

#include "http/http_server.h"

#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>

#include <httplib.h>
#include <QUrlQuery>

using namespace hf;
using hf::test::LocalServer;
using hf::test::runTask;
using hf::test::followPage;

namespace {

// Follows the sign-in page's http redirects, as a browser does, and hands the first link of
// another scheme to `onAppLink`.
class FakeBrowser {
public:
    QNetworkAccessManager network;
    std::function<void(const QUrl&)> onAppLink;
    QString loginHint;
    int opened = 0;

    URLOpener opener()
    {
        return [this](const QUrl& url) {
            ++opened;
            QUrl page = url;
            if (!loginHint.isEmpty()) {
                QUrlQuery query(page);
                query.addQueryItem(QStringLiteral("login_hint"), loginHint);
                page.setQuery(query);
            }
            visit(page);
            return true;
        };
    }

    void visit(const QUrl& url) { followPage(network, url, onAppLink); }
};

// Answers every page with a fixed link, as a page that ended that way would.
class ScriptedAuthenticator final : public WebAuthenticating {
public:
    QUrl answer;
    QUrl shown;
    QCoro::Task<QUrl> authenticate(QUrl url) override
    {
        shown = url;
        co_return answer;
    }
};

} // namespace

class TestWebSignIn : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    std::unique_ptr<QNetworkAccessManager> network;
    InMemoryTokenStore tokens;
    MemorySettingsStore defaults;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<AccountStore> account;
    FakeBrowser browser;

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<LocalServer>();
        network.reset(makeEphemeralNetworkSession(nullptr));
        tokens.clear();
        defaults = MemorySettingsStore();
        api = std::make_unique<APIClient>(server->baseUrl(), network.get(), &tokens);
        account = std::make_unique<AccountStore>(api.get(), &defaults);
        browser.opened = 0;
        browser.loginHint.clear();
        browser.onAppLink = [](const QUrl& link) { BrowserSheetAuthenticator::deliverCallback(link); };
    }

    void cleanup()
    {
        oauth::setRandomSourceForTesting({});
        account.reset();
        api.reset();
        network.reset();
        browser.network.clearConnectionCache();
        server.reset();
    }

    void proofKey()
    {
        const QRegularExpression alphabet(QStringLiteral("^[A-Za-z0-9_-]{43}$"));
        const PKCEPair first = WebSignIn::makePKCE();
        const PKCEPair second = WebSignIn::makePKCE();
        QVERIFY(alphabet.match(first.verifier).hasMatch());
        QVERIFY(alphabet.match(first.challenge).hasMatch());
        QVERIFY(first.verifier != second.verifier);
        QCOMPARE(first.challenge, oauth::s256Challenge(first.verifier));

        // A failing random source gives no key at all, never a weaker one.
        oauth::setRandomSourceForTesting([](qsizetype) { return std::nullopt; });
        try {
            WebSignIn::makePKCE();
            QFAIL("no key without secure random bytes");
        } catch (const WebSignInError& e) {
            QCOMPARE(e, WebSignInError::failed(QStringLiteral("not_started")));
        }
    }

    void parseCallback_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("code");  // empty: an error
        QTest::addColumn<QString>("error"); // "unexpected" or the page's code
        QTest::newRow("code after another item") << "hushframe-direct://auth/callback?x=1&code=abc" << "abc" << "";
        QTest::newRow("percent-decoded code") << "hushframe-direct://auth/callback?code=a%2Bb%20c" << "a+b c" << "";
        QTest::newRow("empty code, error") << "hushframe-direct://auth/callback?code=&error=denied" << "" << "denied";
        QTest::newRow("second code never read") << "hushframe-direct://auth/callback?code=&code=abc&error=expired" << ""
                                                << "expired";
        QTest::newRow("empty error") << "hushframe-direct://auth/callback?error=" << "" << "unexpected";
        QTest::newRow("no query") << "hushframe-direct://auth/callback" << "" << "unexpected";
        QTest::newRow("empty query") << "hushframe-direct://auth/callback?" << "" << "unexpected";
        QTest::newRow("trailing slash") << "hushframe-direct://auth/callback/?code=abc" << "" << "unexpected";
        QTest::newRow("other host") << "hushframe-direct://evil/callback?code=abc" << "" << "unexpected";
        QTest::newRow("other scheme") << "https://auth/callback?code=abc" << "" << "unexpected";
        QTest::newRow("name case matters") << "hushframe-direct://auth/callback?Code=abc" << "" << "unexpected";
    }

    void parseCallback()
    {
        QFETCH(QString, link);
        QFETCH(QString, code);
        QFETCH(QString, error);
        const auto parsed = WebSignIn::parseCallback(QUrl(link));
        if (!code.isEmpty()) {
            QCOMPARE(std::get<QString>(parsed), code);
        } else if (error == u"unexpected") {
            QCOMPARE(std::get<WebSignInError>(parsed), WebSignInError::unexpectedCallback());
        } else {
            QCOMPARE(std::get<WebSignInError>(parsed), WebSignInError::failed(error));
        }
    }

    void signInThroughTheBrowser()
    {
        runTask(account->restoreSession());
        const QString anonymousToken = *tokens.token();
        account->presentSignIn(SignInReason::sync);
        account->setErrorMessage(QStringLiteral("an earlier failure"));
        browser.loginHint = QStringLiteral("web@example.com");
        BrowserSheetAuthenticator authenticator(browser.opener());
        runTask(WebSignIn::signIn(AuthProvider::apple, api.get(), &authenticator, account.get()));
        QCOMPARE(browser.opened, 1);
        QVERIFY(!account->errorMessage());
        QVERIFY(account->isSignedIn());
        QVERIFY(!account->isSignInPresented());
        QVERIFY(*tokens.token() != anonymousToken);
        QCOMPARE(account->user()->email, std::optional<QString>(QStringLiteral("web@example.com")));
        QCOMPARE(defaults.string(QStringLiteral("hf_last_auth_provider")), std::optional<QString>(QStringLiteral("apple")));
        QVERIFY(!authenticator.isWaiting());
    }

    void pageErrorsAndMalformedCallbacks_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("message"); // empty: silent
        const QString failed = QStringLiteral("The sign-in didn't finish. Please try again.");
        const QString unexpected =
            QStringLiteral("The sign-in came back in a way Hushframe didn't expect. Please try again.");
        QTest::newRow("declined") << "hushframe-direct://auth/callback?error=access_denied" << "";
        QTest::newRow("cancelled on the page") << "hushframe-direct://auth/callback?error=user_cancelled_authorize" << "";
        QTest::newRow("expired") << "hushframe-direct://auth/callback?error=expired"
                                 << "The sign-in took too long. Please try again.";
        QTest::newRow("already used") << "hushframe-direct://auth/callback?error=already_used" << failed;
        QTest::newRow("no code") << "hushframe-direct://auth/callback?state=1" << unexpected;
        QTest::newRow("wrong path") << "hushframe-direct://auth/other?code=abc" << unexpected;
    }

    void pageErrorsAndMalformedCallbacks()
    {
        QFETCH(QString, link);
        QFETCH(QString, message);
        runTask(account->restoreSession());
        const QString token = *tokens.token();
        account->setErrorMessage(QStringLiteral("an earlier failure"));
        ScriptedAuthenticator authenticator;
        authenticator.answer = QUrl(link);
        runTask(WebSignIn::signIn(AuthProvider::apple, api.get(), &authenticator, account.get()));
        QVERIFY(authenticator.shown.isValid()); // the handoff was started
        QCOMPARE(account->errorMessage().value_or(QString()), message);
        QVERIFY(!account->isSignedIn());
        QCOMPARE(*tokens.token(), token);
    }

    void failuresAroundThePage()
    {
        runTask(account->restoreSession());

        // The handoff cannot start: the backend's error text.
        server->addFault({{"method", "POST"}, {"path", "/v1/auth/handoff"}, {"status", 503}});
        ScriptedAuthenticator scripted;
        runTask(WebSignIn::signIn(AuthProvider::apple, api.get(), &scripted, account.get()));
        QVERIFY(account->errorMessage());
        QVERIFY(!scripted.shown.isValid());
        server->clearFaults();

        // A code the backend does not know: the redeem's failure, reported by the account state.
        scripted.answer = QUrl(QStringLiteral("hushframe-direct://auth/callback?code=made-up"));
        runTask(WebSignIn::signIn(AuthProvider::apple, api.get(), &scripted, account.get()));
        QVERIFY(account->errorMessage());
        QVERIFY(!account->isAuthenticating());
        QVERIFY(!account->isSignedIn());

        // No secure random bytes: the sign-in does not start.
        oauth::setRandomSourceForTesting([](qsizetype) { return std::nullopt; });
        scripted.shown = QUrl();
        runTask(WebSignIn::signIn(AuthProvider::apple, api.get(), &scripted, account.get()));
        QCOMPARE(account->errorMessage(), std::optional<QString>(QStringLiteral("The sign-in didn't finish. Please try again.")));
        QVERIFY(!scripted.shown.isValid());
        oauth::setRandomSourceForTesting({});

        // The browser cannot be opened.
        BrowserSheetAuthenticator unopened([](const QUrl&) { return false; });
        account->setErrorMessage(std::nullopt);
        runTask(WebSignIn::signIn(AuthProvider::apple, api.get(), &unopened, account.get()));
        QCOMPARE(account->errorMessage(), std::optional<QString>(QStringLiteral("The sign-in didn't finish. Please try again.")));
    }

    void onlyAWaitingSignInTakesALink()
    {
        runTask(account->restoreSession());
        const QUrl link(QStringLiteral("hushframe-direct://auth/callback?code=abc"));
        QVERIFY(!BrowserSheetAuthenticator::deliverCallback(link));

        // The user closes the wait: silence, and the earlier message stays cleared.
        BrowserSheetAuthenticator authenticator([](const QUrl&) { return true; });
        account->setErrorMessage(QStringLiteral("an earlier failure"));
        bool ended = false;
        auto run = [&]() -> QCoro::Task<void> {
            co_await WebSignIn::signIn(AuthProvider::apple, api.get(), &authenticator, account.get());
            ended = true;
        };
        auto running = run();
        QVERIFY(QTest::qWaitFor([&] { return authenticator.isWaiting(); }, 5000));
        QVERIFY(!BrowserSheetAuthenticator::deliverCallback(QUrl(QStringLiteral("https://auth/callback?code=abc"))));
        QVERIFY(authenticator.isWaiting());
        authenticator.cancel();
        QVERIFY(QTest::qWaitFor([&] { return ended; }, 5000));
        QVERIFY(!account->errorMessage());
        QVERIFY(!account->isSignedIn());
        QVERIFY(!BrowserSheetAuthenticator::deliverCallback(link));
    }
};

QTEST_MAIN(TestWebSignIn)
#include "test_web_sign_in.moc"
