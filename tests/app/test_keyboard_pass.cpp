// The whole application by keyboard alone, as a real X client on a virtual screen with keys typed
// through the X server: a video opened from the File menu (F10), every focus stop on the way to
// "Clean full video" drawn, the clean started with Space, the result exported with the toolbar's
// Export button and Return, an alert answered with Return, Settings and Help opened from the
// menus with their mnemonics, and Quit (Ctrl+Q) closing every window. Skips without an X server
// or xdotool; ctest runs it under xvfb-run.

#include "app/content_view.h"
#include "app/hushframe_app.h"
#include "backend/account_store.h"
#include "coordinator/engine_coordinator.h"
#include "editor/exporter.h"
#include "helpers_app.h"
#include "pipeline/cloud_separation_engine.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "support/x11_session.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextStream>

using namespace hf;

namespace {

// The save dialog as the test answers it.
class ScriptedSaveDialog final : public ExportSaveDialog {
public:
    int requests = 0;
    Answer pending;
    void open(const Request&, Answer answer) override
    {
        ++requests;
        pending = std::move(answer);
    }
    void dismiss() override { pending = nullptr; }
    bool answer(std::optional<Choice> choice)
    {
        if (!pending)
            return false;
        std::exchange(pending, nullptr)(std::move(choice));
        return true;
    }
};

QString describe(const QWidget* widget)
{
    if (!widget)
        return QStringLiteral("(nothing)");
    QString name = widget->objectName();
    if (QAccessibleInterface* a = QAccessible::queryAccessibleInterface(const_cast<QWidget*>(widget)))
        name += QStringLiteral(" \"") + a->text(QAccessible::Name) + u'"';
    return QString::fromLatin1(widget->metaObject()->className()) + u' ' + name;
}

} // namespace

class TestKeyboardPass : public QObject {
    Q_OBJECT

    QStringList m_log;
    QStringList m_undrawn;   // focus stops that showed nothing

    // Types `chord` and waits until `done` holds.
    bool press(const QString& chord, const std::function<bool()>& done, int timeout = 5000)
    {
        m_log << QStringLiteral("key ") + chord;
        return test::x11::typeKeys(chord) && QTest::qWaitFor(done, timeout);
    }

    // Tab once; the focus moves to another widget of `window`, and the screen shows the change
    // inside that widget. Returns the new focus widget, or null (with the reason in the log).
    QWidget* tabAndCheckDrawn(QWidget* window)
    {
        QWidget* before = QApplication::focusWidget();
        const QImage shotBefore = test::x11::screenPicture(window->windowHandle());
        if (!press(QStringLiteral("Tab"), [&] { return QApplication::focusWidget() != before; }))
            return nullptr;
        QWidget* now = QApplication::focusWidget();
        m_log << QStringLiteral("  focus: ") + describe(now);
        if (!now || now->window() != window)
            return nullptr;
        const QRect area = QRect(now->mapTo(window, QPoint(0, 0)), now->size()).adjusted(-3, -3, 3, 3);
        const bool drawn = QTest::qWaitFor([&] {
            return test::x11::differsWithin(shotBefore, test::x11::screenPicture(window->windowHandle()), area);
        }, 2000);
        if (!drawn) {
            m_log << QStringLiteral("  NOT DRAWN");
            m_undrawn << describe(now);
        }
        return now;
    }

    // Tabs until `target` has the focus, checking every stop on the way; at most `limit` presses.
    bool tabTo(QWidget* window, QWidget* target, int limit = 40)
    {
        for (int i = 0; i < limit; ++i) {
            QWidget* now = tabAndCheckDrawn(window);
            if (!now)
                return false;
            if (now == target)
                return true;
        }
        return false;
    }

    // Opens the menu-bar menu whose mnemonic is `letter` and activates its item `name` with the
    // arrow keys and Return.
    bool chooseFromMenu(const QString& letter, const QString& name)
    {
        QMenu* menu = nullptr;
        if (!press(QStringLiteral("alt+") + letter, [&] {
                menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                return menu != nullptr;
            }))
            return false;
        m_log << QStringLiteral("  menu: ") + menu->objectName();
        for (int i = 0; i < 12; ++i) {
            QAction* active = menu->activeAction();
            if (active && active->objectName() == name)
                return press(QStringLiteral("Return"), [] { return QApplication::activePopupWidget() == nullptr; });
            if (!press(QStringLiteral("Down"), [&] { return menu->activeAction() != active; }))
                return false;
        }
        return false;
    }

private Q_SLOTS:
    void cleanup()
    {
        QFile file(test::outputFolder() + QStringLiteral("/keyboard-pass.txt"));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            QTextStream(&file) << m_log.join(u'\n') << '\n';
    }

    void aVideoFromOpenToExportByKeyboardAlone()
    {
        if (const QString why = test::x11::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        test::AppOnLocalServer run;
        QVERIFY(run.open(4));
        auto [services, picker, window, movie, home] = std::tie(run.services, run.picker, run.window, run.movie, run.home);
        auto saving = std::make_unique<ScriptedSaveDialog>();
        ScriptedSaveDialog& save = *saving;
        window->exporter().setSaveDialog(std::move(saving));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        EngineCoordinator& coordinator = services->coordinator();

        // The window opens holding the focus itself, so Space is the player's, not a button's.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window));

        // The empty window: Tab goes round its stops and back to the first, each drawn.
        m_log << QStringLiteral("empty window");
        QWidget* first = tabAndCheckDrawn(window);
        QVERIFY2(first, qPrintable(m_log.join(u'\n')));
        QVERIFY2(tabTo(window, first, 20), qPrintable(m_log.join(u'\n')));

        // F10 opens the File menu; its first item, Return, and the picker asks for the video.
        m_log << QStringLiteral("open from the menu");
        QMenu* file = nullptr;
        QVERIFY(press(QStringLiteral("F10"), [&] {
            file = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            return file != nullptr;
        }));
        QCOMPARE(file->objectName(), QStringLiteral("menu.file"));
        if (!file->activeAction())
            QVERIFY(press(QStringLiteral("Down"), [&] { return file->activeAction() != nullptr; }));
        QCOMPARE(file->activeAction()->objectName(), QStringLiteral("menu.openVideo"));
        QVERIFY(press(QStringLiteral("Return"), [&] { return picker.requests == 1; }));
        QVERIFY(picker.answer(QList<QUrl>{QUrl::fromLocalFile(movie)}));
        QVERIFY(QTest::qWaitFor([&] { return coordinator.source().has_value(); }, 20000));
        QVERIFY(QTest::qWaitFor(
            [&] { return (coordinator.hasPreviewResult() && !coordinator.isProcessing()) || coordinator.errorMessage(); },
            120000));
        QVERIFY2(!coordinator.errorMessage(), qPrintable(coordinator.errorMessage().value_or(QString())));

        // Tab to "Clean full video", every stop drawn, and Space presses it (it does not play).
        m_log << QStringLiteral("clean");
        auto* clean = window->findChild<QAbstractButton*>(QStringLiteral("result.cleanFull"));
        QVERIFY(clean);
        QVERIFY2(tabTo(window, clean), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("clean-focused"));
        QSignalSpy cleanClicked(clean, &QAbstractButton::clicked);
        QVERIFY(press(QStringLiteral("space"), [&] { return coordinator.isProcessing() || coordinator.hasFullResult(); }));
        QCOMPARE(cleanClicked.count(), 1);
        QVERIFY(!services->player().isPlaying());

        // The finished clean asks for the export at once; cancelled, the toolbar's Export button
        // asks again from the keyboard.
        QVERIFY(QTest::qWaitFor([&] { return save.requests == 1 || coordinator.errorMessage(); }, 120000));
        QVERIFY2(!coordinator.errorMessage(), qPrintable(coordinator.errorMessage().value_or(QString())));
        QVERIFY(coordinator.hasFullResult());
        QVERIFY(save.answer(std::nullopt));
        m_log << QStringLiteral("export");
        auto* exportButton = window->findChild<QAbstractButton*>(QStringLiteral("result.export"));
        QVERIFY(exportButton);
        QVERIFY(QTest::qWaitFor([&] { return exportButton->isVisible() && exportButton->isEnabled(); }, 10000));
        QVERIFY2(tabTo(window, exportButton), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("export-focused"));
        QVERIFY(press(QStringLiteral("Return"), [&] { return save.requests == 2; }, 60000));
        const QString saved = home.filePath(QStringLiteral("Holiday clean.mp4"));
        QVERIFY(save.answer(ExportSaveDialog::Choice{saved, false, false}));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(saved); }, 60000));

        // An alert takes Return for its answer.
        m_log << QStringLiteral("alert");
        coordinator.setErrorMessage(QStringLiteral("Something went wrong."));
        auto* ok = window->findChild<QAbstractButton*>(QStringLiteral("alert.ok"));
        QVERIFY(QTest::qWaitFor([&] { return ok && ok->isVisible(); }, 2000));
        QVERIFY(press(QStringLiteral("Return"), [&] { return !coordinator.errorMessage(); }));

        // Settings and Help from the menus by their mnemonics; each window takes Tab.
        m_log << QStringLiteral("settings");
        QVERIFY2(chooseFromMenu(QStringLiteral("f"), QStringLiteral("menu.settings")), qPrintable(m_log.join(u'\n')));
        QWidget* settings = nullptr;
        QVERIFY(QTest::qWaitFor([&] {
            settings = QApplication::activeWindow();
            return settings && settings != window;
        }, 10000));
        QVERIFY2(tabAndCheckDrawn(settings), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(settings->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("settings-focused"));

        m_log << QStringLiteral("help");
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QVERIFY2(chooseFromMenu(QStringLiteral("h"), QStringLiteral("menu.help.topics")), qPrintable(m_log.join(u'\n')));
        QWidget* help = nullptr;
        QVERIFY(QTest::qWaitFor([&] {
            help = QApplication::activeWindow();
            return help && help != window && help != settings;
        }, 10000));
        for (int i = 0; i < 3; ++i)
            QVERIFY2(tabAndCheckDrawn(help), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(help->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("help-focused"));

        // Ctrl+Q from the help window closes every window.
        m_log << QStringLiteral("quit");
        QVERIFY(press(QStringLiteral("ctrl+q"), [&] {
            return !window->isVisible() && !settings->isVisible() && !help->isVisible();
        }));

        // Every stop on the way showed the focus.
        QVERIFY2(m_undrawn.isEmpty(), qPrintable(m_undrawn.join(u'\n')));
    }
};

QTEST_MAIN(TestKeyboardPass)
#include "test_keyboard_pass.moc"
