// Update checks against the local server's feed: newer, equal, older, malformed and unreachable
// feeds, what a scheduled check tells, that no second check starts while one runs, and when the
// schedule checks next (a day after a success, backing off after failures).

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
using namespace std::chrono_literals;

namespace {

const QDateTime kNow = QDateTime(QDate(2026, 3, 14), QTime(9, 30), Qt::UTC);

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
        updater.setClock([] { return kNow; });
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
        // A success is remembered and the next check waits a day; a failure is retried in a minute.
        if (outcome.startsWith("failed")) {
            QVERIFY(!settings.contains(AppUpdater::kLastCheckKey));
            QCOMPARE(updater.scheduledDelay(), std::optional(std::chrono::milliseconds(1min)));
        } else {
            QCOMPARE(settings.string(AppUpdater::kLastCheckKey), kNow.toString(Qt::ISODateWithMs));
            QCOMPARE(updater.scheduledDelay(), std::optional(std::chrono::milliseconds(24h)));
        }
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

        // The next scheduled check comes a day after the last one, counted in hours, not minutes.
        writeFeed(feedWith({item("9.0")}));
        for (const auto& [ago, wait] : {std::pair{1min, std::chrono::milliseconds(24h - 1min)},
                                        std::pair{std::chrono::minutes(23h), std::chrono::milliseconds(1h)},
                                        std::pair{std::chrono::minutes(48h), std::chrono::milliseconds(2s)}}) {
            settings.setValue(AppUpdater::kLastCheckKey, kNow.addSecs(-std::chrono::seconds(ago).count()).toString(Qt::ISODateWithMs));
            AppUpdater recent(&m_network, feedURL(), "0.1.0", &settings, &presenter);
            recent.setClock([] { return kNow; });
            recent.start();
            QCOMPARE(recent.scheduledDelay(), std::optional(wait));
        }
        // A last check in the future (a clock set back) waits a day at most.
        settings.setValue(AppUpdater::kLastCheckKey, kNow.addDays(30).toString(Qt::ISODateWithMs));
        AppUpdater ahead(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        ahead.setClock([] { return kNow; });
        ahead.start();
        QCOMPARE(ahead.scheduledDelay(), std::optional(std::chrono::milliseconds(24h)));
        QVERIFY(presenter.calls.isEmpty());

        // A day-old check: the scheduled check tells of the update.
        settings.setValue(AppUpdater::kLastCheckKey, QDateTime::currentDateTimeUtc().addDays(-2).toString(Qt::ISODateWithMs));
        AppUpdater due(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        QSignalSpy dueFinished(&due, &AppUpdater::checkFinished);
        due.start();
        QVERIFY(dueFinished.wait(10000));
        QCOMPARE(presenter.calls, QStringList{"available"});
    }

    // Failed checks, scheduled or asked for, are retried after 1, 2, 4, ... minutes, never more
    // rarely than daily; a check on request still runs at once; a success restores the daily check.
    void failedChecksBackOff()
    {
        writeFeed(feedWith({item("0.1.0")}));
        Recorder presenter;
        MemorySettingsStore settings;
        AppUpdater updater(&m_network, feedURL(), "0.1.0", &settings, &presenter);
        updater.setClock([] { return kNow; });
        QSignalSpy finished(&updater, &AppUpdater::checkFinished);
        updater.start();
        QCOMPARE(updater.scheduledDelay(), std::optional(std::chrono::milliseconds(2s)));

        // The launch check fails (the feed host answers an error): a minute, not seconds.
        m_server->addFault(QJsonObject{{"method", "GET"}, {"path", "/appcast.xml"}, {"status", 503}, {"times", 13}});
        QVERIFY(finished.wait(10000));
        QCOMPARE(updater.scheduledDelay(), std::optional(std::chrono::milliseconds(1min)));
        QVERIFY(presenter.calls.isEmpty());   // a scheduled failure says nothing

        QList<std::chrono::milliseconds> waits;
        for (int i = 0; i < 12; ++i) {
            updater.checkForUpdates();   // on request: at once, whatever the schedule
            QVERIFY(!updater.scheduledDelay());
            QVERIFY(finished.wait(10000));
            waits << *updater.scheduledDelay();
        }
        QCOMPARE(updater.failuresInARow(), 13);
        const QList<std::chrono::milliseconds> expected{2min, 4min, 8min, 16min, 32min, 64min, 128min,
                                                        256min, 512min, 1024min, 24h, 24h};
        QCOMPARE(waits, expected);
        QCOMPARE(presenter.calls.size(), 12);
        QVERIFY(!settings.contains(AppUpdater::kLastCheckKey));

        m_server->clearFaults();
        updater.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(updater.failuresInARow(), 0);
        QCOMPARE(updater.scheduledDelay(), std::optional(std::chrono::milliseconds(24h)));
    }
};

QTEST_GUILESS_MAIN(TestAppUpdater)
#include "test_app_updater.moc"
