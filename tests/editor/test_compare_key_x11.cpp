// The compare key held on a real X server: the test starts its own Xvfb and drives the key with
// xdotool, so the server's own auto-repeat (presses alone with detectable auto-repeat, else release
// and press pairs) reaches the monitor. Skipped where Xvfb or xdotool is missing.

#include "editor/compare_key.h"

#include <QApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QVBoxLayout>

#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace hf;

namespace {

// An Xvfb of its own on a free display, stopped with the test.
class XServer {
public:
    ~XServer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // The display's name (":N"), or nothing when no server could be started.
    std::optional<QByteArray> start()
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (program.isEmpty())
            return std::nullopt;
        int fds[2];
        if (::pipe(fds) != 0)
            return std::nullopt;
        const QByteArray path = program.toLocal8Bit();
        const QByteArray fd = QByteArray::number(fds[1]);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);   // never outlives a test that crashed
            ::execl(path.constData(), "Xvfb", "-displayfd", fd.constData(), "-screen", "0", "640x480x24",
                    "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (m_pid < 0) {
            ::close(fds[0]);
            return std::nullopt;
        }
        // Xvfb writes the display number it took, then a newline, once it accepts clients.
        QByteArray number;
        pollfd wait{fds[0], POLLIN, 0};
        while (!number.endsWith('\n') && ::poll(&wait, 1, 20000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1)
                break;
            number += c;
        }
        ::close(fds[0]);
        number = number.trimmed();
        if (number.isEmpty())
            return std::nullopt;
        return ':' + number;
    }

private:
    pid_t m_pid = -1;
};

QByteArray g_display;

bool xdotool(const QStringList& arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

QList<bool> calls(const QSignalSpy& spy)
{
    QList<bool> out;
    for (const auto& args : spy)
        out << args.at(0).toBool();
    return out;
}

// Counts the presses and releases of the compare key that reach the application, repeats included.
class PressCounter : public QObject {
public:
    int presses = 0;
    int releases = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->spontaneous() && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
            && CompareKeyMonitor::isCompareKey(*static_cast<QKeyEvent*>(event)))
            ++(event->type() == QEvent::KeyPress ? presses : releases);
        return false;
    }
};

struct KeyWindow {
    QWidget window;
    QWidget* view;
    CompareKeyMonitor* monitor;
    PressCounter counter;

    KeyWindow()
    {
        auto* layout = new QVBoxLayout(&window);
        view = new QWidget(&window);
        view->setMinimumSize(200, 100);
        view->setFocusPolicy(Qt::StrongFocus);
        layout->addWidget(view);
        monitor = new CompareKeyMonitor(view);
        monitor->setEnabled(true);
        // Installed after the monitor, so it sees the events the monitor swallows.
        qApp->installEventFilter(&counter);
        window.show();
        window.activateWindow();
        view->setFocus();
    }
    ~KeyWindow() { qApp->removeEventFilter(&counter); }
};

} // namespace

class TestCompareKeyX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (g_display.isEmpty())
            QSKIP("Xvfb is not installed here");
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is not installed here");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    }

    // However long the key is held, one start and one end; taps and holds in a row each count.
    void heldKeyComparesOnce()
    {
        KeyWindow w;
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QVERIFY(xdotool({"windowfocus", "--sync", QString::number(w.window.winId())}));
        QSignalSpy spy(w.monitor, &CompareKeyMonitor::changed);

        for (int hold = 0; hold < 2; ++hold) {
            const int before = w.counter.presses;
            const int releasesBefore = w.counter.releases;
            QVERIFY(xdotool({"keydown", "backslash"}));
            // Held until the server has repeated it a good many times, 40 (it repeats a held key
            // after 660 ms, 25 times a second).
            QVERIFY(QTest::qWaitFor([&] { return w.counter.presses - before >= 40; }, 15000));
            QVERIFY(w.monitor->isHeld());
            // The server repeated it without a release in between: the one release is the real one.
            QCOMPARE(w.counter.releases, releasesBefore);
            QVERIFY(xdotool({"keyup", "backslash"}));
            QVERIFY(QTest::qWaitFor([&] { return !w.monitor->isHeld(); }, 5000));
            QCOMPARE(w.counter.releases, releasesBefore + 1);
        }
        QCOMPARE(calls(spy), QList<bool>({true, false, true, false}));

        // A tap: down and up at once.
        spy.clear();
        QVERIFY(xdotool({"key", "backslash"}));
        QVERIFY(QTest::qWaitFor([&] { return spy.size() >= 2 && !w.monitor->isHeld(); }, 5000));
        QCOMPARE(calls(spy), QList<bool>({true, false}));
    }

    // Without detectable auto-repeat, the pairs as Qt delivers them when it reads the press only
    // after handling the release: neither marked as a repeat, both of the server's same moment.
    void unmarkedRepeatPairsAreRepeats()
    {
        CompareKeyMonitor::setAsksForDetectableAutoRepeat(false);
        const auto restore = qScopeGuard([] { CompareKeyMonitor::setAsksForDetectableAutoRepeat(true); });
        KeyWindow w;
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QSignalSpy spy(w.monitor, &CompareKeyMonitor::changed);
        const auto send = [&](QEvent::Type type, quint64 time) {
            QKeyEvent event(type, Qt::Key_Backslash, Qt::NoModifier, 51, 0x5c, 0, QStringLiteral("\\"));
            event.setTimestamp(time);
            QApplication::sendEvent(w.view, &event);
        };
        send(QEvent::KeyPress, 1000);
        for (quint64 time = 1660; time < 2400; time += 40) {
            send(QEvent::KeyRelease, time);
            send(QEvent::KeyPress, time);
        }
        QVERIFY(w.monitor->isHeld());
        send(QEvent::KeyRelease, 2500);
        QVERIFY(QTest::qWaitFor([&] { return !w.monitor->isHeld(); }, 5000));
        QCOMPARE(calls(spy), QList<bool>({true, false}));

        // A real release and a new press a moment later are two compares.
        spy.clear();
        send(QEvent::KeyPress, 3000);
        send(QEvent::KeyRelease, 3100);
        send(QEvent::KeyPress, 3105);
        send(QEvent::KeyRelease, 3200);
        QVERIFY(QTest::qWaitFor([&] { return !w.monitor->isHeld(); }, 5000));
        QCOMPARE(calls(spy), QList<bool>({true, false, true, false}));
    }
};

int main(int argc, char** argv)
{
    XServer server;
    if (const auto display = server.start()) {
        g_display = *display;
        qputenv("DISPLAY", g_display);
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    TestCompareKeyX11 test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_compare_key_x11.moc"
