// Quitting with cleaned batch videos nobody exported: two generated movies cleaned by the local
// server through the real queue, then every way of quitting (closing the main window, the last
// window being another one, the application's quit request, SIGTERM and SIGHUP as at logout,
// SIGINT, the quit command) held by the question on the main window, and the desktop's logout held
// through a stand-in portal meanwhile; "Cancel" keeps everything, "Export Videos..." copies them
// out, after which the application quits without asking (SIGTERM too), and "Quit Anyway" quits.

#include "app/content_view.h"
#include "app/hushframe_app.h"
#include "backend/account_store.h"
#include "coordinator/batch_queue_manager.h"
#include "helpers_app.h"
#include "helpers_audition.h"
#include "pipeline/cloud_separation_engine.h"
#include "sidebar/queue_footer.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "ui_kit/buttons.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QProcess>
#include <QPointer>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <functional>

using namespace hf;
using namespace std::chrono_literals;

namespace {

// Answers the footer's folder question with a fixed folder.
class FixedFolder final : public FolderChooser {
public:
    explicit FixedFolder(QString folder) : m_folder(std::move(folder)) {}
    int asked = 0;
    void choose(QWidget*, const Request&, Answer answer) override
    {
        ++asked;
        answer(m_folder);
    }

private:
    QString m_folder;
};

// One hold of the stand-in portal, until its Close.
class PortalRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")

public:
    explicit PortalRequest(std::function<void()> closed) : m_closed(std::move(closed)) {}
public Q_SLOTS:
    void Close()
    {
        m_closed();
        deleteLater();
    }

private:
    std::function<void()> m_closed;
};

// The desktop portal's Inhibit interface, counting the holds not closed. It takes the hold as
// the call comes, and answers `delay` ms later.
class StandInPortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")

public:
    explicit StandInPortal(QDBusConnection bus) : m_bus(std::move(bus)) {}
    int asked = 0;
    int held = 0;
    int answered = 0;
    int delay = 0;
    QList<uint> flags;

public Q_SLOTS:
    QDBusObjectPath Inhibit(const QString&, uint flag, const QVariantMap& options)
    {
        flags << flag;
        ++held;
        ++asked;
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                 .arg(message().service().remove(u':').replace(u'.', u'_'),
                                      options.value(QStringLiteral("handle_token"), QStringLiteral("t%1").arg(asked)).toString());
        m_bus.registerObject(path, new PortalRequest([this, path] {
                                 m_bus.unregisterObject(path);
                                 --held;
                             }),
                             QDBusConnection::ExportAllSlots);
        setDelayedReply(true);
        QTimer::singleShot(delay, this, [this, answer = message().createReply(QVariant::fromValue(QDBusObjectPath(path)))] {
            ++answered;
            m_bus.send(answer);
        });
        return {};
    }

private:
    QDBusConnection m_bus;
};

bool questionShown(QuitGuard& guard)
{
    return guard.confirmation() && guard.confirmation()->isVisible();
}

} // namespace

class TestAppQuit : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void finishedBatchWorkIsNeverLostSilently()
    {
        if (!test::haveProgram(QStringLiteral("ffmpeg")) || !test::haveProgram(QStringLiteral("dbus-daemon")))
            QSKIP("needs ffmpeg and dbus-daemon");
        QTemporaryDir home;
        QList<QUrl> movies;
        for (const QString& name : {QStringLiteral("One.mp4"), QStringLiteral("Two.mp4")}) {
            const QString movie = home.filePath(name);
            QVERIFY(test::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "libx264",
                                     "-pix_fmt", "yuv420p", "-c:a", "aac", movie}));
            movies << QUrl::fromLocalFile(movie);
        }

        test::LocalServer server;
        auto services = test::makeServices(home, server.baseUrl());
        services->engine().setPollInterval(100ms);
        test::ScriptedFilePicker picker;
        HushframeApp app(*services, &picker);
        // A private session bus with the portal on it, for the logout's hold.
        QProcess daemon;
        daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        QVERIFY(daemon.waitForStarted() && daemon.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
        auto stopBus = qScopeGuard([&] {
            QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
            QDBusConnection::disconnectFromBus(QStringLiteral("app"));
            daemon.kill();
            daemon.waitForFinished();
        });
        QDBusConnection portalBus = QDBusConnection::connectToBus(address, QStringLiteral("portal"));
        StandInPortal portal(portalBus);
        QVERIFY(portalBus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                         QDBusConnection::ExportAllSlots));
        QVERIFY(portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
        app.logoutInhibitor().setBus(QDBusConnection::connectToBus(address, QStringLiteral("app")));
        int quits = 0;
        app.quitGuard().setQuitter([&] { ++quits; });
        QuitGuard& guard = app.quitGuard();
        auto* window = qobject_cast<ContentView*>(app.openWindow(QStringLiteral("main")));
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(QTest::qWaitFor([&] { return services->account().hasSession(); }, 30000));

        // With nothing cleaned there is nothing to lose: the application may quit.
        QVERIFY(guard.requestQuit());

        BatchQueueManager& batch = services->batch();
        batch.enqueue(movies);
        batch.start();
        QVERIFY(QTest::qWaitFor([&] { return batch.completedJobs() == 2 || (!batch.isProcessingQueue() && batch.pendingJobs() == 0); },
                                180000));
        QCOMPARE(batch.completedJobs(), 2);
        QCOMPARE(batch.unexportedCompletedJobs(), 2);
        // The desktop's logout is held, once, for the end of the session.
        QVERIFY(QTest::qWaitFor([&] { return portal.held == 1; }));
        QCOMPARE(portal.flags, QList<uint>{1});

        // Closing the main window: it stays, and asks.
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QVERIFY(questionShown(guard));
        QCOMPARE(guard.confirmation()->parentWidget(), window);
        QVERIFY(guard.confirmation()->message().startsWith(QLatin1String("2 cleaned videos in the queue haven't been exported.")));
        test::saveScreenshot(window->grab().toImage(), "app", QStringLiteral("quit-question"));
        guard.confirmation()->cancelButton()->click();
        QVERIFY(!questionShown(guard));
        QCOMPARE(batch.completedJobs(), 2);

        // The application's quit request (the one the desktop and a quit command send) is held too.
        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        QVERIFY(!quit.isAccepted());
        QVERIFY(questionShown(guard));
        guard.confirmation()->cancelButton()->click();
        app.requestQuit();
        QVERIFY(questionShown(guard));
        guard.confirmation()->cancelButton()->click();

        // The same for the quit a running application gets from anywhere, and for the end the
        // desktop asks for at logout or shutdown (SIGTERM): the event loop goes on.
        // SIGHUP comes with SIGTERM at logout, before the application took the first; SIGINT is
        // Ctrl+C; a further signal while the question shows asks again.
        for (const auto& quitFromAnywhere :
             {std::function<void()>([] { QCoreApplication::quit(); }), std::function<void()>([] { ::raise(SIGTERM); }),
              std::function<void()>([] { ::raise(SIGTERM), ::raise(SIGHUP); }),
              std::function<void()>([] { ::raise(SIGINT); }),
              std::function<void()>([this] {
                  ::raise(SIGTERM);
                  QTimer::singleShot(100, this, [] { ::raise(SIGTERM); });
              })}) {
            bool held = false;
            QTimer::singleShot(0, this, quitFromAnywhere);
            QTimer::singleShot(300, this, [&] {
                held = questionShown(guard);
                QCoreApplication::exit(0);
            });
            QCoreApplication::exec();
            QVERIFY(held);
            QTest::keyClick(guard.confirmation(), Qt::Key_Escape);
            QVERIFY(!questionShown(guard));
        }

        // Closing the main window while another window stays ends nothing; closing that one,
        // the last, asks on the main window, made anew.
        QWidget* settings = app.openWindow(QStringLiteral("settings"));
        QVERIFY(QTest::qWaitForWindowExposed(settings));
        QPointer<QWidget> first(window);
        QVERIFY(window->close());
        QVERIFY(QTest::qWaitFor([&] { return first.isNull(); }));
        QVERIFY(!settings->close());
        QVERIFY(settings->isVisible());
        window = qobject_cast<ContentView*>(app.windows().window(QStringLiteral("main")));
        QVERIFY(window && window->isVisible());
        QVERIFY(questionShown(guard));
        QCOMPARE(guard.confirmation()->parentWidget(), window);
        guard.confirmation()->cancelButton()->click();
        QVERIFY(settings->close());   // the main window is there again: nothing ends
        QCOMPARE(quits, 0);

        // "Quit Anyway" quits, and nothing holds the quit after it.
        {
            QuitGuard other(batch, [&]() -> QWidget* { return window; });
            int otherQuits = 0;
            other.setQuitter([&] { ++otherQuits; });
            QVERIFY(!other.requestQuit());
            QVERIFY(other.confirmation() && other.confirmation()->isVisible());
            other.confirmation()->quitButton()->click();
            QCOMPARE(otherQuits, 1);
            QVERIFY(other.requestQuit());
            delete other.confirmation();
        }

        // One cleaned video left unexported is as much at stake as two.
        batch.remove(batch.jobs().front().id);
        QCOMPARE(batch.unexportedCompletedJobs(), 1);
        QVERIFY(!guard.requestQuit());
        QVERIFY(questionShown(guard));
        QVERIFY(guard.confirmation()->message().startsWith(QLatin1String("1 cleaned video in the queue hasn't been exported.")));
        guard.confirmation()->cancelButton()->click();

        // "Export Videos...": the queue's own export, into a folder; then nothing is at stake.
        const QString folder = home.filePath(QStringLiteral("Exported"));
        QVERIFY(QDir().mkpath(folder));
        auto* footer = window->findChild<QueueFooter*>();
        QVERIFY(footer);
        auto chooser = std::make_unique<FixedFolder>(folder);
        FixedFolder* asked = chooser.get();
        footer->setFolderChooser(std::move(chooser));
        footer->setRevealer([](const QString&) {});
        window->setSidebarShown(false);
        QVERIFY(!window->close());
        guard.confirmation()->exportButton()->click();
        QCOMPARE(asked->asked, 1);
        QVERIFY(window->isSidebarShown());
        QVERIFY(QTest::qWaitFor([&] { return !footer->isExporting() && footer->exportMessage(); }, 30000));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);
        QCOMPARE(batch.unexportedCompletedJobs(), 0);
        QVERIFY(QTest::qWaitFor([&] { return portal.held == 0; }));
        QCOMPARE(portal.asked, 1);
        // A portal answering after the call's timeout: the hold it took is closed when let go,
        // after that answer or before it, and the next hold asks it again.
        portal.delay = 1000;
        app.logoutInhibitor().setAnswerTimeout(100ms);
        for (const bool letGoBeforeTheAnswer : {false, true}) {
            app.logoutInhibitor().hold(true);
            QVERIFY(QTest::qWaitFor([&] { return portal.held == 1; }));
            if (!letGoBeforeTheAnswer)
                QVERIFY(QTest::qWaitFor([&] { return portal.answered == portal.asked; }));
            app.logoutInhibitor().hold(false);
            QVERIFY(QTest::qWaitFor([&] { return portal.held == 0 && portal.answered == portal.asked; }));
        }
        QCOMPARE(portal.asked, 3);
        QVERIFY(guard.requestQuit());
        QVERIFY(window->close());
        QCOMPARE(quits, 0);

        // With nothing at stake SIGTERM quits as the quit request does: the event loop ends, and
        // the application goes the ordinary way instead of being killed.
        QTimer::singleShot(0, this, [] { ::raise(SIGTERM); });
        QTimer::singleShot(10000, this, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_MAIN(TestAppQuit)
#include "test_app_quit.moc"
