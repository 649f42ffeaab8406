// The feedback kit's client against the local server's feedback endpoint (and, where the request
// itself must be seen, a recording test server): the exact body, the token header, the reading of
// statuses and dropped connections, and the shared instance's configuration.

#include "Tellu/tellu.h"
#include "Tellu/tellu_survey_view.h"
#include "Tellu/tellu_view.h"

#include "support/local_server.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include "http/http_server.h"

#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using hf::test::LocalServer;
using hf::test::TestHttpServer;

namespace {

TelluConfig configFor(const QUrl& endpoint, bool systemInfo = false, std::optional<QString> token = std::nullopt)
{
    return TelluConfig{endpoint, QStringLiteral("Hushframe"), systemInfo, std::nullopt, std::move(token)};
}

QUrl feedbackURL(const LocalServer& server)
{
    return server.baseUrl().resolved(QUrl(QStringLiteral("/feedback")));
}

// Closes the connections the kit's network session keeps alive, so that a local server stops at
// once instead of waiting for them to time out. Declared after the servers it serves.
struct DropKeptConnections {
    ~DropKeptConnections()
    {
        for (auto* session : QCoreApplication::instance()->findChildren<QNetworkAccessManager*>())
            session->clearConnectionCache();
    }
};

// Sends and waits for the outcome; fails the test when none comes.
std::optional<TelluError> sendAndWait(const TelluClient& client, const TelluFeedback& feedback)
{
    bool done = false;
    std::optional<TelluError> outcome;
    QObject context;
    client.send(feedback, &context, [&](const std::optional<TelluError>& result) {
        outcome = result;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 20000))
        throw std::runtime_error("the send did not end");
    return outcome;
}

// The submissions the server stored, by file name.
QMap<QString, QByteArray> storedFeedback(const LocalServer& server)
{
    QDir folder(server.dataDir() + QStringLiteral("/feedback"));
    QMap<QString, QByteArray> bodies;
    for (const QString& name : folder.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            bodies.insert(name, file.readAll());
    }
    return bodies;
}

// Sends a submission that the server must accept and returns the body it stored.
QByteArray sendAndFetch(const TelluClient& client, const TelluFeedback& feedback, const LocalServer& server)
{
    const auto before = storedFeedback(server);
    if (const auto failure = sendAndWait(client, feedback))
        throw std::runtime_error("the send failed");
    const auto after = storedFeedback(server);
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (!before.contains(it.key()))
            return it.value();
    throw std::runtime_error("nothing was stored");
}

// The member names of a JSON object in the order they are written.
QStringList memberOrder(const QByteArray& json)
{
    // Top-level members only: a name follows "{" or "," at depth one.
    QStringList names;
    int depth = 0;
    bool inString = false;
    QString current;
    bool expectName = false;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\') {
                current += QChar(json[++i]);
            } else if (c == '"') {
                inString = false;
                if (depth == 1 && expectName) {
                    names << current;
                    expectName = false;
                }
            } else {
                current += QChar(c);
            }
            continue;
        }
        if (c == '"') {
            inString = true;
            current.clear();
        } else if (c == '{' || c == '[') {
            ++depth;
            expectName = depth == 1;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == ',' && depth == 1) {
            expectName = true;
        }
    }
    return names;
}

} // namespace

class TestTelluClient : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Runs first, while the kit is still unconfigured.
    void anUnconfiguredKitFailsTheSendInsteadOfStopping()
    {
        QVERIFY(!Tellu::shared().isConfigured());
        bool done = false;
        std::optional<TelluError> outcome;
        Tellu::send(TelluFeedback(QStringLiteral("Hello")), nullptr, [&](const std::optional<TelluError>& result) {
            outcome = result;
            done = true;
        });
        // Never inside the call that started it.
        QVERIFY(!done);
        QVERIFY(QTest::qWaitFor([&] { return done; }));
        QVERIFY(outcome);
        QCOMPARE(outcome->kind(), TelluError::Kind::networkError);
    }

    void theBodyHoldsExactlyTheMembersGiven()
    {
        LocalServer server;
        const DropKeptConnections drop;
        QCoreApplication::setApplicationVersion(QString());

        // A message alone, without system information: app, message and timestamp only.
        TelluClient plain(configFor(feedbackURL(server)));
        const TelluFeedback bare(QStringLiteral("  Works well\n"));
        const QByteArray first = sendAndFetch(plain, bare, server);
        QCOMPARE(memberOrder(first), (QStringList{"app", "message", "timestamp"}));
        const QJsonObject firstObject = QJsonDocument::fromJson(first).object();
        QCOMPARE(firstObject.value("app").toString(), QStringLiteral("Hushframe"));
        // The client trims nothing.
        QCOMPARE(firstObject.value("message").toString(), QStringLiteral("  Works well\n"));
        const QString timestamp = firstObject.value("timestamp").toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")).match(timestamp).hasMatch(),
                 qPrintable(timestamp));
        QCOMPARE(QDateTime::fromString(timestamp, Qt::ISODate).toSecsSinceEpoch(), bare.timestamp.toSecsSinceEpoch());
        QVERIFY(!first.contains('\n') && !first.contains(": "));

        // System information without an application version: "platform" but no "version".
        TelluClient withSystem(configFor(feedbackURL(server), true));
        const QByteArray second = sendAndFetch(withSystem, TelluFeedback(QStringLiteral("Second")), server);
        QCOMPARE(memberOrder(second), (QStringList{"app", "platform", "message", "timestamp"}));
        const QString platform = QJsonDocument::fromJson(second).object().value("platform").toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\S.* \\d+\\.\\d+\\.\\d+$")).match(platform).hasMatch()
                     || !platform.contains(u'.'),
                 qPrintable(platform));

        // Everything: version, platform, e-mail, category and an empty metadata map.
        QCoreApplication::setApplicationVersion(QStringLiteral("2.3.4"));
        const TelluFeedback full(QStringLiteral("All of it"), QStringLiteral("me@example.com"),
                                 TelluCategory::featureRequest, QMap<QString, QString>{});
        const QByteArray third = sendAndFetch(withSystem, full, server);
        QCoreApplication::setApplicationVersion(QString());
        QCOMPARE(memberOrder(third), (QStringList{"app", "version", "platform", "message", "email", "category",
                                                  "metadata", "timestamp"}));
        const QJsonObject thirdObject = QJsonDocument::fromJson(third).object();
        QCOMPARE(thirdObject.value("version").toString(), QStringLiteral("2.3.4"));
        QCOMPARE(thirdObject.value("email").toString(), QStringLiteral("me@example.com"));
        QCOMPARE(thirdObject.value("category").toString(), QStringLiteral("featureRequest"));
        QVERIFY(thirdObject.value("metadata").isObject() && thirdObject.value("metadata").toObject().isEmpty());
        QVERIFY(!third.contains("null"));

        // Metadata members arrive as given.
        const TelluFeedback survey(QStringLiteral("Survey"), std::nullopt, std::nullopt,
                                   QMap<QString, QString>{{"How likely?", "9"}, {"Why \"that\"", " blanks "}});
        const QJsonObject metadata =
            QJsonDocument::fromJson(sendAndFetch(plain, survey, server)).object().value("metadata").toObject();
        QCOMPARE(metadata.value("How likely?").toString(), QStringLiteral("9"));
        QCOMPARE(metadata.value("Why \"that\"").toString(), QStringLiteral(" blanks "));
    }

    void theTokenHeaderIsSentAsConfigured()
    {
        // A bare listener, so that the request's header lines are seen exactly as sent.
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QList<QByteArray> requests;
        connect(&listener, &QTcpServer::newConnection, &listener, [&] {
            QTcpSocket* socket = listener.nextPendingConnection();
            auto* buffer = new QByteArray;
            connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, &requests] {
                *buffer += socket->readAll();
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QByteArray head = buffer->left(end);
                const qsizetype lengthAt = head.toLower().indexOf("content-length:");
                const int length = lengthAt < 0 ? 0 : head.mid(lengthAt + 15).split('\r').first().trimmed().toInt();
                if (buffer->size() < end + 4 + length)
                    return;
                requests << head;
                buffer->clear();
                socket->write("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
            });
            connect(socket, &QTcpSocket::disconnected, socket, [socket, buffer] {
                delete buffer;
                socket->deleteLater();
            });
        });
        const QUrl endpoint(QStringLiteral("http://127.0.0.1:%1/in").arg(listener.serverPort()));

        QVERIFY(!sendAndWait(TelluClient(configFor(endpoint)), TelluFeedback(QStringLiteral("a"))));
        QVERIFY(!sendAndWait(TelluClient(configFor(endpoint, false, QString(""))), TelluFeedback(QStringLiteral("b"))));
        QVERIFY(!sendAndWait(TelluClient(configFor(endpoint, false, QStringLiteral("kit-1"))), TelluFeedback(QStringLiteral("c"))));
        QCOMPARE(requests.size(), 3);
        auto tokenLines = [](const QByteArray& head) {
            QList<QByteArray> lines;
            for (const QByteArray& line : head.split('\n'))
                if (line.toLower().startsWith("x-tellu-token:"))
                    lines << line.mid(14).trimmed();
            return lines;
        };
        QCOMPARE(tokenLines(requests[0]), QList<QByteArray>());
        QCOMPARE(tokenLines(requests[1]), QList<QByteArray>{QByteArray()});
        QCOMPARE(tokenLines(requests[2]), QList<QByteArray>{"kit-1"});
        for (const QByteArray& head : requests) {
            QVERIFY(head.startsWith("POST /in HTTP/1.1"));
            QVERIFY(head.toLower().contains("\r\ncontent-type: application/json"));
        }

        // A service that wants a token refuses a missing, empty or wrong one.
        LocalServer guarded([](hf::server::ServerOptions& options) { options.feedbackToken = "kit-secret"; });
        const DropKeptConnections drop;
        const QUrl url = feedbackURL(guarded);
        for (const std::optional<QString>& token : {std::optional<QString>(), std::optional<QString>(QString("")),
                                                    std::optional<QString>(QStringLiteral("kit-wrong"))}) {
            const auto outcome = sendAndWait(TelluClient(configFor(url, false, token)), TelluFeedback(QStringLiteral("x")));
            QVERIFY(outcome);
            QCOMPARE(outcome->kind(), TelluError::Kind::badResponse);
            QCOMPARE(outcome->status(), 401);
        }
        QVERIFY(!sendAndWait(TelluClient(configFor(url, false, QStringLiteral("kit-secret"))), TelluFeedback(QStringLiteral("y"))));
        QCOMPARE(storedFeedback(guarded).size(), 1);
    }

    void statusesAndDroppedConnectionsBecomeTheirErrorsAndTexts()
    {
        LocalServer server;
        const DropKeptConnections drop;
        TelluClient client(configFor(feedbackURL(server)));
        const TelluFeedback feedback(QStringLiteral("Status check"));

        for (int status : {200, 299}) {
            server.addFault(QJsonObject{{"path", "/feedback"}, {"status", status}, {"times", 1}});
            QVERIFY2(!sendAndWait(client, feedback), qPrintable(QString::number(status)));
        }
        for (int status : {400, 404, 500, 503}) {
            server.addFault(QJsonObject{{"path", "/feedback"}, {"status", status}, {"times", 1}});
            const auto outcome = sendAndWait(client, feedback);
            QVERIFY(outcome);
            // The server's answer, not a network error, even though the transport calls it a failure.
            QCOMPARE(outcome->kind(), TelluError::Kind::badResponse);
            QCOMPARE(outcome->status(), status);
            const QString expected = QStringLiteral("Server error (%1). Please try again later.").arg(status);
            QCOMPARE(TelluView::errorText(*outcome), expected);
            QCOMPARE(TelluSurveyView::errorText(*outcome), expected);
        }

        // Every attempt on the connection is cut (the transport itself resends once on a kept-alive
        // connection that closes before answering).
        server.addFault(QJsonObject{{"path", "/feedback"}, {"drop", true}});
        auto outcome = sendAndWait(client, feedback);
        server.clearFaults();
        QVERIFY(outcome);
        QCOMPARE(outcome->kind(), TelluError::Kind::networkError);
        const QString network = QStringLiteral("Network error. Please check your connection and try again.");
        QCOMPARE(TelluView::errorText(*outcome), network);
        QCOMPARE(TelluSurveyView::errorText(*outcome), network);

        // Nobody listening.
        const QUrl gone = feedbackURL(server);
        server.stop();
        outcome = sendAndWait(TelluClient(configFor(gone)), feedback);
        QVERIFY(outcome);
        QCOMPARE(outcome->kind(), TelluError::Kind::networkError);
        QVERIFY(!outcome->underlying().isEmpty());

        QCOMPARE(TelluView::errorText(TelluError::encodingError()),
                 QStringLiteral("Failed to prepare feedback. Please try again."));
        QCOMPARE(TelluSurveyView::errorText(TelluError::encodingError()),
                 QStringLiteral("Failed to send survey. Please try again."));
    }

    void theEndpointIsPostedToUnchanged()
    {
        TestHttpServer recorder;
        const DropKeptConnections drop;
        recorder.reply("POST", "/api/v2/feedback", 201, "{}");
        const QUrl endpoint(recorder.baseUrl().toString() + QStringLiteral("/api/v2/feedback?source=desktop"));
        QVERIFY(!sendAndWait(TelluClient(configFor(endpoint)), TelluFeedback(QStringLiteral("a"))));
        QCOMPARE(recorder.count("POST", "/api/v2/feedback"), 1);
    }

    void aSendKeepsTheConfigurationItStartedWith()
    {
        LocalServer first;
        LocalServer second;
        const DropKeptConnections drop;
        first.addFault(QJsonObject{{"path", "/feedback"}, {"delayMs", 400}, {"times", 1}});
        Tellu::configure(configFor(feedbackURL(first)));
        const TelluFeedback feedback(QStringLiteral("Which one"));
        bool firstDone = false;
        std::optional<TelluError> firstOutcome;
        Tellu::send(feedback, nullptr, [&](const std::optional<TelluError>& result) {
            firstOutcome = result;
            firstDone = true;
        });
        Tellu::configure(configFor(feedbackURL(second)));
        QCOMPARE(Tellu::shared().config()->endpointURL, feedbackURL(second));
        QVERIFY(QTest::qWaitFor([&] { return firstDone; }));
        QVERIFY(!firstOutcome);
        QCOMPARE(storedFeedback(first).size(), 1);
        QCOMPARE(storedFeedback(second).size(), 0);

        bool secondDone = false;
        Tellu::send(feedback, nullptr, [&](const std::optional<TelluError>&) { secondDone = true; });
        QVERIFY(QTest::qWaitFor([&] { return secondDone; }));
        QCOMPARE(storedFeedback(second).size(), 1);
        // The record's own time, not the time of sending: both copies carry the same one.
        QCOMPARE(QJsonDocument::fromJson(storedFeedback(first).first()).object().value("timestamp"),
                 QJsonDocument::fromJson(storedFeedback(second).first()).object().value("timestamp"));
    }

    void theRecordDecodesOnlyWhatItCanHold()
    {
        const TelluFeedback full(QStringLiteral("m"), QStringLiteral("e@x.org"), TelluCategory::bug,
                                 QMap<QString, QString>{{"k", "v"}});
        auto back = TelluFeedback::fromJson(full.toJson());
        QVERIFY(back);
        QCOMPARE(back->message, full.message);
        QCOMPARE(back->email, full.email);
        QCOMPARE(back->category, full.category);
        QCOMPARE(back->metadata, full.metadata);
        QCOMPARE(back->timestamp.toSecsSinceEpoch(), full.timestamp.toSecsSinceEpoch());

        const QJsonObject minimal{{"message", "m"}, {"timestamp", "2026-12-07T10:00:00Z"}};
        back = TelluFeedback::fromJson(minimal);
        QVERIFY(back && !back->email && !back->category && !back->metadata);

        QJsonObject noTime = minimal;
        noTime.remove("timestamp");
        QJsonObject noMessage = minimal;
        noMessage.remove("message");
        QJsonObject strangeCategory = minimal;
        strangeCategory.insert("category", "praise");
        for (const QJsonObject& bad : {noTime, noMessage, strangeCategory})
            QVERIFY(!TelluFeedback::fromJson(bad));
        QVERIFY(!TelluCategories::fromRawValue(QStringLiteral("General")));
        QCOMPARE(TelluCategories::fromRawValue(QStringLiteral("featureRequest")), TelluCategory::featureRequest);
    }

    void textsFallBackToTheCompiledInEnglish()
    {
        // No string table ships with the tests: every text is its English default.
        QCOMPARE(TelluCategories::displayName(TelluCategory::featureRequest), QStringLiteral("Feature Request"));
        QCOMPARE(TelluCategories::displayName(TelluCategory::bug), QStringLiteral("Bug Report"));
        QCOMPARE(TelluStrings::defaultSurveyTitle(), QStringLiteral("Quick Survey"));
        QCOMPARE(TelluStrings::textPlaceholder(), QStringLiteral("Optional"));
        QCOMPARE(TelluStrings::serverError(503), QStringLiteral("Server error (503). Please try again later."));
        QCOMPARE(telluText("tellu.feedback.message.placeholder", "Your feedback…"), QStringLiteral("Your feedback…"));
    }

    void thePlatformTextAlwaysHasThreeNumbers()
    {
        QCOMPARE(telluPlatformText("Debian GNU/Linux", "12"), QStringLiteral("Debian GNU/Linux 12.0.0"));
        QCOMPARE(telluPlatformText("Ubuntu", "22.04"), QStringLiteral("Ubuntu 22.04.0"));
        QCOMPARE(telluPlatformText("Fedora Linux", "39.1.2.7"), QStringLiteral("Fedora Linux 39.1.2"));
        QCOMPARE(telluPlatformText("Arch Linux", "unknown"), QStringLiteral("Arch Linux"));
        QCOMPARE(telluPlatformText("Arch Linux", "rolling"), QStringLiteral("Arch Linux rolling"));
    }
};

QTEST_MAIN(TestTelluClient)
#include "test_tellu_client.moc"
