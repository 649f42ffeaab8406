// Accounts over loopback: the anonymous limit, sessions and their renewal, the web sign-in handoff
// with its proof key, the identity provider's code flow feeding the social sign-in, and deletion.

#include "test_http_support.h"

#include "http/database.h"
#include "http/util.h"

#include <QUrlQuery>
#include <QtTest>

using namespace hf::test::http;

namespace {

const std::string kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";

std::string enc(const std::string& text)
{
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

QUrlQuery queryOf(const std::string& location)
{
    return QUrlQuery(QUrl(QString::fromStdString(location)).query());
}

} // namespace

class HttpAuthTest : public QObject {
    Q_OBJECT

private slots:
    void anonymousSignInsAreLimitedPerAddress()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.anonymousLimit = 3;
        LocalServer server(options);
        httplib::Client client(server.url());
        for (int i = 0; i < 3; ++i) {
            auto r = client.Post("/api/auth/sign-in/anonymous", "{}", "application/json");
            QCOMPARE(r->status, 200);
            auto body = json(r);
            QCOMPARE(body["token"].toString().toStdString(), r->get_header_value("set-auth-token"));
            QCOMPARE(body["user"].toObject()["isAnonymous"].toBool(), true);
        }
        auto refused = client.Post("/api/auth/sign-in/anonymous", "{}", "application/json");
        QCOMPARE(refused->status, 429);
        QCOMPARE(errorCode(refused), QString("rate_limited"));
        QVERIFY(!refused->has_header("set-auth-token"));
        // The count survives a restart.
        server.stop();
        server.start();
        httplib::Client again(server.url());
        QCOMPARE(again.Post("/api/auth/sign-in/anonymous", "{}", "application/json")->status, 429);
    }

    void sessionsRenewSignOutAndDelete()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.sessionRefreshSeconds = 0; // every authenticated answer renews
        LocalServer server(options);
        httplib::Client client(server.url());
        std::string first = signInAnonymously(client);

        auto session = client.Get("/api/auth/get-session", bearer(first));
        QCOMPARE(session->status, 200);
        QString userId = json(session)["user"].toObject()["id"].toString();
        QVERIFY(json(session)["session"].toObject().contains("expiresAt"));
        std::string renewed = session->get_header_value("set-auth-token");
        QVERIFY(!renewed.empty() && renewed != first);

        // Errors carry no renewal; the renewed token is the same account.
        QVERIFY(!client.Get("/v1/jobs/nothing", bearer(renewed))->has_header("set-auth-token"));
        auto me = client.Get("/v1/me", bearer(renewed));
        QCOMPARE(json(me)["user"].toObject()["id"].toString(), userId);

        auto out = postJson(client, "/api/auth/sign-out", renewed);
        QCOMPARE(out->status, 200);
        QVERIFY(!out->has_header("set-auth-token"));
        auto gone = client.Get("/api/auth/get-session", bearer(renewed));
        QCOMPARE(gone->status, 401);
        QCOMPARE(errorCode(gone), QString("unauthorized"));

        std::string token = signInAnonymously(client);
        QCOMPARE(client.Delete("/v1/account", bearer(token))->status, 200);
        QCOMPARE(client.Get("/v1/me", bearer(token))->status, 401);
        QCOMPARE(client.Get("/v1/me")->status, 401);
    }

    void expiredSessionsAreRefused()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.sessionTtlSeconds = 1;
        LocalServer server(options);
        httplib::Client client(server.url());
        std::string token = signInAnonymously(client);
        QCOMPARE(client.Get("/v1/me", bearer(token))->status, 200);
        QVERIFY(hf::test::waitUntil([&] { return client.Get("/v1/me", bearer(token))->status == 401; }, 5000));
        auto refused = client.Get("/api/auth/get-session", bearer(token));
        QCOMPARE(refused->status, 401);
        QCOMPARE(errorCode(refused), QString("unauthorized"));
        QVERIFY(!refused->has_header("set-auth-token"));
    }

    void handoffRedeemsOnceWithTheVerifier()
    {
        QTemporaryDir data;
        LocalServer server(optionsIn(data));
        httplib::Client client(server.url());
        std::string anonymous = signInAnonymously(client);
        auto anonymousUser = json(client.Get("/v1/me", bearer(anonymous)))["user"].toObject();
        auto job = json(postJson(client, "/v1/jobs", anonymous,
                                 {{"kind", "preview"}, {"durationSeconds", 3.0}, {"contentType", "audio/mp4"}}));
        std::string jobId = job["job"].toObject()["id"].toString().toStdString();

        QCOMPARE(postJson(client, "/v1/auth/handoff", anonymous, {{"provider", "apple"}, {"codeChallenge", "short"}})->status,
                 400);
        QCOMPARE(postJson(client, "/v1/auth/handoff", anonymous,
                          {{"provider", "github"}, {"codeChallenge", QString::fromStdString(challengeOf(kVerifier))}})
                     ->status,
                 400);
        auto started = postJson(client, "/v1/auth/handoff", anonymous,
                                {{"provider", "apple"}, {"codeChallenge", QString::fromStdString(challengeOf(kVerifier))}});
        QCOMPARE(started->status, 200);
        std::string page = pathOf(json(started)["url"].toString());

        auto shown = client.Get(page);
        QCOMPARE(shown->status, 200);
        QVERIFY(shown->body.find("<form") != std::string::npos);
        auto approved = client.Post(page, "action=approve&email=Ann%40Example.com&name=Ann",
                                    "application/x-www-form-urlencoded");
        QCOMPARE(approved->status, 302);
        std::string location = approved->get_header_value("Location");
        QVERIFY(location.rfind("hushframe-direct://auth/callback?code=", 0) == 0);
        QString code = queryOf(location).queryItemValue("code", QUrl::FullyDecoded);
        // The page cannot hand out a second code.
        QVERIFY(client.Post(page, "action=approve&email=eve%40example.com", "application/x-www-form-urlencoded")
                    ->get_header_value("Location")
                    .find("error=already_used")
                != std::string::npos);

        auto redeem = [&](const std::string& verifier) {
            return postJson(client, "/v1/auth/handoff/redeem", "",
                            {{"code", code}, {"codeVerifier", QString::fromStdString(verifier)}});
        };
        // Refused without using the code up: a wrong verifier, and the right one past the code's
        // lifetime (its expiry moved into the past in the server's records).
        auto codeExpiresIn = [&](double seconds) {
            hf::server::Database(std::filesystem::path(data.path().toStdString()) / "server.sqlite")
                .exec("UPDATE handoffs SET code_expires_at = ? WHERE state = 'approved'",
                      {hf::server::nowSeconds() + seconds});
        };
        const std::pair<std::string, bool> refusedRedeems[] = {{std::string(43, 'a'), false}, {kVerifier, true}};
        for (const auto& [verifier, expired] : refusedRedeems) {
            codeExpiresIn(expired ? -1 : 300);
            auto refused = redeem(verifier);
            QCOMPARE(refused->status, 400);
            QCOMPARE(errorCode(refused), QString("invalid_request"));
        }
        codeExpiresIn(300);

        auto redeemed = redeem(kVerifier);
        QCOMPARE(redeemed->status, 200);
        std::string token = redeemed->get_header_value("set-auth-token");
        auto user = json(redeemed)["user"].toObject();
        QCOMPARE(user["email"].toString(), QString("ann@example.com"));
        QCOMPARE(user["isAnonymous"].toBool(), false);
        // The anonymous account became the signed-in one, with its job; its old token is over.
        QCOMPARE(user["id"].toString(), anonymousUser["id"].toString());
        QCOMPARE(client.Get("/v1/jobs/" + jobId, bearer(token))->status, 200);
        QCOMPARE(client.Get("/v1/me", bearer(anonymous))->status, 401);
        QCOMPARE(redeem(kVerifier)->status, 400);

        // Declining on the page sends the app an error instead of a code.
        auto second = postJson(client, "/v1/auth/handoff", "",
                               {{"provider", "apple"}, {"codeChallenge", QString::fromStdString(challengeOf(kVerifier))}});
        auto declined = client.Post(pathOf(json(second)["url"].toString()), "action=cancel",
                                    "application/x-www-form-urlencoded");
        QCOMPARE(declined->get_header_value("Location"), std::string("hushframe-direct://auth/callback?error=access_denied"));
    }

    void identityProviderTokensSignIn()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.testControls = true; // the authorize page approves at once
        LocalServer server(options);
        httplib::Client client(server.url());
        const std::string redirect = "http://127.0.0.1:5555/callback";
        auto authorize = [&](const std::string& redirectUri) {
            return client.Get("/oauth/authorize?response_type=code&client_id=desktop&redirect_uri="
                              + enc(redirectUri) + "&state=xyz&code_challenge="
                              + challengeOf(kVerifier) + "&code_challenge_method=S256&nonce=n1"
                              + "&scope=openid%20email&login_hint=ann%40example.com");
        };
        QCOMPARE(authorize("https://elsewhere.example/callback")->status, 400);
        QVERIFY(!authorize("https://elsewhere.example/callback")->has_header("Location"));
        // The proof key is required, and only as S256: no code is issued without it.
        for (const std::string& proof : {std::string(), "&code_challenge=" + challengeOf(kVerifier),
                                         "&code_challenge=" + kVerifier + "&code_challenge_method=plain"}) {
            auto refused = client.Get("/oauth/authorize?response_type=code&client_id=desktop&redirect_uri="
                                      + enc(redirect) + "&state=xyz" + proof);
            QCOMPARE(refused->status, 302);
            QCOMPARE(queryOf(refused->get_header_value("Location")).queryItemValue("error"), QString("invalid_request"));
            QVERIFY(!queryOf(refused->get_header_value("Location")).hasQueryItem("code"));
        }

        auto approved = authorize(redirect);
        QCOMPARE(approved->status, 302);
        std::string location = approved->get_header_value("Location");
        QVERIFY(location.rfind(redirect + "?", 0) == 0);
        QCOMPARE(queryOf(location).queryItemValue("state"), QString("xyz"));
        std::string code = queryOf(location).queryItemValue("code", QUrl::FullyDecoded).toStdString();

        auto exchange = [&](const std::string& verifier) {
            return client.Post("/oauth/token",
                               "grant_type=authorization_code&client_id=desktop&code=" + code + "&redirect_uri="
                                   + enc(redirect) + "&code_verifier=" + verifier,
                               "application/x-www-form-urlencoded");
        };
        QCOMPARE(json(exchange(std::string(43, 'b')))["error"].toString(), QString("invalid_grant"));
        QCOMPARE(json(exchange(""))["error"].toString(), QString("invalid_grant"));
        auto tokens = exchange(kVerifier);
        QCOMPARE(tokens->status, 200);
        auto grant = json(tokens);
        QVERIFY(!grant["access_token"].toString().isEmpty());
        QCOMPARE(json(exchange(kVerifier))["error"].toString(), QString("invalid_grant"));

        // The ID token signs in, taking over the anonymous account whose token rides along.
        std::string anonymous = signInAnonymously(client);
        QString anonymousId = json(client.Get("/v1/me", bearer(anonymous)))["user"].toObject()["id"].toString();
        auto social = [&](const QString& idToken, const std::string& rider, const QString& nonce = "n1") {
            QJsonObject credentials{{"token", idToken}, {"accessToken", grant["access_token"].toString()}};
            if (!nonce.isEmpty())
                credentials["nonce"] = nonce;
            return postJson(client, "/api/auth/sign-in/social", rider,
                            {{"provider", "google"}, {"idToken", credentials}});
        };
        auto signedIn = social(grant["id_token"].toString(), anonymous);
        QCOMPARE(signedIn->status, 200);
        auto user = json(signedIn)["user"].toObject();
        QCOMPARE(user["id"].toString(), anonymousId);
        QCOMPARE(user["email"].toString(), QString("ann@example.com"));
        QCOMPARE(user["isAnonymous"].toBool(), false);

        QString tampered = grant["id_token"].toString();
        tampered[tampered.size() - 2] = tampered[tampered.size() - 2] == 'A' ? 'B' : 'A';
        QCOMPARE(social(tampered, "")->status, 401);
        QCOMPARE(social(grant["id_token"].toString(), "", "other")->status, 401);

        // A refreshed ID token names the same account; a later anonymous account's jobs move over.
        auto refreshed = json(client.Post("/oauth/token",
                                          "grant_type=refresh_token&client_id=desktop&refresh_token="
                                              + enc(grant["refresh_token"].toString().toStdString()),
                                          "application/x-www-form-urlencoded"));
        std::string later = signInAnonymously(client);
        auto job = json(postJson(client, "/v1/jobs", later,
                                 {{"kind", "full"}, {"durationSeconds", 3.0}, {"contentType", "audio/mp4"}}));
        auto again = social(refreshed["id_token"].toString(), later, "");
        QCOMPARE(json(again)["user"].toObject()["id"].toString(), anonymousId);
        QCOMPARE(client.Get("/v1/jobs/" + job["job"].toObject()["id"].toString().toStdString(),
                            bearer(again->get_header_value("set-auth-token")))
                     ->status,
                 200);

        QCOMPARE(client.Post("/oauth/revoke", "token=" + enc(grant["refresh_token"].toString().toStdString()),
                             "application/x-www-form-urlencoded")
                     ->status,
                 200);
        auto afterRevoke = client.Post("/oauth/token",
                                       "grant_type=refresh_token&client_id=desktop&refresh_token="
                                           + enc(grant["refresh_token"].toString().toStdString()),
                                       "application/x-www-form-urlencoded");
        QCOMPARE(json(afterRevoke)["error"].toString(), QString("invalid_grant"));
    }
};

QTEST_GUILESS_MAIN(HttpAuthTest)
#include "test_http_auth.moc"
