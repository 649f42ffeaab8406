// The account state against the local server: launch and relaunch, ended provider sessions, a
// deferred start, the mid-session silent start, the sign-in waiters, sign-out and deletion.

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "platform/async.h"
#include "platform/network.h"
#include "platform/settings_store.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include "http/http_server.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

#include <httplib.h>

using namespace hf;
using hf::test::LocalServer;
using hf::test::runTask;

namespace {

const QString providerKey = QStringLiteral("hf_last_auth_provider");

QCoro::Task<void> googleSocialSignIn(APIClient* api, QString idToken)
{
    SocialSignInRequest request;
    request.provider = AuthProvider::google;
    request.idToken.token = idToken;
    co_await api->signInSocial(request);
}

QCoro::Task<void> recordOutcome(AccountStore* account, int id, std::vector<std::pair<int, bool>>* outcomes,
                                std::vector<bool>* signedInAtResume)
{
    const bool outcome = co_await account->requireSignIn();
    outcomes->emplace_back(id, outcome);
    signedInAtResume->push_back(account->user() && account->user()->isAnonymous == std::optional<bool>(false));
}

} // namespace

class TestAccountStore : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    std::unique_ptr<QNetworkAccessManager> network;
    InMemoryTokenStore tokens;
    MemorySettingsStore defaults;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<AccountStore> account;

    // A new process: a new client and account state on the same token store and defaults.
    void relaunch()
    {
        account.reset();
        api = std::make_unique<APIClient>(server->baseUrl(), network.get(), &tokens);
        account = std::make_unique<AccountStore>(api.get(), &defaults);
    }

    // The account behind a token, asked of the server with a separate client.
    std::optional<APIUser> serverUserOf(const QString& token)
    {
        InMemoryTokenStore other;
        other.save(token);
        APIClient probe(server->baseUrl(), network.get(), &other);
        const auto session = runTask(probe.getSession());
        return session ? std::optional<APIUser>(session->user) : std::nullopt;
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<LocalServer>();
        network.reset(makeEphemeralNetworkSession(nullptr));
        tokens.clear();
        defaults = MemorySettingsStore();
        relaunch();
    }

    void cleanup()
    {
        account.reset();
        api.reset();
        network.reset();
        server.reset();
    }

    void launchMakesOneAnonymousAccountAndRelaunchRestoresIt()
    {
        QSignalSpy sessionSpy(account.get(), &AccountStore::hasSessionChanged);
        int signedInHooks = 0;
        account->onSignedIn = [&signedInHooks]() -> QCoro::Task<void> {
            ++signedInHooks;
            co_return;
        };
        runTask(account->restoreSession());
        QVERIFY(account->hasSession());
        QVERIFY(!account->isSignedIn());
        QVERIFY(account->user());
        QCOMPARE(account->user()->isAnonymous, std::optional<bool>(true));
        QVERIFY(account->usage());
        QCOMPARE(sessionSpy.count(), 1);
        const QString firstId = account->user()->id;
        const QString firstToken = *tokens.token();
        QCOMPARE(serverUserOf(firstToken)->id, firstId);
        // A start inside the restore runs no follow-up of its own.
        QTest::qWait(0);
        QCOMPARE(signedInHooks, 0);

        // The relaunch restores the stored session and makes no new account.
        server->addFault({{"method", "POST"}, {"path", "/api/auth/sign-in/anonymous"}, {"status", 500}});
        defaults.setValue(providerKey, QStringLiteral("apple"));
        relaunch();
        QVERIFY(account->isSignedIn()); // a stored token with a stored provider, before any request
        runTask(account->restoreSession());
        QCOMPARE(account->user()->id, firstId);
        QCOMPARE(*tokens.token(), firstToken);
        QVERIFY(!account->isSignedIn()); // corrected by the server's answer
        QVERIFY(!account->sessionEnded());

        // Equal values notify nobody.
        QSignalSpy messageSpy(account.get(), &AccountStore::errorMessageChanged);
        account->setErrorMessage(QStringLiteral("x"));
        account->setErrorMessage(QStringLiteral("x"));
        QCOMPARE(messageSpy.count(), 1);
    }

    void rejectedProviderSessionEndsInANewAnonymousAccount_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<bool>("ended");
        QTest::newRow("apple") << QStringLiteral("apple") << true;
        QTest::newRow("google without Google configured") << QStringLiteral("google") << true;
        QTest::newRow("unknown value") << QStringLiteral("elsewhere") << false;
    }

    void rejectedProviderSessionEndsInANewAnonymousAccount()
    {
        QFETCH(QString, provider);
        QFETCH(bool, ended);
        tokens.save(QStringLiteral("a-session-the-server-never-issued"));
        defaults.setValue(providerKey, provider);
        relaunch();
        QSignalSpy endedSpy(account.get(), &AccountStore::sessionEndedChanged);
        runTask(account->restoreSession());
        QCOMPARE(account->sessionEnded(), ended);
        QCOMPARE(endedSpy.count(), ended ? 1 : 0);
        QCOMPARE(defaults.contains(providerKey), !ended);
        QVERIFY(account->hasSession());
        QVERIFY(!account->isSignedIn());
        QCOMPARE(account->user()->isAnonymous, std::optional<bool>(true));
        QCOMPARE(serverUserOf(*tokens.token())->id, account->user()->id);
    }

    void accountLimitDefersTheStart()
    {
        server->addFault({{"method", "POST"}, {"path", "/api/auth/sign-in/anonymous"}, {"status", 429}});
        runTask(account->restoreSession());
        QVERIFY(!account->hasSession());
        QVERIFY(!account->user());
        QVERIFY(!tokens.token());
        try {
            runTask(account->ensureSession());
            QFAIL("ensureSession should have failed");
        } catch (const APIError& e) {
            QCOMPARE(e.kind(), APIError::Case::accountLimitReached);
        }

        // Once the server gives accounts again, the next need of a session makes one.
        server->clearFaults();
        runTask(account->ensureSession());
        QVERIFY(tokens.token());
        QVERIFY(account->hasSession());
    }

    void midSessionRejectionStartsAnAccountAndRefreshes()
    {
        runTask(account->restoreSession());
        const QString firstId = account->user()->id;
        int signedInHooks = 0;
        account->onSignedIn = [&signedInHooks]() -> QCoro::Task<void> {
            ++signedInHooks;
            co_return;
        };
        // The server forgets the session: the next request is answered 401 and repaired silently.
        tokens.save(QStringLiteral("lapsed"));
        runTask(account->refreshUsage());
        QVERIFY(QTest::qWaitFor([&] { return signedInHooks == 1; }, 10000));
        QVERIFY(account->hasSession());
        QVERIFY(account->user());
        QVERIFY(account->user()->id != firstId);
        QCOMPARE(account->usage()->user, *account->user());

        // The client outlives the account state: the hooks find it gone.
        account.reset();
        tokens.clear();
        QCOMPARE(runTask(api->reauthenticate()), false);
    }

    void waitersResumeTogetherInOrder()
    {
        runTask(account->restoreSession());
        std::vector<std::pair<int, bool>> outcomes;
        std::vector<bool> signedIn;

        // The sheet closes while an anonymous session exists, then with none.
        for (const bool withToken : {true, false}) {
            outcomes.clear();
            if (!withToken)
                tokens.clear();
            spawn(recordOutcome(account.get(), 1, &outcomes, &signedIn), lcTest(), QStringLiteral("waiter"));
            spawn(recordOutcome(account.get(), 2, &outcomes, &signedIn), lcTest(), QStringLiteral("waiter"));
            QVERIFY(account->isSignInPresented());
            QCOMPARE(account->signInReason(), SignInReason::required);
            QVERIFY(outcomes.empty());
            account->signInSheetDismissed();
            QVERIFY(QTest::qWaitFor([&] { return outcomes.size() == 2; }, 5000));
            const std::vector<std::pair<int, bool>> expected{{1, withToken}, {2, withToken}};
            QCOMPARE(outcomes, expected);
        }
        runTask(account->ensureSession());

        // A completed sign-in: the waiters resume with true, after the user was refreshed and
        // before the signed-in hook runs.
        outcomes.clear();
        signedIn.clear();
        std::vector<std::pair<int, bool>> order;
        account->onSignedIn = [&]() -> QCoro::Task<void> {
            order = outcomes;
            co_return;
        };
        spawn(recordOutcome(account.get(), 1, &outcomes, &signedIn), lcTest(), QStringLiteral("waiter"));
        spawn(recordOutcome(account.get(), 2, &outcomes, &signedIn), lcTest(), QStringLiteral("waiter"));
        account->presentSignIn(SignInReason::sync); // shown again: no new waiter, the message cleared
        QCOMPARE(account->signInReason(), SignInReason::sync);
        account->setErrorMessage(QStringLiteral("an earlier failure"));
        const QString idToken = server->identityToken(QStringLiteral("waiter@example.com"));
        QVERIFY(!idToken.isEmpty());
        APIClient* client = api.get();
        runTask(account->signIn(AuthProvider::google, [client, idToken] { return googleSocialSignIn(client, idToken); }));
        const std::vector<std::pair<int, bool>> expected{{1, true}, {2, true}};
        QCOMPARE(outcomes, expected);
        QCOMPARE(order, expected);
        QCOMPARE(signedIn, (std::vector<bool>{true, true}));
        QVERIFY(account->isSignedIn());
        QVERIFY(!account->isSignInPresented());
        QVERIFY(!account->isAuthenticating());
        QVERIFY(!account->errorMessage());
        QCOMPARE(account->user()->email, std::optional<QString>(QStringLiteral("waiter@example.com")));
        QCOMPARE(defaults.string(providerKey), std::optional<QString>(QStringLiteral("google")));
    }

    // An account refresh asked with the anonymous token and answered after a sign-in describes the
    // old account: it must not sign the user out again, whichever order the answers come in.
    void refreshAnsweredAfterASignInIsStale()
    {
        runTask(account->ensureSession());
        const QString anonymousToken = *tokens.token();
        // The anonymous account's answer, as the server gave it before the sign-in, comes late.
        QNetworkRequest request(server->baseUrl().resolved(QUrl(QStringLiteral("/v1/me"))));
        request.setRawHeader("Authorization", "Bearer " + anonymousToken.toUtf8());
        QNetworkReply* reply = network->get(request);
        QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, 5000));
        const QString anonymousAnswer = QString::fromUtf8(reply->readAll());
        reply->deleteLater();
        QVERIFY(anonymousAnswer.contains(QStringLiteral("\"isAnonymous\":true")));
        server->addFault({{"method", "GET"}, {"path", "/v1/me"}, {"status", 200}, {"body", anonymousAnswer},
                          {"delayMs", 800}, {"times", 1}});
        bool refreshed = false;
        spawn([](AccountStore* store, bool* done) -> QCoro::Task<void> {
            co_await store->refreshUsage();
            *done = true;
        }(account.get(), &refreshed), lcTest(), QStringLiteral("refresh"));
        const QString idToken = server->identityToken(QStringLiteral("late@example.com"));
        QVERIFY(!idToken.isEmpty());
        APIClient* client = api.get();
        runTask(account->signIn(AuthProvider::google, [client, idToken] { return googleSocialSignIn(client, idToken); }));
        QVERIFY(*tokens.token() != anonymousToken);
        QVERIFY(!refreshed); // the anonymous answer is still on its way
        QVERIFY(QTest::qWaitFor([&] { return refreshed; }, 5000));
        QVERIFY(account->isSignedIn());
        QVERIFY(account->user());
        QCOMPARE(account->user()->isAnonymous, std::optional<bool>(false));
        QCOMPARE(account->user()->email, std::optional<QString>(QStringLiteral("late@example.com")));
    }

    void signOutWithTheServerDownStillClearsTheToken()
    {
        runTask(account->restoreSession());
        defaults.setValue(providerKey, QStringLiteral("google"));
        network->clearConnectionCache(); // a kept-alive connection would hold the stop
        server->stop();
        runTask(account->signOut());
        QVERIFY(!tokens.token());
        QVERIFY(!defaults.contains(providerKey));
        QVERIFY(!account->hasSession());
        QVERIFY(!account->isSignedIn());
        QVERIFY(!account->user());
    }

    void deletion()
    {
        runTask(account->restoreSession());
        const QString oldId = account->user()->id;
        const QString oldToken = *tokens.token();

        // Refused by the server: nothing changes here, the caller gets the error.
        server->addFault({{"method", "DELETE"}, {"path", "/v1/account"}, {"status", 500}});
        defaults.setValue(providerKey, QStringLiteral("apple"));
        QVERIFY_THROWS_EXCEPTION(APIError, runTask(account->deleteAccount()));
        QCOMPARE(*tokens.token(), oldToken);
        QVERIFY(defaults.contains(providerKey));
        QCOMPARE(account->user()->id, oldId);
        server->clearFaults();

        // Deleted: a new anonymous account takes its place and the old session is gone.
        runTask(account->deleteAccount());
        QVERIFY(tokens.token());
        QVERIFY(*tokens.token() != oldToken);
        QVERIFY(account->user()->id != oldId);
        QVERIFY(!defaults.contains(providerKey));
        QVERIFY(!serverUserOf(oldToken));

        // A lapsed session deletes nothing: no fresh account is made (and deleted) in its place.
        const QString liveId = account->user()->id;
        const QString liveToken = *tokens.token();
        tokens.save(QStringLiteral("lapsed"));
        try {
            runTask(account->deleteAccount());
            QFAIL("the deletion should have failed");
        } catch (const APIError& e) {
            QCOMPARE(e.kind(), APIError::Case::signInRequired);
        }
        QVERIFY(!tokens.token());
        QVERIFY(!account->hasSession());
        QVERIFY(!account->user());
        QCOMPARE(serverUserOf(liveToken)->id, liveId);

        // No session at all: nothing is sent.
        server->addFault({{"method", "DELETE"}, {"path", "/v1/account"}, {"drop", true}});
        QVERIFY_THROWS_EXCEPTION(APIError, runTask(account->deleteAccount()));
    }

private:
    static const QLoggingCategory& lcTest()
    {
        static const QLoggingCategory category("dev.lanternworkshop.Hushframe.Test");
        return category;
    }
};

QTEST_MAIN(TestAccountStore)
#include "test_account_store.moc"
