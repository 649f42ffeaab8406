// Error bodies, status fallback and the user-facing texts of backend errors.

#include "backend/api_error.h"

#include <QTest>

using namespace hf;

Q_DECLARE_METATYPE(hf::APIErrorCode)

class TestAPIError : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesErrorBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<APIErrorCode>("code");
        QTest::addColumn<QString>("message"); // null: none

        QTest::newRow("nested code beats status") << QByteArray(R"({"error":{"code":"conflict","message":"m"}})")
                                                  << 500 << APIErrorCode::conflict << QStringLiteral("m");
        QTest::newRow("flat code, no message") << QByteArray(R"({"code":"not_found"})") << 400
                                               << APIErrorCode::notFound << QString();
        QTest::newRow("unknown nested code falls back")
            << QByteArray(R"({"error":{"code":"exploded"}})") << 503 << APIErrorCode::internal << QString();
        QTest::newRow("code in other letter case") << QByteArray(R"({"code":"CONFLICT"})") << 429
                                                   << APIErrorCode::rateLimited << QString();
        QTest::newRow("error as string: whole body unreadable")
            << QByteArray(R"({"error":"nope","message":"lost"})") << 404 << APIErrorCode::notFound << QString();
        QTest::newRow("nested code with flat message")
            << QByteArray(R"({"error":{"code":"forbidden"},"message":"flat"})") << 400 << APIErrorCode::forbidden
            << QStringLiteral("flat");
        QTest::newRow("empty body") << QByteArray() << 418 << APIErrorCode::unknown << QString();
        QTest::newRow("not an object") << QByteArray("[1,2]") << 401 << APIErrorCode::unauthorized << QString();
        QTest::newRow("message of wrong type") << QByteArray(R"({"code":"conflict","message":5})") << 403
                                               << APIErrorCode::forbidden << QString();
        QTest::newRow("null error object") << QByteArray(R"({"error":null,"code":"unavailable"})") << 500
                                           << APIErrorCode::unavailable << QString();
    }

    void parsesErrorBodies()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(APIErrorCode, code);
        QFETCH(QString, message);
        const auto parsed = APIErrorBodyParser::parse(body, status);
        QCOMPARE(parsed.code, code);
        QCOMPARE(parsed.message.has_value(), !message.isNull());
        if (parsed.message)
            QCOMPARE(*parsed.message, message);
    }

    void statusFallback()
    {
        const std::vector<std::pair<int, APIErrorCode>> table{
            {400, APIErrorCode::invalidRequest}, {401, APIErrorCode::unauthorized}, {403, APIErrorCode::forbidden},
            {404, APIErrorCode::notFound},       {409, APIErrorCode::conflict},     {429, APIErrorCode::rateLimited},
            {500, APIErrorCode::internal},       {599, APIErrorCode::internal},     {600, APIErrorCode::unknown},
            {302, APIErrorCode::unknown},        {402, APIErrorCode::unknown}};
        for (const auto& [status, code] : table)
            QCOMPARE(APIErrorBodyParser::statusFallback(status), code);
    }

    void userFacingTexts()
    {
        const QString sessionLost =
            QStringLiteral("Hushframe couldn't keep your session going. Check your internet connection and try again.");
        QCOMPARE(APIError::signInRequired().localizedDescription(), sessionLost);
        QCOMPARE(APIError::server(APIErrorCode::unauthorized, QStringLiteral("ignored"), 401).localizedDescription(),
                 sessionLost);
        QCOMPARE(APIError::server(APIErrorCode::forbidden, std::nullopt, 403).localizedDescription(),
                 QStringLiteral("Your account doesn't have access to that."));
        // invalidRequest and unknown show a non-empty server message instead of their text.
        QCOMPARE(APIError::server(APIErrorCode::invalidRequest, QStringLiteral("Too long."), 400).localizedDescription(),
                 QStringLiteral("Too long."));
        QCOMPARE(APIError::server(APIErrorCode::invalidRequest, QString(), 400).localizedDescription(),
                 QStringLiteral("Hushframe couldn't process this file. Videos must be 3 hours or shorter."));
        QCOMPARE(APIError::server(APIErrorCode::unknown, QStringLiteral("Odd."), 418).localizedDescription(),
                 QStringLiteral("Odd."));
        QCOMPARE(APIError::server(APIErrorCode::unknown, std::nullopt, 418).localizedDescription(),
                 QStringLiteral("Something went wrong. Please try again."));
        // Other codes never show the server's message.
        QCOMPARE(APIError::server(APIErrorCode::conflict, QStringLiteral("server words"), 409).localizedDescription(),
                 QStringLiteral("This job has already started. Please wait for it to finish."));
        QCOMPARE(APIError::network(QStringLiteral("Connection refused")).localizedDescription(),
                 QStringLiteral("Hushframe couldn't reach its servers. Check your internet connection and try again. "
                                "(Connection refused)"));
        QCOMPARE(APIError::decoding(QStringLiteral("Key not found")).localizedDescription(),
                 QStringLiteral("Hushframe's servers sent data this version of the app doesn't understand. Please "
                                "update Hushframe."));
        // No Google client is configured here: the text names Apple alone.
        QCOMPARE(APIError::accountLimitReached().localizedDescription(),
                 QStringLiteral("Hushframe couldn't start a new account on this network right now. Sign in with Apple "
                                "to keep going."));
        QCOMPARE(APIError::invalidResponse().localizedDescription(),
                 QStringLiteral("Hushframe's servers sent an unexpected response. Please try again."));
    }

    void equality()
    {
        QVERIFY(APIError::server(APIErrorCode::conflict, QStringLiteral("a"), 409)
                == APIError::server(APIErrorCode::conflict, QStringLiteral("a"), 409));
        QVERIFY(!(APIError::server(APIErrorCode::conflict, QStringLiteral("a"), 409)
                  == APIError::server(APIErrorCode::conflict, QStringLiteral("a"), 500)));
        QVERIFY(!(APIError::network(QStringLiteral("a")) == APIError::decoding(QStringLiteral("a"))));
        QVERIFY(APIError::invalidResponse() == APIError::invalidResponse());
    }
};

QTEST_GUILESS_MAIN(TestAPIError)
#include "test_api_error.moc"
