// Update checks against the local server's feed: newer, equal, older, malformed and unreachable
// feeds, what a scheduled check tells, and that no second check starts while one runs.

#include "app/app_updater.h"
#include "platform/settings_store.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace hf;

namespace {

struct Recorder final : UpdatePresenter {
    QStringList calls;
    std::optional<AppcastItem> offered;
    void updateAvailable(const AppcastItem& item, const QString&) override
    {
        calls << QStringLiteral("available");
        offered = item;
    }
    void upToDate(const QString&) override { calls << QStringLiteral("upToDate"); }
    void checkFailed(const QString& message) override { calls << QStringLiteral("failed:") + message; }
};

QByteArray feedWith(const QStringList& itemXml)
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>t</title>"
           + itemXml.join("").toUtf8() + "</channel></rss>";
}

QString item(const QString& version, const QString& link = QStringLiteral("https://example.invalid/download"))
{
    return QStringLiteral("<item><title>Version %1</title><link>%2</link><description>Notes %1</description>"
                          "<enclosure url=\"https://example.invalid/hf-%1.tar.gz\" length=\"0\"/></item>")
        .arg(version, link);
}

} // namespace

class TestAppUpdater : public QObject {
    Q_OBJECT

    void writeFeed(const QByteArray& document)
    {
        QFile file(m_server->dataDir() + QStringLiteral("/appcast.xml"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(document);
    }

    QUrl feedURL() const { return m_server->baseUrl().resolved(QUrl(QStringLiteral("/appcast.xml"))); }

    std::unique_ptr<test::LocalServer> m_server;
    QNetworkAccessManager m_network;

private slots:
    void initTestCase() { m_server = std::make_unique<test::LocalServer>(); }

    void readsFeedsAndVersions()
    {
        QVERIFY(compareVersions("1.10", "1.9") > 0);
        QVERIFY(compareVersions("1.2", "1.2.0") == 0);
        QVERIFY(compareVersions("1.2-beta", "1.2") < 0);
        QVERIFY(compareVersions("0.9.9", "0.10") < 0);

        const auto newest = newestAppcastItem(feedWith({item("0.2.0"), item("0.10.1"), item("0.9")}));
        QVERIFY(newest);
        QCOMPARE(newest->version, QStringLiteral("0.10.1"));
        QCOMPARE(newest->page, QUrl("https://example.invalid/download"));
        // Versions given as attributes win over the title; only web pages are offered.
        const auto tagged = newestAppcastItem(feedWith({
            "<item><title>Spring release</title><link>file:///etc/passwd</link>"
            "<enclosure url=\"https://example.invalid/x.tar.gz\" sparkle:shortVersionString=\"2.1\"/></item>"}));
        QVERIFY(tagged);
        QCOMPARE(tagged->version, QStringLiteral("2.1"));
        QCOMPARE(tagged->page, QUrl("https://example.invalid/x.tar.gz"));
        QVERIFY(!newestAppcastItem(feedWith({})));

        for (const QByteArray bad : {QByteArray("<html><body>hi</body></html>"), QByteArray("<rss><channel><item>"),
                                     QByteArray("not xml at all"), QByteArray()}) {
            bool threw = false;
            try {
                newestAppcastItem(bad);
            } catch (const UpdateError& error) {
                threw = error.kind() == UpdateError::Case::unreadableFeed;
            }
            QVERIFY2(threw, bad.constData());
        }
    }

    void checksOnRequest_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("newer") << feedWith({item("0.1.0"), item("0.2.0")}) << "available";
        QTest::newRow("equal") << feedWith({item("0.1.0")}) << "upToDate";
        QTest::newRow("older") << feedWith({item("0.0.9")}) << "upToDate";
        QTest::newRow("no releases") << feedWith({}) << "upToDate";
        QTest::newRow("malformed") << QByteArray("<rss><channel><item><title>1.0") << "failed:The update information could not be read.";
    }

    void checksOnRequest()
    {
        QFETCH(QByteArray, feed);
        QFETCH(QString, outcome);
        writeFeed(feed);
        MemorySettingsStore settings;
        Recorder presenter;
        AppUpdater updater(&m_network, feedURL(), QStringLiteral("0.1.0"), &settings, &presenter);
        QVERIFY(!updater.canCheckForUpdates());
        updater.checkForUpdates(); // not started: nothing happens
        updater.start();
        QVERIFY(updater.canCheckForUpdates());

        QSignalSpy finished(&updater, &AppUpdater::checkFinished);
        QSignalSpy can(&updater, &AppUpdater::canCheckForUpdatesChanged);
        updater.checkForUpdates();
        QVERIFY(!updater.canCheckForUpdates()); // disabled while the check runs
        updater.checkForUpdates();              // ignored: one check at a time
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(presenter.calls, QStringList{outcome});
        QVERIFY(updater.canCheckForUpdates());
        QCOMPARE(can.size(), 2);
        QCOMPARE(settings.contains(AppUpdater::kLastCheckKey), !outcome.startsWith("failed"));
        if (outcome == "available")
            QCOMPARE(presenter.offered->version, QStringLiteral("0.2.0"));
    }

    void reportsUnreachableAndRefusingServers()
    {
        Recorder presenter;
        MemorySettingsStore settings;
        // A port that nothing listens on.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        AppUpdater unreachable(&m_network, QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(closedPort)),
                               "0.1.0", &settings, &presenter);
        unreachable.start();
        QSignalSpy finished(&unreachable, &AppUpdater::checkFinished);
        unreachable.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(presenter.calls.size(), 1);
        QVERIFY(presenter.calls[0].startsWith("failed:The update server could not be reached"));

        presenter.calls.clear();
        m_server->addFault(QJsonObject{{"method", "GET"}, {"path", "/appcast.xml"}, {"status", 503}, {"times", 1}});
        AppUpdater refusing(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        refusing.start();
        QSignalSpy refused(&refusing, &AppUpdater::checkFinished);
        refusing.checkForUpdates();
        QVERIFY(refused.wait(10000));
        QCOMPARE(presenter.calls, QStringList{"failed:The update server answered with an error (HTTP 503)."});
        m_server->clearFaults();

        AppUpdater unconfigured(&m_network, std::nullopt, "0.1.0", &settings, &presenter);
        unconfigured.start();
        QVERIFY(!unconfigured.canCheckForUpdates());
    }

    void scheduledChecksSpeakOnlyOfUpdates()
    {
        writeFeed(feedWith({item("0.1.0")}));
        Recorder presenter;
        MemorySettingsStore settings;
        AppUpdater updater(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        QSignalSpy finished(&updater, &AppUpdater::checkFinished);
        updater.start(); // never checked: a check runs shortly after launch
        QVERIFY(finished.wait(10000));
        QVERIFY(presenter.calls.isEmpty()); // up to date: a scheduled check says nothing

        // A check a minute ago: the next one waits a day.
        settings.setValue(AppUpdater::kLastCheckKey, QDateTime::currentDateTimeUtc().addSecs(-60).toString(Qt::ISODateWithMs));
        writeFeed(feedWith({item("9.0")}));
        AppUpdater recent(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        QSignalSpy recentFinished(&recent, &AppUpdater::checkFinished);
        recent.start();
        QVERIFY(!recentFinished.wait(3000));

        // A day-old check: the scheduled check tells of the update.
        settings.setValue(AppUpdater::kLastCheckKey, QDateTime::currentDateTimeUtc().addDays(-2).toString(Qt::ISODateWithMs));
        AppUpdater due(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        QSignalSpy dueFinished(&due, &AppUpdater::checkFinished);
        due.start();
        QVERIFY(dueFinished.wait(10000));
        QCOMPARE(presenter.calls, QStringList{"available"});
    }
};

QTEST_GUILESS_MAIN(TestAppUpdater)
#include "test_app_updater.moc"
