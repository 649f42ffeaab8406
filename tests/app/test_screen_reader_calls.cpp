// Every element of the application's windows, dialogs, cards, menus and pop-ups, called over the
// accessibility bus as screen readers call them: every method of every interface an element
// declares, with indexes and offsets before, at and past its counts, each answered within a
// second. The calls come from a thread of the test on a connection of its own, while the
// application answers on its main thread. Skips without an X server and an accessibility bus (the
// _bus variant has both).

#include "app/content_view.h"
#include "app/feedback_window.h"
#include "app/file_picker.h"
#include "app/hushframe_app.h"
#include "backend/account_store.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "editor/exporter.h"
#include "helpers_app.h"
#include "sidebar/queue_footer.h"
#include "support/test_support.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QXmlStreamReader>

#include <atomic>
#include <deque>
#include <functional>
#include <thread>

using namespace hf;

class TestScreenReaderCalls;
using Show = std::function<QObject*(TestScreenReaderCalls*)>;
Q_DECLARE_METATYPE(Show)

namespace {

// The object named `name` (any, without a name) in any window (the menus belong to none).
template <typename T>
T* named(const char* name)
{
    const QString wanted = name ? QString::fromLatin1(name) : QString();
    for (QWidget* top : QApplication::topLevelWidgets())
        if (T* found = name && top->objectName() == wanted ? qobject_cast<T*>(top) : top->findChild<T*>(wanted))
            return found;
    return nullptr;
}

const QString atspi = QStringLiteral("org.a11y.atspi.");

// Calls every method of every element below `roots` on the application `app`, and lists each call
// not answered in time and each answer that cannot be right. Runs on a thread of its own.
struct Walker {
    QDBusConnection bus;
    QString app;
    std::atomic<int>& mainAlive;
    QStringList wrong;
    int calls = 0;

    // Calls in flight, answered in order; a few at a time, so that each is answered within its
    // second however slow the machine.
    struct Pending {
        QDBusPendingCall reply;
        QString what;
        std::function<void(const QVariantList&)> read;
    };
    std::deque<Pending> inFlight;

    void send(const QString& path, const QString& iface, const QString& member, const QVariantList& args,
              std::function<void(const QVariantList&)> read = {})
    {
        ++calls;
        QDBusMessage m = QDBusMessage::createMethodCall(app, path, iface, member);
        m.setArguments(args);
        QStringList shown;
        for (const QVariant& arg : args)
            shown << arg.toString();
        inFlight.push_back({bus.asyncCall(m, 1000), QStringLiteral("%1 %2.%3(%4)").arg(path.section(u'/', -1), iface, member, shown.join(u',')), read});
        if (inFlight.size() >= 32)
            answered();
    }
    void answered()
    {
        Pending p = std::move(inFlight.front());
        inFlight.pop_front();
        p.reply.waitForFinished();
        const QDBusMessage reply = p.reply.reply();
        if (reply.type() == QDBusMessage::ErrorMessage
            && QStringList{"NoReply", "Timeout", "TimedOut", "ServiceUnknown", "Disconnected"}.contains(reply.errorName().section(u'.', -1))) {
            // The application's main thread still beats, or hangs since this call.
            const int before = mainAlive;
            for (QDeadlineTimer beat(3000); mainAlive == before;)
                if (beat.hasExpired())
                    qFatal("the application hangs since %s", qPrintable(p.what));
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            wrong << p.what + QStringLiteral(": ") + reply.errorName();
        }
        if (p.read)
            p.read(reply.type() == QDBusMessage::ReplyMessage ? reply.arguments() : QVariantList());
    }
    void drain()
    {
        while (!inFlight.empty())
            answered();
    }

    void walk(QStringList paths)
    {
        for (QSet<QString> seen; !paths.isEmpty();)
            if (const QString path = paths.takeFirst(); !seen.contains(path) && path.startsWith(QLatin1String("/org/a11y"))) {
                seen << path;
                paths << visit(path);
            }
    }

    QStringList visit(const QString& path)
    {
        QStringList children;
        QString introspection;
        send(path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"), {},
             [&](const QVariantList& out) { introspection = out.value(0).toString(); });
        drain();
        QXmlStreamReader xml(introspection);
        QList<std::tuple<QString, QString, QString>> methods;   // interface, member, argument types
        QList<std::tuple<QString, QString, bool>> properties;   // interface, name, writable
        for (QString iface; !xml.atEnd();) {
            xml.readNext();
            const auto a = xml.attributes();
            if (xml.isStartElement() && xml.name() == QLatin1String("interface"))
                iface = a.value("name").toString();
            else if (xml.isStartElement() && xml.name() == QLatin1String("method") && iface.startsWith(atspi))
                methods.append({iface, a.value("name").toString(), QString()});
            else if (xml.isEndElement() && xml.name() == QLatin1String("interface") && iface.startsWith(atspi))
                iface.clear();
            else if (xml.isStartElement() && xml.name() == QLatin1String("arg") && iface.startsWith(atspi) && a.value("direction") != QLatin1String("out"))
                std::get<2>(methods.last()) += a.value("type");
            else if (xml.isStartElement() && xml.name() == QLatin1String("property") && iface.startsWith(atspi))
                properties.append({iface, a.value("name").toString(), a.value("access") == QLatin1String("readwrite")});
        }
        // What is written last changes the text the other answers are read against.
        std::ranges::stable_sort(methods, {}, [](const auto& m) { return std::get<0>(m).endsWith(QLatin1String("EditableText")); });
        // A field is read as typed into: words and sentences, the caret at their end.
        if (std::ranges::any_of(methods, [](const auto& m) { return std::get<1>(m) == QLatin1String("SetTextContents"); }))
            send(path, atspi + "EditableText", QStringLiteral("SetTextContents"), {QStringLiteral("Boats at dusk. The harbour")});
        int length = 0, rows = 0, columns = 0, actions = 0, childCount = 0;
        QString text;
        for (auto [iface, property, into] : {std::tuple{"Text", "CharacterCount", &length}, {"Table", "NRows", &rows},
                                             {"Table", "NColumns", &columns}, {"Action", "NActions", &actions},
                                             {"Accessible", "ChildCount", &childCount}})
            send(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {atspi + iface, QString::fromLatin1(property)},
                 [into](const QVariantList& out) { *into = out.value(0).value<QDBusVariant>().variant().toInt(); });
        send(path, atspi + "Text", QStringLiteral("GetText"), {0, -1}, [&](const QVariantList& out) { text = out.value(0).toString(); });
        drain();
        // What an interface's indexes count: children, characters, cells, actions.
        const QHash<QString, QList<int>> counts{{"Text", {length}}, {"EditableText", {length}}, {"Table", {rows, columns, rows * columns}},
                                                {"Action", {actions}}};
        for (const auto& [iface, member, types] : methods) {
            if (types.contains(u'(') || types.contains(u'a'))
                continue;
            QList<int> edges{-1, 0, 99, 100000};
            for (int count : counts.value(iface.mid(atspi.size()), {childCount}))
                edges << count - 1 << count << count + 1;
            // Every integer at each edge, or only the last one (the end of a range) with the others
            // at 0; an offset at each edge with every kind of boundary.
            QList<QVariantList> lists;
            const auto plain = [&](int i) {
                return types[i] == u'i' ? QVariant(0) : types[i] == u'u' ? QVariant(0u) : types[i] == u's' ? QVariant(QStringLiteral("x")) : types[i] == u'b' ? QVariant(false) : QVariant(0.0);
            };
            for (int edge : edges)
                for (uint kind = 0; kind < (types == QLatin1String("iu") ? 7 : 1); ++kind)
                    for (bool all : {true, false}) {
                        QVariantList args;
                        for (int i = 0; i < types.size(); ++i)
                            args << (types[i] == u'i' && (all || i == types.lastIndexOf(u'i')) ? QVariant(edge) : types[i] == u'u' && kind ? QVariant(kind) : plain(i));
                        if (!lists.contains(args))
                            lists << args;
                    }
            for (const QVariantList& args : std::as_const(lists)) {
                if (member == QLatin1String("DoAction") && args[0].toInt() >= 0 && args[0].toInt() < actions)
                    continue;   // an action done would leave this window
                send(path, iface, member, args, [&, member, args, length, text, rows, columns](const QVariantList& out) {
                if (member.startsWith(QLatin1String("GetText")) && member.endsWith(QLatin1String("Offset")) && out.size() == 3) {
                    const int start = out[1].toInt(), end = out[2].toInt(), offset = args[0].toInt();
                    const bool none = out[0].toString().isEmpty() && start == -1 && end == -1;
                    if (!(none || (start >= 0 && start <= end && end <= length && offset >= -1 && offset <= length
                                   && out[0].toString() == text.mid(start, end - start))))
                        wrong << QStringLiteral("%1 %2(%3, %4) = \"%5\" %6 %7 in \"%8\"").arg(path.section(u'/', -1), member).arg(offset).arg(args[1].toUInt()).arg(out[0].toString()).arg(start).arg(end).arg(text);
                }
                if (member == QLatin1String("GetRowColumnExtentsAtIndex") && (args[0].toInt() < 0 || args[0].toInt() >= rows * columns) && out.value(0).toBool())
                    wrong << QStringLiteral("%1 %2(%3) found outside %4x%5").arg(path.section(u'/', -1), member).arg(args[0].toInt()).arg(rows).arg(columns);
                if (member == QLatin1String("GetChildren") && !out.isEmpty())
                    for (const QDBusArgument& list = out[0].value<QDBusArgument>(); !list.atEnd();) {
                        list.beginArray();
                        while (!list.atEnd()) {
                            QString service;
                            QDBusObjectPath child;
                            list.beginStructure();
                            list >> service >> child;
                            list.endStructure();
                            children << child.path();
                        }
                        list.endArray();
                    }
                });
            }
        }
        const QString props = QStringLiteral("org.freedesktop.DBus.Properties");
        for (const auto& [iface, name, writable] : properties) {
            send(path, props, QStringLiteral("GetAll"), {iface});
            send(path, props, QStringLiteral("Get"), {iface, name}, [&, iface, name, writable](const QVariantList& out) {
                if (writable && !out.isEmpty())
                    send(path, props, QStringLiteral("Set"), {iface, name, out[0]});
            });
        }
        drain();
        return children;
    }
};

} // namespace

class TestScreenReaderCalls : public QObject {
    Q_OBJECT

    std::unique_ptr<test::AppOnLocalServer> m_run;
    DialogFilePicker m_open, m_add;
    DialogFolderChooser m_folders;
    std::unique_ptr<FileExportSaveDialog> m_save;
    std::unique_ptr<QWidget> m_feedback;
    std::atomic<int> m_mainAlive = 0;

private Q_SLOTS:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().interface() || !QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.a11y.Bus")))
            QSKIP("no accessibility bus (the _bus variant of this test has one)");
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        m_run = std::make_unique<test::AppOnLocalServer>();
        QVERIFY(m_run->open(4));
        if (!QTest::qWaitFor([] { return QAccessible::isActive() && QDBusConnection(QStringLiteral("a11y")).isConnected(); }, 3000))
            QSKIP("no accessibility bus (the _bus variant of this test has one)");
        m_run->services->batch().enqueue({QUrl::fromLocalFile(m_run->movie)});
        named<QAction>("menu.openVideo")->trigger();
        QVERIFY(m_run->picker.answer(QList<QUrl>{QUrl::fromLocalFile(m_run->movie)}));
        QVERIFY(QTest::qWaitFor([&] { return m_run->services->coordinator().source().has_value(); }, 20000));
        auto* beat = new QTimer(this);
        connect(beat, &QTimer::timeout, this, [this] { ++m_mainAlive; });
        beat->start(20);
    }

    void everyCallIsAnsweredAtOnce_data()
    {
        QTest::addColumn<Show>("show");
        const auto menu = [](const char* name) {
            return [name](TestScreenReaderCalls* t) -> QObject* {
                auto* m = named<QMenu>(name);
                m->popup(t->m_run->window->mapToGlobal(QPoint(40, 40)));
                return m;
            };
        };
        const auto row = [](const char* name) {
            return [name](TestScreenReaderCalls* t) -> QObject* {
                QWidget* r = nullptr;
                if (!QTest::qWaitFor([&] { return (r = named<QWidget>(name)) != nullptr; }, 10000))
                    return nullptr;
                r->setFocus();
                QTest::keyClick(r, Qt::Key_Menu);
                return QApplication::activePopupWidget();
            };
        };
        const auto window = [](const char* id) {
            return [id](TestScreenReaderCalls* t) -> QObject* { return t->m_run->app->openWindow(QLatin1String(id)); };
        };
        QTest::newRow("main window") << std::function([](TestScreenReaderCalls*) -> QObject* { return qApp; });
        for (const char* name : {"menu.file", "menu.playback", "menu.help", "menu.openRecent"})
            QTest::newRow(name) << std::function(menu(name));
        for (const char* name : {"sidebar.queueJob"})
            QTest::newRow(name) << std::function(row(name));
        QTest::newRow("settings") << std::function(window("settings"));
        QTest::newRow("help") << std::function(window("help"));
        QTest::newRow("combo pop-ups") << std::function([](TestScreenReaderCalls* t) -> QObject* {
            auto* box = named<QComboBox>(nullptr);
            if (!box)
                return nullptr;
            box->showPopup();
            return box->view()->window();
        });
        QTest::newRow("sign-in sheet") << std::function([](TestScreenReaderCalls* t) -> QObject* {
            t->m_run->services->account().setSignInPresented(true);
            return t->m_run->window->findChild<QWidget*>(QStringLiteral("signIn.host"));
        });
        QTest::newRow("feedback") << std::function([](TestScreenReaderCalls* t) -> QObject* {
            t->m_feedback = std::make_unique<FeedbackWindowContent>(
                TelluConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")), QStringLiteral("Hushframe"), true, std::nullopt, std::nullopt}, [] {});
            t->m_feedback->show();
            return t->m_feedback.get();
        });
        const auto dialog = [](void (*open)(TestScreenReaderCalls*)) {
            return [open](TestScreenReaderCalls* t) -> QObject* {
                const QWidgetList before = QApplication::topLevelWidgets();
                open(t);
                for (QWidget* top : QApplication::topLevelWidgets())
                    if (!before.contains(top) && top->isVisible())
                        return top;
                return nullptr;
            };
        };
        QTest::newRow("Open Video") << std::function(dialog([](TestScreenReaderCalls* t) { t->m_open.pick(t->m_run->window, false, [](PickOutcome) {}); }));
        QTest::newRow("Add Videos") << std::function(dialog([](TestScreenReaderCalls* t) { t->m_add.pick(t->m_run->window, true, [](PickOutcome) {}); }));
        QTest::newRow("Export to") << std::function(dialog([](TestScreenReaderCalls* t) {
            t->m_folders.choose(t->m_run->window, {QStringLiteral("Export To"), t->m_run->home.path(), QStringLiteral("Choose")}, [](auto) {});
        }));
        QTest::newRow("Save As") << std::function(dialog([](TestScreenReaderCalls* t) {
            t->m_save = std::make_unique<FileExportSaveDialog>(t->m_run->window);
            t->m_save->open({t->m_run->home.path(), QStringLiteral("Holiday clean.mp4"), QStringLiteral("mp4")}, [](auto) {});
        }));
    }

    void everyCallIsAnsweredAtOnce()
    {
        QFETCH(Show, show);
        QObject* shown = show(this);
        QVERIFY(shown);
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(shown);
        QVERIFY(QTest::qWaitFor([&] { return !root->state().invisible; }, 5000));
        const QString path = shown == qApp ? QStringLiteral("/org/a11y/atspi/accessible/root")
                                           : QStringLiteral("/org/a11y/atspi/accessible/%1").arg(QAccessible::uniqueId(root));
        const QString address = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
            "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress")).arguments().value(0).toString();
        Walker walker{QDBusConnection::connectToBus(address, QStringLiteral("walker")), QDBusConnection(QStringLiteral("a11y")).baseService(), m_mainAlive};
        std::atomic<bool> done = false;
        QElapsedTimer clock;
        clock.start();
        std::thread thread([&] { walker.walk({path}); done = true; });
        const bool finished = QTest::qWaitFor([&] { return bool(done); }, 600000);
        thread.join();
        QDBusConnection::disconnectFromBus(QStringLiteral("walker"));
        qInfo("%d calls in %lld ms", walker.calls, clock.elapsed());
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
        QVERIFY(finished);
        QVERIFY2(walker.calls > 50, qPrintable(QString::number(walker.calls)));
        QVERIFY2(walker.wrong.isEmpty(), qPrintable(walker.wrong.mid(0, 20).join(u'\n')));
    }
};

QTEST_MAIN(TestScreenReaderCalls)
#include "test_screen_reader_calls.moc"
