// The feedback kit's set-up from the build's configuration: which tokens count, where feedback
// goes, and a feedback sent through the configured kit reaching the local server's data folder.

#include "Tellu/tellu.h"
#include "Tellu/tellu_view.h"
#include "app/feedback_setup.h"

#include "support/local_server.h"
#include "support/test_support.h"

#include "http/http_server.h"

#include <QAbstractButton>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QPlainTextEdit>
#include <QTest>

using namespace hf;
using hf::test::LocalServer;

class TestFeedbackSetup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void onlyARealTokenConfiguresTheKit()
    {
        const QJsonObject endpoint{{"TelluFeedbackURL", "http://127.0.0.1:9/feedback"}};
        for (const QJsonValue& token : {QJsonValue(), QJsonValue(""), QJsonValue(" \n\t "), QJsonValue("REPLACE_ME"),
                                        QJsonValue("tellu-REPLACE_ME-token"), QJsonValue("$(TELLU_KIT_TOKEN)"),
                                        QJsonValue(42)}) {
            QJsonObject info = endpoint;
            if (!token.isUndefined() && !token.isNull())
                info.insert("TelluKitToken", token);
            QVERIFY2(!feedbackKitToken(info), qPrintable(token.toString()));
            QVERIFY(!configureFeedbackKit(info));
        }
        // Left unconfigured: the application offers no feedback.
        QVERIFY(!Tellu::shared().isConfigured());

        const QJsonObject info{{"TelluKitToken", "  kit-7f3a\n"}, {"TelluFeedbackURL", "http://127.0.0.1:9/feedback"}};
        QCOMPARE(feedbackKitToken(info), QStringLiteral("kit-7f3a"));
        QVERIFY(configureFeedbackKit(info));
        const TelluConfig config = *Tellu::shared().config();
        QCOMPARE(config.token, QStringLiteral("kit-7f3a"));
        QCOMPARE(config.endpointURL, QUrl(QStringLiteral("http://127.0.0.1:9/feedback")));
        QCOMPARE(config.appName, QStringLiteral("Hushframe"));
        QVERIFY(config.includeSystemInfo);
        QVERIFY(config.tintColor.has_value());
    }

    void feedbackGoesToTheConfiguredServiceOrTheBuiltInOne()
    {
        const QUrl builtIn = feedbackServiceURL(QJsonObject{});
        QCOMPARE(builtIn.scheme(), QStringLiteral("https"));
        for (const char* value : {"", "  ", "not a url", "ftp://example.com/feedback", "$(TELLU_FEEDBACK_URL)"})
            QCOMPARE(feedbackServiceURL(QJsonObject{{"TelluFeedbackURL", value}}), builtIn);
        QCOMPARE(feedbackServiceURL(QJsonObject{{"TelluFeedbackURL", " http://127.0.0.1:8787/feedback "}}),
                 QUrl(QStringLiteral("http://127.0.0.1:8787/feedback")));
    }

    void aFeedbackFromTheFormReachesTheServersDataFolder()
    {
        LocalServer server([](hf::server::ServerOptions& options) { options.feedbackToken = "kit-local"; });
        QCoreApplication::setApplicationVersion(QStringLiteral("1.4.0"));
        const QJsonObject info{{"TelluKitToken", "kit-local"},
                               {"TelluFeedbackURL", server.baseUrl().toString() + QStringLiteral("/feedback")}};
        QVERIFY(configureFeedbackKit(info));

        TelluView form(*Tellu::shared().config());
        form.show();
        form.findChild<QPlainTextEdit*>(QStringLiteral("tellu.feedback.message"))
            ->setPlainText(QStringLiteral("The queue footer is great."));
        QTest::mouseClick(form.findChild<QAbstractButton*>(QStringLiteral("tellu.feedback.send")), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !form.isSubmitting(); }));
        QVERIFY2(form.isSuccess(), qPrintable(form.errorMessage().value_or(QString())));

        const QDir folder(server.dataDir() + QStringLiteral("/feedback"));
        const QStringList files = folder.entryList({QStringLiteral("*.json")}, QDir::Files);
        QCOMPARE(files.size(), 1);
        QFile file(folder.filePath(files.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(stored.value("app").toString(), QStringLiteral("Hushframe"));
        QCOMPARE(stored.value("version").toString(), QStringLiteral("1.4.0"));
        QVERIFY(!stored.value("platform").toString().isEmpty());
        QCOMPARE(stored.value("message").toString(), QStringLiteral("The queue footer is great."));
        // Connections kept alive would hold the server's stop until they time out.
        for (auto* session : QCoreApplication::instance()->findChildren<QNetworkAccessManager*>())
            session->clearConnectionCache();
    }
};

QTEST_MAIN(TestFeedbackSetup)
#include "test_feedback_setup.moc"
