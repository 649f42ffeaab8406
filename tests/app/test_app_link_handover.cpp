// The web sign-in across two real processes: this test process is the running application,
// listening on its own instance channel; the sign-in page of the local server redirects to the
// application's link, which a second start of the application binary hands over to this process.

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/web_sign_in.h"
#include "platform/network.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include "http/http_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <httplib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace hf;
using hf::test::LocalServer;
using hf::test::runTask;

class TestAppLinkHandover : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    QString channel;

    // The environment of a start of the application on this test's channel.
    QProcessEnvironment startEnvironment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HF_INSTANCE_CHANNEL"), channel);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // Whatever happens, a start never touches the user's own files.
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
        return environment;
    }

    // A second start of the application with `arguments`; returns its exit code.
    int startSecondInstance(const QStringList& arguments)
    {
        QProcess process;
        process.setProcessEnvironment(startEnvironment());
        process.start(QStringLiteral(HF_APP_BINARY), arguments);
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private Q_SLOTS:
    void init()
    {
        channel = home.filePath(QStringLiteral("instance-%1").arg(QTest::currentTestFunction()));
    }

    void channelBasics()
    {
        QVERIFY(!SingleInstance::forward(channel, {QStringLiteral("hushframe-direct://x")}, 500));

        // A socket file left behind by an instance that ended without closing is taken over.
        {
            QFile stale(channel);
            QVERIFY(stale.open(QIODevice::WriteOnly));
        }
        SingleInstance first(channel);
        QVERIFY(first.listen());
        SingleInstance second(channel);
        QVERIFY(!second.listen());

        QSignalSpy received(&first, &SingleInstance::messageReceived);
        QVERIFY(SingleInstance::forward(channel, {QStringLiteral("one"), QStringLiteral("two")}));
        QVERIFY(QTest::qWaitFor([&] { return received.count() == 2; }, 5000));
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("one"));
        QCOMPARE(received.at(1).at(0).toString(), QStringLiteral("two"));
    }

    void secondStartWithoutLinksShowsTheRunningWindow()
    {
        SingleInstance instance(channel);
        QVERIFY(instance.listen());
        QSignalSpy received(&instance, &SingleInstance::messageReceived);
        QCOMPARE(startSecondInstance({}), 0);
        QVERIFY(QTest::qWaitFor([&] { return received.count() == 1; }, 10000));
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("show-main-window"));
    }

    void startsAtTheSameMomentRunOneInstance()
    {
        // Several starts held at a gate and let go together, a few times over: each time exactly
        // one goes on to run, and every other one hands over to it and ends.
        constexpr int starts = 6;
        for (int round = 0; round < 8; ++round) {
            channel = home.filePath(QStringLiteral("race-%1").arg(round));
            // The gate is a lock this test holds: each start blocks on it, taking no processor,
            // and all are let go together when it is released.
            const QByteArray gate = QFile::encodeName(home.filePath(QStringLiteral("gate-%1").arg(round)));
            const int held = ::open(gate.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
            std::vector<std::unique_ptr<QProcess>> processes;
            for (int i = 0; i < starts; ++i) {
                auto process = std::make_unique<QProcess>();
                process->setProcessEnvironment(startEnvironment());
                // Each start waits at the gate, then becomes the application.
                process->start(QStringLiteral("/bin/sh"),
                               {QStringLiteral("-c"), QStringLiteral("flock -s \"$0\" true && exec \"$1\""),
                                QString::fromLocal8Bit(gate), QStringLiteral(HF_APP_BINARY)});
                QVERIFY(process->waitForStarted());
                processes.push_back(std::move(process));
            }
            ::close(held);
            auto running = [&] {
                return int(std::ranges::count_if(processes, [](const auto& p) { return p->state() == QProcess::Running; }));
            };
            // Two instances never settle, however long they are given; a busy machine may take
            // many seconds to start six processes of this size, so the wait is only a guard.
            QElapsedTimer settling;
            settling.start();
            const bool settled = QTest::qWaitFor([&] { return running() <= 1; }, 60000);
            const int stillRunning = running();
            const qint64 settledIn = settling.elapsed();
            // The instance that runs is the one that takes the links of later starts.
            const bool handsOver = SingleInstance::forward(channel, {QStringLiteral("show-main-window")});
            int handedOver = 0;
            for (auto& process : processes) {
                if (process->state() != QProcess::NotRunning) {
                    process->terminate();
                    if (!process->waitForFinished(10000)) {
                        process->kill();
                        process->waitForFinished();
                    }
                } else if (process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0) {
                    ++handedOver;
                }
            }
            QVERIFY2(settled, qPrintable(QStringLiteral("round %1: %2 instances still ran after %3 ms")
                                             .arg(round).arg(stillRunning).arg(settledIn)));
            QCOMPARE(stillRunning, 1);
            QCOMPARE(handedOver, starts - 1);
            QVERIFY(handsOver);
        }
    }

    void webSignInAcrossTwoProcesses()
    {
        LocalServer server;
        std::unique_ptr<QNetworkAccessManager> network(makeEphemeralNetworkSession(nullptr));
        InMemoryTokenStore tokens;
        MemorySettingsStore defaults;
        APIClient api(server.baseUrl(), network.get(), &tokens);
        AccountStore account(&api, &defaults);
        runTask(account.restoreSession());
        const QString anonymousToken = *tokens.token();

        SingleInstance instance(channel);
        QVERIFY(instance.listen());
        int taken = 0;
        int dropped = 0;
        connect(&instance, &SingleInstance::messageReceived, this, [&](const QString& link) {
            if (BrowserSheetAuthenticator::deliverCallback(QUrl(link)))
                ++taken;
            else
                ++dropped;
        });

        // A link while no sign-in waits is dropped.
        QCOMPARE(startSecondInstance({QStringLiteral("hushframe-direct://auth/callback?code=early")}), 0);
        QVERIFY(QTest::qWaitFor([&] { return dropped == 1; }, 10000));

        // The browser loads the page, which redirects to the application's link; the desktop
        // starts the application with it.
        QNetworkAccessManager browser;
        int secondExit = -2;
        BrowserSheetAuthenticator authenticator([&](const QUrl& page) {
            QNetworkRequest request(page);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            QNetworkReply* reply = browser.get(request);
            connect(reply, &QNetworkReply::finished, this, [&, reply] {
                reply->deleteLater();
                const QString link = QString::fromUtf8(reply->rawHeader("Location"));
                secondExit = startSecondInstance({link});
            });
            return true;
        });
        runTask(WebSignIn::signIn(AuthProvider::apple, &api, &authenticator, &account), 30000);
        QCOMPARE(secondExit, 0);
        QCOMPARE(taken, 1);
        QVERIFY(!account.errorMessage());
        QVERIFY(account.isSignedIn());
        QVERIFY(tokens.token());
        QVERIFY(*tokens.token() != anonymousToken);
        QCOMPARE(account.user()->email, std::optional<QString>(QStringLiteral("tester@example.com")));
        browser.clearConnectionCache();
        network->clearConnectionCache();
    }
};

QTEST_MAIN(TestAppLinkHandover)
#include "test_app_link_handover.moc"
