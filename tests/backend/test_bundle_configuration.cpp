// The configuration lookup rules: blanks, unexpanded build settings, placeholders, non-strings,
// and the built-in fallbacks.

#include "backend/bundle_configuration.h"

#include <QJsonObject>
#include <QTest>

using namespace hf;

class TestBundleConfiguration : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void strings()
    {
        const QJsonObject info{{"padded", " \n value\t\n"}, {"blank", "  \n"}, {"unexpanded", "$(API_URL)"},
                               {"number", 42}};
        QCOMPARE(infoPlistString(info, QStringLiteral("padded")), std::optional<QString>(QStringLiteral("value")));
        QCOMPARE(infoPlistString(info, QStringLiteral("blank")), std::nullopt);
        QCOMPARE(infoPlistString(info, QStringLiteral("unexpanded")), std::nullopt);
        QCOMPARE(infoPlistString(info, QStringLiteral("number")), std::nullopt);
        QCOMPARE(infoPlistString(info, QStringLiteral("missing")), std::nullopt);
    }

    void baseURL()
    {
        const QUrl builtIn = apiBaseURL(QJsonObject{});
        QCOMPARE(builtIn.scheme(), QStringLiteral("https"));
        QVERIFY(builtIn.path().isEmpty());
        QCOMPARE(apiBaseURL(QJsonObject{{"HushframeAPIBaseURL", "  https://api.example.org/base \n"}}),
                 QUrl(QStringLiteral("https://api.example.org/base")));
        QCOMPARE(apiBaseURL(QJsonObject{{"HushframeAPIBaseURL", "api.example.org"}}), builtIn);
        QCOMPARE(apiBaseURL(QJsonObject{{"HushframeAPIBaseURL", "$(HF_API_BASE_URL)"}}), builtIn);
        QCOMPARE(apiBaseURL(QJsonObject{{"HushframeAPIBaseURL", 8787}}), builtIn);
    }

    void googleIdentifiers()
    {
        QCOMPARE(googleClientID(QJsonObject{{"GIDClientID", " 123.apps.example "}}),
                 std::optional<QString>(QStringLiteral("123.apps.example")));
        for (const char* unusable : {"REPLACE_WITH_CLIENT_ID", "x-REPLACE_WITH-y", "", "   "})
            QCOMPARE(googleClientID(QJsonObject{{"GIDClientID", unusable}}), std::nullopt);
        QCOMPARE(googleServerClientID(QJsonObject{{"GIDServerClientID", "server"}}),
                 std::optional<QString>(QStringLiteral("server")));
        QCOMPARE(googleServerClientID(QJsonObject{}), std::nullopt);

        const GoogleEndpoints google = googleEndpoints(QJsonObject{});
        QCOMPARE(google.token.host(), QStringLiteral("oauth2.googleapis.com"));
        const GoogleEndpoints local =
            googleEndpoints(QJsonObject{{"GoogleAuthorizationURL", "http://127.0.0.1:8787/oauth/authorize"}});
        QCOMPARE(local.authorization, QUrl(QStringLiteral("http://127.0.0.1:8787/oauth/authorize")));
        QCOMPARE(local.revocation, google.revocation);
    }

    void legalPages()
    {
        QCOMPARE(legalPageURL(QJsonObject{{"HushframeWebsiteURL", "https://example.org/"}}, QStringLiteral("/terms/")),
                 QUrl(QStringLiteral("https://example.org/terms/")));
        QCOMPARE(termsURL().path(), QStringLiteral("/terms/"));
        QCOMPARE(privacyURL().path(), QStringLiteral("/privacy/"));
        QCOMPARE(termsURL().host(), privacyURL().host());
    }
};

QTEST_GUILESS_MAIN(TestBundleConfiguration)
#include "test_bundle_configuration.moc"
