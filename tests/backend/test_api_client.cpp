// The request core against a real HTTP server on 127.0.0.1.

#include "backend/api_client.h"
#include "platform/async.h"
#include "platform/network.h"
#include "support/test_http_server.h"
#include "support/test_support.h"
#include "helpers_backend.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>

using namespace hf;
using hf::test::TestHttpServer;
using hf::test::runTask;
using hf::test::expectAPIError;

namespace {

// A token store that counts its writes.
class CountingStore final : public SessionTokenStore {
public:
    std::optional<QString> token() override { return value; }
    void save(const QString& t) override
    {
        value = t;
        ++saves;
    }
    void clear() override
    {
        value.reset();
        ++clears;
    }
    std::optional<QString> value;
    int saves = 0;
    int clears = 0;
};

struct Echo {
    QString name;
    static Echo fromJson(const json::ObjectReader& in) { return {in.required<QString>(QStringLiteral("name"))}; }
};

std::string bearer(const httplib::Request& r)
{
    auto it = r.headers.find("Authorization");
    return it == r.headers.end() ? std::string() : it->second;
}

} // namespace

class TestAPIClient : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QNetworkAccessManager> session;
    CountingStore store;
    std::unique_ptr<APIClient> client;
    int invalidations = 0;

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<TestHttpServer>();
        session.reset(makeEphemeralNetworkSession(nullptr));
        store = CountingStore();
        client = std::make_unique<APIClient>(server->baseUrl(), session.get(), &store);
        invalidations = 0;
        client->onSessionInvalidated = [this] { ++invalidations; };
    }

    void cleanup()
    {
        client.reset();
        session.reset();
        server.reset();
    }

    void headersFollowMethodAndFlags()
    {
        server->reply("GET", "/v1/me", 200, R"({"name":"a"})");
        server->reply("POST", "/v1/jobs", 200, "{}");
        server->reply("DELETE", "/v1/account", 204, "");
        server->reply("POST", "/v1/auth/social", 200, "{}");
        store.value = QStringLiteral("tok");

        runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, true, true, false));
        runTask(client->send(QStringLiteral("POST"), QStringLiteral("/v1/jobs"), QByteArray(R"({"k":1})"), true, true, false));
        runTask(client->send(QStringLiteral("DELETE"), QStringLiteral("/v1/account"), std::nullopt, false, false, false));
        store.value.reset();
        runTask(client->send(QStringLiteral("POST"), QStringLiteral("/v1/auth/social"), QByteArray("{}"), false, false, true));

        const auto got = server->received();
        QCOMPARE(got.size(), size_t(4));
        // GET: Accept and the bearer token, no body, no Content-Type.
        QCOMPARE(got[0].header("Accept"), std::string("application/json"));
        QCOMPARE(got[0].header("Authorization"), std::string("Bearer tok"));
        QVERIFY(!got[0].hasHeader("Content-Type"));
        // POST with a body: JSON content type and the body as given.
        QCOMPARE(got[1].header("Content-Type"), std::string("application/json"));
        QCOMPARE(got[1].body, std::string(R"({"k":1})"));
        // A call that is not authenticated carries no token even when one is stored.
        QCOMPARE(got[2].method, std::string("DELETE"));
        QVERIFY(!got[2].hasHeader("Authorization"));
        QVERIFY(!got[2].hasHeader("Content-Type"));
        // attachTokenIfPresent without a token: sent without the header, and no failure.
        QVERIFY(!got[3].hasHeader("Authorization"));
        // No cookies ever travel.
        for (const auto& r : got)
            QVERIFY(!r.hasHeader("Cookie"));
    }

    void pathIsAppendedToBasePath()
    {
        server->reply("GET", "/api/v1/me", 200, "{}");
        QUrl base = server->baseUrl();
        base.setPath(QStringLiteral("/api/"));
        APIClient prefixed(base, session.get(), &store);
        const auto response = runTask(prefixed.send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt,
                                                    false, false, false));
        QCOMPARE(response.status, 200);
        QCOMPARE(server->count("GET", "/api/v1/me"), 1);
    }

    void missingTokenIsDealtWithBeforeSending()
    {
        server->reply("GET", "/v1/me", 200, "{}");
        // Without re-authentication allowed.
        auto e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, true, false, false));
        });
        QCOMPARE(e.kind(), APIError::Case::signInRequired);
        // Re-authentication that says no.
        int runs = 0;
        client->silentReauthenticator = [&runs]() -> QCoro::Task<bool> {
            ++runs;
            co_return false;
        };
        e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, true, true, false));
        });
        QCOMPARE(e.kind(), APIError::Case::signInRequired);
        QCOMPARE(runs, 1);
        // Re-authentication that fails: its error reaches the caller unchanged.
        client->silentReauthenticator = []() -> QCoro::Task<bool> {
            throw APIError::accountLimitReached();
            co_return true;
        };
        e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, true, true, false));
        });
        QCOMPARE(e.kind(), APIError::Case::accountLimitReached);
        QCOMPARE(server->count("GET", "/v1/me"), 0);
        QCOMPARE(invalidations, 0);
    }

    void concurrentUnauthorizedShareOneReauthentication()
    {
        store.value = QStringLiteral("old");
        server->on("GET", "/v1/jobs/x", [](const httplib::Request& r, httplib::Response& res) {
            if (bearer(r) == "Bearer new") {
                res.status = 200;
                res.set_content(R"({"name":"ok"})", "application/json");
            } else {
                res.status = 401;
            }
        });
        int runs = 0;
        client->silentReauthenticator = [this, &runs]() -> QCoro::Task<bool> {
            ++runs;
            co_await sleepFor(std::chrono::milliseconds(100));
            store.save(QStringLiteral("new"));
            co_return true;
        };

        std::vector<std::optional<Echo>> results(3);
        int done = 0;
        auto one = [&](int i) -> QCoro::Task<void> {
            results[i] = co_await client->send<Echo>(QStringLiteral("GET"), QStringLiteral("/v1/jobs/x"));
            ++done;
        };
        auto a = one(0);
        auto b = one(1);
        auto c = one(2);
        QVERIFY(QTest::qWaitFor([&] { return done == 3; }, 10000));
        QCOMPARE(runs, 1);
        for (const auto& r : results)
            QCOMPARE(r->name, QStringLiteral("ok"));
        // Each request went out once with the old token and was retried once with the new one.
        QCOMPARE(server->count("GET", "/v1/jobs/x"), 6);
        QCOMPARE(invalidations, 0);
        QCOMPARE(store.value, std::optional<QString>(QStringLiteral("new")));
    }

    void retriedUnauthorizedEndsTheSession()
    {
        store.value = QStringLiteral("old");
        server->reply("GET", "/v1/me", 401, R"({"error":{"code":"unauthorized"}})");
        int runs = 0;
        client->silentReauthenticator = [this, &runs]() -> QCoro::Task<bool> {
            ++runs;
            store.save(QStringLiteral("fresh"));
            co_return true;
        };
        auto e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, true, true, false));
        });
        QCOMPARE(e.kind(), APIError::Case::signInRequired);
        QCOMPARE(runs, 1);
        QCOMPARE(server->count("GET", "/v1/me"), 2);
        QCOMPARE(invalidations, 1);
        QVERIFY(!store.value);

        // A re-authentication that throws after a 401 counts as false.
        store.value = QStringLiteral("old");
        client->silentReauthenticator = []() -> QCoro::Task<bool> {
            throw APIError::network(QStringLiteral("offline"));
            co_return true;
        };
        e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, true, true, false));
        });
        QCOMPARE(e.kind(), APIError::Case::signInRequired);
        QCOMPARE(invalidations, 2);

        // 401 on a call that is not authenticated is an ordinary server error; the token stays.
        store.value = QStringLiteral("kept");
        e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, false, false, true));
        });
        QCOMPARE(e, APIError::server(APIErrorCode::unauthorized, std::nullopt, 401));
        QCOMPARE(store.value, std::optional<QString>(QStringLiteral("kept")));
    }

    void starterNeedsAStoredTokenJoinerDoesNot()
    {
        client->silentReauthenticator = []() -> QCoro::Task<bool> {
            co_await sleepFor(std::chrono::milliseconds(50));
            co_return true;
        };
        std::optional<bool> starter, joiner;
        auto s = [&]() -> QCoro::Task<void> { starter = co_await client->reauthenticate(); };
        auto j = [&]() -> QCoro::Task<void> { joiner = co_await client->reauthenticate(); };
        auto t1 = s();
        auto t2 = j();
        QVERIFY(QTest::qWaitFor([&] { return starter && joiner; }, 5000));
        QCOMPARE(*starter, false);
        QCOMPARE(*joiner, true);
    }

    void renewalHeaderRules()
    {
        store.value = QStringLiteral("same");
        std::string renewal;
        server->on("GET", "/v1/me", [&renewal](const httplib::Request&, httplib::Response& res) {
            res.status = 200;
            if (!renewal.empty())
                res.set_header("Set-Auth-Token", renewal);
            res.set_content("{}", "application/json");
        });
        auto call = [&](bool authenticated) {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, authenticated, false,
                                 !authenticated));
        };
        renewal = "same";
        call(true);
        QCOMPARE(store.saves, 0);
        renewal = " \trenewed\t ";
        call(true);
        QCOMPARE(store.value, std::optional<QString>(QStringLiteral("renewed")));
        QCOMPARE(store.saves, 1);
        renewal = " \t ";
        call(true);
        QCOMPARE(store.saves, 1);
        renewal = "ignored";
        call(false);
        QCOMPARE(store.value, std::optional<QString>(QStringLiteral("renewed")));
    }

    void answersToAnOlderTokenLeaveANewerOneAlone()
    {
        // The server answers the old token only after the test has stored a newer one.
        store.value = QStringLiteral("older");
        std::atomic<bool> newerStored{false};
        server->on("GET", "/v1/slow", [&](const httplib::Request& r, httplib::Response& res) {
            if (bearer(r) == "Bearer older") {
                while (!newerStored)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                res.status = 401;
                return;
            }
            res.status = 200;
            res.set_content("{}", "application/json");
        });
        server->on("GET", "/v1/renew", [&](const httplib::Request&, httplib::Response& res) {
            while (!newerStored)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            res.status = 200;
            res.set_header("set-auth-token", "from-old-request");
            res.set_content("{}", "application/json");
        });
        int runs = 0;
        client->silentReauthenticator = [&runs]() -> QCoro::Task<bool> {
            ++runs;
            co_return false;
        };
        bool slowDone = false, renewDone = false;
        auto slow = [&]() -> QCoro::Task<void> {
            co_await client->send(QStringLiteral("GET"), QStringLiteral("/v1/slow"), std::nullopt, true, true, false);
            slowDone = true;
        };
        auto renew = [&]() -> QCoro::Task<void> {
            co_await client->send(QStringLiteral("GET"), QStringLiteral("/v1/renew"), std::nullopt, true, true, false);
            renewDone = true;
        };
        auto t1 = slow();
        auto t2 = renew();
        QVERIFY(QTest::qWaitFor([&] { return server->received().size() >= 2; }, 5000));
        store.save(QStringLiteral("newer")); // a sign-in completed meanwhile
        newerStored = true;
        QVERIFY(QTest::qWaitFor([&] { return slowDone && renewDone; }, 5000));
        QCOMPARE(store.value, std::optional<QString>(QStringLiteral("newer")));
        QCOMPARE(store.clears, 0);
        QCOMPARE(runs, 0);
        QCOMPARE(invalidations, 0);
        // The refused request was retried once, with the newer token.
        const auto got = server->received();
        QCOMPARE(got.back().header("Authorization"), std::string("Bearer newer"));
    }

    void errorsMapToAPIError()
    {
        server->reply("GET", "/a", 500, R"({"error":{"code":"conflict","message":"busy"}})");
        server->reply("GET", "/b", 418, "");
        server->reply("GET", "/c", 200, R"({"nope":1})");
        server->reply("GET", "/d", 200, "not json");
        server->reply("GET", "/e", 507, R"({"error":{"code":"internal","message":"No space left on device"}})");
        auto get = [&](const char* path) {
            return expectAPIError([&] { runTask(client->send<Echo>(QStringLiteral("GET"), QString::fromLatin1(path))); });
        };
        store.value = QStringLiteral("t");
        QCOMPARE(get("/a"), APIError::server(APIErrorCode::conflict, QStringLiteral("busy"), 500));
        QCOMPARE(get("/b"), APIError::server(APIErrorCode::unknown, std::nullopt, 418));
        const auto missing = get("/c");
        QCOMPARE(missing.kind(), APIError::Case::decoding);
        QVERIFY(missing.description().contains(QStringLiteral("name")));
        // A success that is not JSON is the server's fault, not an answer this version can't read.
        QCOMPARE(get("/d"), APIError::brokenAnswer(200));
        // A full disk on the server says so, whatever the body's own words.
        QCOMPARE(get("/e").localizedDescription(),
                 QStringLiteral("The separation server is out of space. Please try again later."));

        // Nothing listens: a network error with the transport's description.
        const int port = server->port();
        server.reset();
        QUrl dead(QStringLiteral("http://127.0.0.1:%1").arg(port));
        APIClient offline(dead, session.get(), &store);
        const auto e = expectAPIError([&] {
            runTask(offline.send(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, false, false, false));
        });
        QCOMPARE(e.kind(), APIError::Case::network);
        QVERIFY(!e.description().isEmpty());
        QVERIFY(e.localizedDescription().endsWith(u'(' + e.description() + u')'));
    }

    void ownStopCancelsButTimeoutFails()
    {
        server->on("GET", "/slow", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            res.status = 200;
        });
        // Our own stop: a cancellation, well before the server answers.
        std::stop_source stop;
        QTimer::singleShot(100, [&] { stop.request_stop(); });
        QElapsedTimer clock;
        clock.start();
        bool cancelled = false;
        try {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/slow"), std::nullopt, false, false, false,
                                 stop.get_token()));
        } catch (const Cancelled&) {
            cancelled = true;
        }
        QVERIFY(cancelled);
        QVERIFY(clock.elapsed() < 1000);

        // Qt's own inactivity timeout: a network error that says it timed out.
        client->setRequestTimeout(std::chrono::milliseconds(200));
        const auto e = expectAPIError([&] {
            runTask(client->send(QStringLiteral("GET"), QStringLiteral("/slow"), std::nullopt, false, false, false));
        });
        QCOMPARE(e, APIError::network(QStringLiteral("The request timed out.")));
    }
};

QTEST_GUILESS_MAIN(TestAPIClient)
#include "test_api_client.moc"
