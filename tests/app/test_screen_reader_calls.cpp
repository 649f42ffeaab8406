// Every element of the application's windows, dialogs, cards, menus and pop-ups, called over the
// accessibility bus as screen readers call them: every method of every interface an element
// declares, with indexes and offsets before, at and past its counts, from a thread of the test on
// a connection of its own; each call answered within a second, the text around an offset and a
// table's cells answered as they are. Skips without an accessibility bus (the _bus variant has one).

#include "app/content_view.h"
#include "app/feedback_window.h"
#include "app/hushframe_app.h"
#include "backend/account_store.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "editor/exporter.h"
#include "helpers_app.h"
#include "sidebar/queue_footer.h"
#include "support/test_support.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QMenu>
#include <QRegularExpression>
#include <QTest>

#include <deque>
#include <thread>

using namespace hf;

namespace {

const QString atspi = QStringLiteral("org.a11y.atspi."), props = QStringLiteral("org.freedesktop.DBus.Properties");

// The object named `name` (any, without a name) in any window, or the window itself.
template <typename T>
T* named(const char* name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (T* found = name && top->objectName() == QLatin1String(name) ? qobject_cast<T*>(top) : top->findChild<T*>(name ? QString::fromLatin1(name) : QString()))
            return found;
    return nullptr;
}

struct Walker {
    QDBusConnection bus;
    QString app;
    std::atomic<int>& mainBeats;
    QStringList wrong;
    int calls = 0;
    // A few calls in flight, answered in order: each within its second however slow the machine.
    std::deque<std::tuple<QDBusPendingCall, QString, std::function<void(const QVariantList&)>>> inFlight;

    void send(const QString& path, const QString& iface, const QString& member, const QVariantList& args,
              std::function<void(const QVariantList&)> read = {}, bool wait = false)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(app, path, iface, member);
        m.setArguments(args);
        const QString what = QStringLiteral("%1 %2.%3(%4)").arg(path.section(u'/', -1), iface, member, QVariant(args).toStringList().join(u','));
        inFlight.emplace_back(bus.asyncCall(m, 1000), what, read);
        for (++calls; !inFlight.empty() && (wait || inFlight.size() >= 32);) {
            auto [pending, called, onReply] = inFlight.front();
            inFlight.pop_front();
            pending.waitForFinished();
            const QDBusMessage reply = pending.reply();
            if (QRegularExpression(QStringLiteral("NoReply|Time|ServiceUnknown|Disconnected")).match(reply.errorName()).hasMatch()) {
                const int beats = mainBeats;
                for (QDeadlineTimer deadline(3000); mainBeats == beats; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                    if (deadline.hasExpired())
                        qFatal("the application hangs since %s", qPrintable(called));
                wrong << called + QStringLiteral(": ") + reply.errorName();
            }
            if (onReply)
                onReply(reply.type() == QDBusMessage::ReplyMessage ? reply.arguments() : QVariantList());
        }
    }
    void number(const QString& path, const char* iface, const char* property, int& into, bool wait = false)
    {
        send(path, props, QStringLiteral("Get"), {atspi + iface, property}, [&into](const QVariantList& out) { into = out.value(0).value<QDBusVariant>().variant().toInt(); }, wait);
    }

    void walk(QStringList paths)
    {
        for (QSet<QString> seen; !paths.isEmpty();)
            if (const QString path = paths.takeFirst(); !seen.contains(path) && path.startsWith(QLatin1String("/org/a11y"))) {
                seen << path;
                // A field is read as typed into: words and sentences, the caret at their end; what writes comes last.
                QString xml, text;
                int length = 0, rows = 0, columns = 0, actions = 0, children = 0;
                send(path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"), {}, [&](const QVariantList& out) { xml = out.value(0).toString(); });
                send(path, atspi + "EditableText", QStringLiteral("SetTextContents"), {QStringLiteral("Boats at dusk. The harbour")});
                send(path, atspi + "Text", QStringLiteral("GetText"), {0, -1}, [&](const QVariantList& out) { text = out.value(0).toString(); });
                number(path, "Text", "CharacterCount", length), number(path, "Table", "NRows", rows), number(path, "Table", "NColumns", columns);
                number(path, "Action", "NActions", actions), number(path, "Accessible", "ChildCount", children, true);
                const QHash<QString, QList<int>> counts{{"Text", {length}}, {"EditableText", {length}}, {"Table", {rows, columns, rows * columns}}, {"Action", {actions}}};
                QList<QRegularExpressionMatch> found;
                for (const auto& in : QRegularExpression(QStringLiteral("<interface name=\"org.a11y.atspi.(\\w+)\">(.*?)</interface>"), QRegularExpression::DotMatchesEverythingOption).globalMatch(xml))
                    found << in;
                std::ranges::stable_sort(found, {}, [](const auto& m) { return m.captured(1) == QLatin1String("EditableText"); });
                for (const QRegularExpressionMatch& in : found) {
                    const QString iface = atspi + in.captured(1);
                    send(path, props, QStringLiteral("GetAll"), {iface});
                    for (const auto& property : QRegularExpression(QStringLiteral("<property access=\"(\\w+)\" type=\"[^\"]+\" name=\"(\\w+)\"")).globalMatch(in.captured(2))) {
                        send(path, props, QStringLiteral("Get"), {iface, property.captured(2)}, [&, property, iface](const QVariantList& out) {
                            if (property.captured(1) == QLatin1String("readwrite") && !out.isEmpty())
                                send(path, props, QStringLiteral("Set"), {iface, property.captured(2), out[0]});
                        });
                    }
                    QList<int> edges{-1, 0, 99, 100000};
                    for (int count : counts.value(in.captured(1), {children}))
                        edges << count - 1 << count << count + 1;
                    for (const auto& method : QRegularExpression(QStringLiteral("<method name=\"(\\w+)\">(.*?)</method>"), QRegularExpression::DotMatchesEverythingOption).globalMatch(in.captured(2))) {
                        QString types;
                        for (const auto& arg : QRegularExpression(QStringLiteral("direction=\"in\" type=\"([^\"]+)\"")).globalMatch(method.captured(2)))
                            types += arg.captured(1);
                        const QString member = method.captured(1);
                        if (types.contains(u'(') || types.contains(u'a'))
                            continue;
                        // Every integer at each edge, or in a text only the last (a range's end); an offset at each edge with every kind of boundary.
                        QList<QVariantList> lists;
                        for (int edge : edges)
                            for (uint kind = 0; kind < (types == QLatin1String("iu") ? 7u : 1u); ++kind)
                                for (bool all : {true, !iface.contains(QLatin1String("Text"))}) {
                                    QVariantList args;
                                    for (int i = 0; i < types.size(); ++i)
                                        args << (types[i] == u'i' ? QVariant(all || i == types.lastIndexOf(u'i') ? edge : 0) : types[i] == u'u' ? QVariant(kind)
                                                 : types[i] == u's' ? QVariant(QStringLiteral("x")) : types[i] == u'b' ? QVariant(false) : QVariant(0.0));
                                    if (!lists.contains(args) && !(member == QLatin1String("DoAction") && edge >= 0 && edge < actions))   // an action done would leave the window
                                        lists << args;
                                }
                        for (const QVariantList& args : std::as_const(lists))
                            send(path, iface, member, args, [&, member, args, text, length, rows, columns](const QVariantList& out) {
                                if (QRegularExpression(QStringLiteral("^GetText.*Offset$")).match(member).hasMatch() && out.size() == 3) {
                                    const int start = out[1].toInt(), end = out[2].toInt(), at = args[0].toInt();
                                    if (!(out[0].toString().isEmpty() && start == -1 && end == -1) && !(start >= 0 && start <= end && at >= -1 && at <= length && out[0].toString() == text.mid(start, end - start)))
                                        wrong << QStringLiteral("%1 %2(%3, %4) = \"%5\" %6 %7 in \"%8\"").arg(path.section(u'/', -1), member).arg(at).arg(args[1].toUInt()).arg(out[0].toString()).arg(start).arg(end).arg(text);
                                }
                                if (member == QLatin1String("GetRowColumnExtentsAtIndex") && (args[0].toInt() < 0 || args[0].toInt() >= rows * columns) && out.value(0).toBool())
                                    wrong << QStringLiteral("%1 %2(%3) found outside %4x%5").arg(path.section(u'/', -1), member).arg(args[0].toInt()).arg(rows).arg(columns);
                                if (const QDBusArgument list = out.value(0).value<QDBusArgument>(); member == QLatin1String("GetChildren") && !out.isEmpty()) {
                                    list.beginArray();
                                    for (QString service; !list.atEnd(); list.endStructure()) {
                                        QDBusObjectPath child;
                                        list.beginStructure();
                                        list >> service >> child;
                                        paths << child.path();
                                    }
                                    list.endArray();
                                }
                            });
                    }
                }
                send(path, props, QStringLiteral("Get"), {atspi + "Accessible", "Name"}, {}, true);   // all answered
            }
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
    std::atomic<int> m_mainBeats = 0;

    // Shows what `row` names (a window, menu, dialog, card or pop-up) and gives it.
    QObject* show(const QString& row)
    {
        QWidget* main = m_run->window;
        const QWidgetList before = QApplication::topLevelWidgets();
        const auto opened = [&]() -> QObject* {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (!before.contains(top) && top->isVisible())
                    return top;
            return nullptr;
        };
        if (row.startsWith(QLatin1String("menu."))) {
            named<QMenu>(qPrintable(row))->popup(main->mapToGlobal(QPoint(40, 40)));
            return QApplication::activePopupWidget();
        }
        if (row == QLatin1String("queue row's menu")) {
            named<QWidget>("sidebar.queueJob")->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Menu);
            return QApplication::activePopupWidget();
        }
        if (row == QLatin1String("settings") || row == QLatin1String("help"))
            return m_run->app->openWindow(row);
        if (row == QLatin1String("choice's pop-up")) {
            named<QComboBox>(nullptr)->showPopup();
            return named<QComboBox>(nullptr)->view()->window();
        }
        if (row == QLatin1String("sign-in sheet")) {
            m_run->services->account().setSignInPresented(true);
            return named<QWidget>("signIn.host");
        }
        if (row == QLatin1String("feedback")) {
            m_feedback = std::make_unique<FeedbackWindowContent>(TelluConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")), QStringLiteral("Hushframe"), true, std::nullopt, std::nullopt}, [] {});
            m_feedback->show();
            return m_feedback.get();
        }
        if (row == QLatin1String("Open Video") || row == QLatin1String("Add Videos"))
            (row == QLatin1String("Add Videos") ? m_add : m_open).pick(main, row == QLatin1String("Add Videos"), [](PickOutcome) {});
        if (row == QLatin1String("Export to"))
            m_folders.choose(main, {QStringLiteral("Export To"), m_run->home.path(), QStringLiteral("Choose")}, [](auto) {});
        if (row == QLatin1String("Save As")) {
            m_save = std::make_unique<FileExportSaveDialog>(main);
            m_save->open({m_run->home.path(), QStringLiteral("Holiday clean.mp4"), QStringLiteral("mp4")}, [](auto) {});
        }
        return row == QLatin1String("main window") ? qApp : opened();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QDBusConnectionInterface* session = QDBusConnection::sessionBus().interface();
        if (!session || !QTest::qWaitFor([&] { return session->isServiceRegistered(QStringLiteral("org.a11y.Bus")).value(); }, 5000))
            QSKIP("no accessibility bus (the _bus variant of this test has one)");
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        m_run = std::make_unique<test::AppOnLocalServer>();
        QVERIFY(m_run->open(4));
        QVERIFY(QTest::qWaitFor([] { return QAccessible::isActive() && QDBusConnection(QStringLiteral("a11y")).isConnected(); }, 5000));
        // A video open and one in the queue: the editor, and a row with a menu.
        m_run->services->batch().enqueue({QUrl::fromLocalFile(m_run->movie)});
        named<QAction>("menu.openVideo")->trigger();
        QVERIFY(m_run->picker.answer(QList<QUrl>{QUrl::fromLocalFile(m_run->movie)}));
        QVERIFY(QTest::qWaitFor([&] { return m_run->services->coordinator().source().has_value(); }, 20000));
        auto* beat = new QTimer(this);
        connect(beat, &QTimer::timeout, this, [this] { ++m_mainBeats; });
        beat->start(20);
    }

    void everyCallIsAnsweredAtOnce_data()
    {
        QTest::addColumn<QString>("row");
        for (const char* row : {"main window", "menu.file", "menu.playback", "menu.help", "menu.openRecent", "queue row's menu", "settings", "help",
                                "choice's pop-up", "sign-in sheet", "feedback", "Open Video", "Add Videos", "Export to", "Save As"})
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void everyCallIsAnsweredAtOnce()
    {
        QFETCH(QString, row);
        QObject* shown = show(row);
        QAccessibleInterface* root = shown ? QAccessible::queryAccessibleInterface(shown) : nullptr;
        QVERIFY(root && QTest::qWaitFor([&] { return !root->state().invisible; }, 5000));
        const QString address = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress")).arguments().value(0).toString();
        Walker walker{QDBusConnection::connectToBus(address, QStringLiteral("walker")), QDBusConnection(QStringLiteral("a11y")).baseService(), m_mainBeats};
        std::atomic<bool> done = false;
        std::thread thread([&] {
            walker.walk({shown == qApp ? QStringLiteral("/org/a11y/atspi/accessible/root") : QStringLiteral("/org/a11y/atspi/accessible/%1").arg(QAccessible::uniqueId(root))});
            done = true;
        });
        const bool finished = QTest::qWaitFor([&] { return bool(done); }, 120000);
        thread.join();
        QDBusConnection::disconnectFromBus(QStringLiteral("walker"));
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
        QVERIFY(finished);
        QVERIFY2(walker.calls > 100, qPrintable(QString::number(walker.calls)));
        QVERIFY2(walker.wrong.isEmpty(), qPrintable(walker.wrong.mid(0, 20).join(u'\n')));
    }
};

QTEST_MAIN(TestScreenReaderCalls)
#include "test_screen_reader_calls.moc"
