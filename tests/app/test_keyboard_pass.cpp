// The whole application by keyboard alone, as a real X client on a virtual screen with keys typed
// through the X server: a video opened from the File menu (F10), every focus stop on the way to
// "Clean full video" drawn, the clean started with Space, the result exported with the toolbar's
// Export button and Return, Settings and Help opened from the menus by their letters, and Quit
// (Ctrl+Q) closing every window. Each card takes the keyboard while it asks, holds the window's
// shortcuts and gives the focus back once closed. Skips without an X server or xdotool; ctest
// runs it under xvfb-run.

#include "app/content_view.h"
#include "app/feedback_window.h"
#include "app/hushframe_app.h"
#include "app/quit_guard.h"
#include "app/settings_view.h"
#include "backend/google_sign_in_service.h"
#include "backend/web_sign_in.h"
#include "helpers_backend.h"
#include "platform/keychain.h"
#include "platform/oauth_loopback_client.h"
#include "player/audio_player_service.h"
#include "editor/ambience_control.h"
#include "editor/compare_key.h"
#include "ui_kit/environment.h"
#include "coordinator/batch_queue_manager.h"
#include "ui_kit/card_overlay.h"
#include "backend/account_store.h"
#include "coordinator/engine_coordinator.h"
#include "editor/exporter.h"
#include "helpers_app.h"
#include "pipeline/cloud_separation_engine.h"
#include "sidebar/sidebar_rows.h"
#include "sidebar/video_sidebar.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "support/x11_session.h"
#include "ui_kit/environment.h"
#include "ui_kit/screen_fit.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QScrollArea>
#include <QSplitter>
#include <QSignalSpy>
#include <QTemporaryDir>
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

// Counts the presses of the compare key the X server sends, its repeats included.
struct CompareKeyPresses : QObject {
    int count = 0;
    CompareKeyPresses() { qApp->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override
    {
        count += e->type() == QEvent::KeyPress && e->spontaneous() && CompareKeyMonitor::isCompareKey(*static_cast<QKeyEvent*>(e));
        return false;
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

// Where `widget` shows the focus, in the innermost scrolled content (or the window) holding `other`
// too (scrolling aside: a deeper scroll area stands for what it holds), and which pane of the
// window's splitter it lies in (0 for the toolbar above them).
std::pair<int, QRect> placeOnScreen(QWidget* window, QWidget* widget, QWidget* other)
{
    auto* split = window->findChild<QSplitter*>();
    int pane = 0;
    for (int i = 0; split && i < split->count(); ++i)
        pane = split->widget(i)->isAncestorOf(widget) ? i + 1 : pane;
    QWidget* base = window;
    QWidget* shown = widget;
    for (QWidget* w = widget->parentWidget(); w && w != window; w = w->parentWidget()) {
        auto* area = qobject_cast<QScrollArea*>(w);
        if (!area || !area->widget() || !area->widget()->isAncestorOf(widget))
            continue;
        if (area->widget()->isAncestorOf(other)) {
            base = area->widget();
            break;
        }
        shown = area;
    }
    const QRect focus = shown == widget ? ui::focusArea(widget) : shown->geometry();
    return {pane, QRect(shown->parentWidget()->mapTo(base, focus.topLeft()), focus.size())};
}

// The stops, in the order Tab reached them, that come before the previous one on screen: an
// earlier pane, or in the same pane above it, or on the same row to its left.
QStringList outOfScreenOrder(QWidget* window, const QList<QWidget*>& stops)
{
    QStringList misplaced;
    for (qsizetype i = 1; i < stops.size(); ++i) {
        const auto [paneBefore, before] = placeOnScreen(window, stops[i - 1], stops[i]);
        const auto [pane, here] = placeOnScreen(window, stops[i], stops[i - 1]);
        const bool sameRow = here.top() < before.bottom() && before.top() < here.bottom();
        const bool earlier = pane < paneBefore
                             || (pane == paneBefore && (sameRow ? here.center().x() < before.center().x()
                                                                : here.top() < before.top()));
        if (earlier)
            misplaced << describe(stops[i]) + QStringLiteral(" after ") + describe(stops[i - 1]);
    }
    return misplaced;
}

// The elements below `root` (itself included) that answer a child index out of their range (before
// the first, or one past their count) with something: what a screen reader asking with a count it
// read a moment before may be given. Hidden windows (menus among them) are walked too.
void answeringOutOfRange(QAccessibleInterface* root, QStringList& wrong, QSet<QAccessibleInterface*>& seen)
{
    if (!root || seen.contains(root) || seen.size() > 20000)
        return;
    seen.insert(root);
    const int count = root->childCount();
    if (root->child(-1) || root->child(count))
        wrong << QString::fromLatin1(root->object() ? root->object()->metaObject()->className() : "?") + u' '
                     + root->text(QAccessible::Name);
    for (int i = 0; i < count; ++i)
        answeringOutOfRange(root->child(i), wrong, seen);
}
QStringList answeringOutOfRange()
{
    QStringList wrong;
    QSet<QAccessibleInterface*> seen;
    answeringOutOfRange(QAccessible::queryAccessibleInterface(qApp), wrong, seen);
    for (QWidget* top : QApplication::topLevelWidgets())
        answeringOutOfRange(QAccessible::queryAccessibleInterface(top), wrong, seen);
    return wrong;
}

// Stands in for the user's browser: "xdg-open" first on the PATH notes the web sign-in's page in a
// file; each page is gone through as a browser would, its link back handed to the application.
struct StandInBrowser {
    QTemporaryDir dir;
    QByteArray path = qgetenv("PATH");
    QNetworkAccessManager network;
    StandInBrowser()
    {
        QFile script(dir.filePath(QStringLiteral("xdg-open")));
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\necho \"$1\" > \"$0.page\"\n");
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", QFile::encodeName(dir.path()) + ':' + path);
    }
    ~StandInBrowser() { qputenv("PATH", path); }
    void visit(const QUrl& url) { test::followPage(network, url, BrowserSheetAuthenticator::deliverCallback); }
    bool visitNoted()
    {
        QByteArray line;   // whole once it ends: the script may still be writing it
        const bool noted = QTest::qWaitFor([&] {
            QFile page(dir.filePath(QStringLiteral("xdg-open.page")));
            return page.open(QIODevice::ReadOnly) && (line = page.readAll()).endsWith('\n');
        }, 20000);
        visit(QUrl(QString::fromUtf8(line.trimmed())));
        return noted;
    }
};

// A keychain that keeps nothing: no Google sign-in outlives its test.
struct ForgetfulKeychain final : KeychainBackend {
    ReadResult copyMatching(const KeychainItemQuery&) override { return {}; }
    int update(const KeychainItemQuery&, const QByteArray&) override { return KeychainStatus::itemNotFound; }
    int add(const KeychainItemQuery&, const QByteArray&, bool) override { return KeychainStatus::success; }
    int remove(const KeychainItemQuery&) override { return KeychainStatus::success; }
};

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

    // Tab once; the focus moves to another widget of `window` (inside `scope` when given), and the
    // screen shows the change inside that widget. Returns the new focus widget, the same one when
    // `mayStay` and Tab moved nothing, or null (with the reason in the log).
    QWidget* tabAndCheckDrawn(QWidget* window, QWidget* scope = nullptr, bool mayStay = false)
    {
        // Where a stop and its ring are drawn on `window`.
        const auto ringArea = [window](QWidget* stop) {
            return QRect(stop->mapTo(window, QPoint(0, 0)), stop->size()).adjusted(-3, -3, 3, 3);
        };
        QWidget* before = QApplication::focusWidget();
        const QRect beforeArea = before && before->window() == window ? ringArea(before) : QRect();
        const QImage shotBefore = test::x11::screenPicture(window->windowHandle());
        const bool moved = press(QStringLiteral("Tab"), [&] { return QApplication::focusWidget() != before; },
                                 mayStay ? 1500 : 5000);
        QWidget* now = QApplication::focusWidget();
        m_log << QStringLiteral("  focus: ") + describe(now);
        if (!now || now->window() != window || (scope && !scope->isAncestorOf(now))) {
            m_log << QStringLiteral("  LEFT ") + describe(scope ? scope : window);
            return nullptr;
        }
        if (!moved)
            return mayStay ? now : nullptr;
        const QRect area = ringArea(now);
        const bool drawn = QTest::qWaitFor([&] {
            const QImage shot = test::x11::screenPicture(window->windowHandle());
            if (test::x11::differsWithin(shotBefore, shot, area))
                return true;
            // A column scrolled the new stop to where the last one showed its ring (rows alike in
            // look): once the scroll is painted, the same pixels there may be the new stop's ring.
            return area == beforeArea && test::x11::differsWithin(shotBefore, shot, window->rect());
        }, 10000);
        if (!drawn) {
            m_log << QStringLiteral("  NOT DRAWN");
            m_undrawn << describe(now);
        }
        return now;
    }

    // Tabs round the stops inside `scope` until the focus is back on the first, each stop drawn;
    // with one stop only, Tab leaves the focus on it.
    bool tabRound(QWidget* window, QWidget* scope, int limit = 60)
    {
        QWidget* first = nullptr;
        for (int i = 0; i < limit; ++i) {
            QWidget* before = QApplication::focusWidget();
            QWidget* now = tabAndCheckDrawn(window, scope, true);
            if (!now)
                return false;
            if (now == before || now == first)
                return true;
            first = first ? first : now;
        }
        return false;
    }

    // Opens the menu-bar menu whose mnemonic is `letter` and chooses its item `name` by the item's
    // own underlined letter.
    bool chooseByLetter(const QString& letter, const QString& name)
    {
        QMenu* menu = nullptr;
        if (!press(QStringLiteral("alt+") + letter, [&] {
                menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                return menu != nullptr;
            }))
            return false;
        QAction* item = nullptr;
        for (QAction* action : menu->actions())
            item = action->objectName() == name ? action : item;
        m_log << QStringLiteral("  item: ") + (item ? item->text() : QString());
        const QKeySequence mark = item ? QKeySequence::mnemonic(item->text()) : QKeySequence();
        return !mark.isEmpty()
               && press(QChar(mark[0].key()).toLower(), [] { return QApplication::activePopupWidget() == nullptr; });
    }

    // A card that has just opened on `window`: it holds the focus, each of its stops shows the
    // ring, Escape closes it with the focus back on `before`, and Return then answers nothing
    // (`unchanged` still holds).
    void checkCardByKeyboard(QWidget* window, ui::CardOverlay* card, QWidget* before,
                             const std::function<bool()>& unchanged)
    {
        QVERIFY2(card && card->isVisible(), qPrintable(m_log.join(u'\n')));
        QVERIFY(QTest::qWaitFor([&] { return card->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == card; }, 2000));
        QVERIFY2(tabRound(window, card), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("keyboard"),
                             card->objectName() + QStringLiteral("-focused"));
        QVERIFY(press(QStringLiteral("Escape"), [&] { return !card->isVisible(); }));
        QVERIFY(QTest::qWaitFor([&] { return QApplication::focusWidget() == before; }, 2000));
        m_log << QStringLiteral("  focus back: ") + describe(QApplication::focusWidget());
        QVERIFY(press(QStringLiteral("Return"), [] { return true; }));
        QTest::qWait(300);
        QVERIFY2(!card->isVisible() && unchanged(), qPrintable(m_log.join(u'\n')));
        QCOMPARE(QApplication::focusWidget(), before);
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

private Q_SLOTS:
    void init()
    {
        m_log.clear();
        m_undrawn.clear();
        if (const QString why = test::x11::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
    }

    void cleanup()
    {
        QFile file(test::outputFolder() + QStringLiteral("/keyboard-pass-%1.txt")
                                              .arg(QString::fromLatin1(QTest::currentTestFunction())));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            QTextStream(&file) << m_log.join(u'\n') << '\n';
    }

    // The compare key held at a real keyboard: one compare for as long as it is held, however
    // often the server repeats it, at the default and the largest text size; under each card
    // nothing, and Return on each question that could lose work keeps it. Home on the focused
    // ambience slider moves the slider, and Ctrl+, opens Settings.
    void compareKeyCardsAndQuestionDefaults()
    {
        test::AppOnLocalServer run;
        QVERIFY(run.open(4));
        ContentView* window = run.window;
        EngineCoordinator& coordinator = run.services->coordinator();
        AudioPlayerService& player = run.services->player();
        coordinator.openVideo(QUrl::fromLocalFile(run.movie));
        QVERIFY(QTest::qWaitFor([&] { return coordinator.hasPreviewResult() && !coordinator.isProcessing(); }, 120000));
        window->exporter().setSaveDialog(std::make_unique<ScriptedSaveDialog>());
        CompareKeyPresses presses;
        QSignalSpy comparing(&player, &AudioPlayerService::isComparingChanged);
        // Held until the server has repeated it a good many times (after 660 ms, 25 a second).
        const auto holdAndRelease = [&] {
            const int before = presses.count;
            QVERIFY(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("backslash")}) == 0);
            QVERIFY(QTest::qWaitFor([&] { return presses.count - before >= 15; }, 15000));
            QVERIFY(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("backslash")}) == 0);
        };
        const auto restoreSize = qScopeGuard([] { ui::Environment::instance().setTextSize(ui::TextSize::large); });
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        for (ui::TextSize size : {ui::TextSize::large, ui::TextSize::accessibility5}) {
            ui::Environment::instance().setTextSize(size);
            window->setFocus(Qt::OtherFocusReason);
            comparing.clear();
            holdAndRelease();
            QVERIFY(QTest::qWaitFor([&] { return comparing.count() == 2; }, 5000));
            QCOMPARE(comparing, (QList<QVariantList>{{true}, {false}}));
        }

        FileExportSaveDialog files(window);
        QuitConfirmation quit(window);
        const struct {
            const char* card;
            std::function<void()> open;
            const char* keeps;   // the answer Return gives (none: a sheet that asks nothing)
            const char* loses;
            bool clickBehind = false;   // an alert of one answer, with Play clicked under it before Escape
        } cards[] = {
            {"quit", [&] { quit.ask(1); }, "quit.export", "quit.anyway"},
            {"replace", [&] { coordinator.setPendingReplacement(EngineCoordinator::PendingReplacement{"Holiday.mp4", [] {}}); },
             "replace.exportFirst", "replace.replace"},
            {"replace-files", [&] { files.confirmReplacing(run.home.path(), {"Holiday clean.mp4"}, [](bool) {}); },
             "export.keep", "export.replace"},
            {"sign-in", [&] { run.services->account().presentSignIn(SignInReason::sync); }, nullptr, nullptr},
            {"alert", [&] { coordinator.setErrorMessage(QStringLiteral("Hushframe couldn't play the sound.")); },
             nullptr, nullptr, true},
        };
        for (const auto& c : cards) {
            c.open();
            // A card may delete itself once answered.
            QPointer<ui::CardOverlay> card;
            QVERIFY(QTest::qWaitFor([&] { return (card = ui::CardOverlay::topmost(window)) != nullptr; }, 5000));
            comparing.clear();
            holdAndRelease();
            // Keys arrive in order: once Tab has moved the focus on the card, the key before it was
            // heard (an alert's one answer keeps it: there the typed Tab is waited out).
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(press(QStringLiteral("Tab"), [&] { return c.clickBehind || QApplication::focusWidget() != focus; }));
            if (c.clickBehind)
                QTest::qWait(300);
            QVERIFY2(comparing.isEmpty() && !player.isComparing(), c.card);
            if (!c.keeps) {
                if (c.clickBehind) {
                    // A click under the card plays nothing and leaves the keyboard with the card.
                    auto* play = window->findChild<QAbstractButton*>(QStringLiteral("player.playPause"));
                    const QPoint at = play->mapToGlobal(play->rect().center());
                    QCOMPARE(QProcess::execute("xdotool", {"mousemove", "--sync", QString::number(at.x()),
                                                           QString::number(at.y()), "click", "1"}),
                             0);
                    QTest::qWait(300);
                    QVERIFY2(card && card->isVisible() && !player.isPlaying(), c.card);
                }
                QVERIFY2(press(QStringLiteral("Escape"), [&] { return !card || !card->isVisible(); }), c.card);
                continue;
            }
            QVERIFY(press(QStringLiteral("shift+Tab"), [&] { return QApplication::focusWidget() == focus; }));
            QSignalSpy kept(card->findChild<QAbstractButton*>(QLatin1String(c.keeps)), &QAbstractButton::clicked);
            QSignalSpy lost(card->findChild<QAbstractButton*>(QLatin1String(c.loses)), &QAbstractButton::clicked);
            QVERIFY(press(QStringLiteral("Return"), [&] { return !card || !card->isVisible(); }));
            QVERIFY2(kept.count() == 1 && lost.isEmpty(), c.card);
        }

        // Home on the focused ambience slider is the slider's; elsewhere it goes to the beginning.
        auto* ambience = window->findChild<AmbienceControl*>();
        player.seek(2);
        QVERIFY(QTest::qWaitFor([&] { return ambience->value() > 0 && player.currentTime() > 1; }, 5000));
        ambience->setFocus(Qt::TabFocusReason);
        QVERIFY(press(QStringLiteral("Home"), [&] { return ambience->value() == 0; }));
        QVERIFY(player.currentTime() > 1);
        window->setFocus(Qt::OtherFocusReason);
        QVERIFY(press(QStringLiteral("Home"), [&] { return player.currentTime() < 0.01; }));
        QVERIFY(press(QStringLiteral("ctrl+comma"), [] { return qobject_cast<SettingsView*>(QApplication::activeWindow()); }, 10000));
    }

    void aVideoFromOpenToExportByKeyboardAlone()
    {
        test::AppOnLocalServer run;
        QVERIFY(run.open(4));
        auto [services, picker, window, movie, home] = std::tie(run.services, run.picker, run.window, run.movie, run.home);
        auto saving = std::make_unique<ScriptedSaveDialog>();
        ScriptedSaveDialog& save = *saving;
        window->exporter().setSaveDialog(std::move(saving));
        int quits = 0;
        run.app->quitGuard().setQuitter([&] { ++quits; });
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        EngineCoordinator& coordinator = services->coordinator();
        // A cleaned video in the batch queue, for the question before quitting.
        BatchQueueManager& batch = services->batch();
        batch.enqueue({QUrl::fromLocalFile(movie)});
        batch.start();

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

        // The finished clean asks for the export at once; cancelled, the result stays unexported.
        QVERIFY(QTest::qWaitFor([&] { return save.requests == 1 || coordinator.errorMessage(); }, 120000));
        QVERIFY2(!coordinator.errorMessage(), qPrintable(coordinator.errorMessage().value_or(QString())));
        QVERIFY(coordinator.hasFullResult());
        QVERIFY(save.answer(std::nullopt));
        QVERIFY(coordinator.hasUnexportedFullResult());

        // The window with its result: every stop drawn, all the way round.
        m_log << QStringLiteral("editor round");
        QVERIFY2(tabRound(window, window), qPrintable(m_log.join(u'\n')));

        // Opening another video asks first; while it asks, the window's shortcuts wait. The window
        // itself holds the focus, as when it opened, so Return there presses nothing.
        m_log << QStringLiteral("replace question");
        auto* replace = window->findChild<ui::CardOverlay*>(QStringLiteral("replace.confirmation"));
        QVERIFY(replace);
        window->setFocus(Qt::OtherFocusReason);
        QWidget* before = QApplication::focusWidget();
        QVERIFY(press(QStringLiteral("ctrl+o"), [&] { return replace->isVisible(); }));
        for (const QString& chord : {QStringLiteral("ctrl+e"), QStringLiteral("ctrl+o"), QStringLiteral("F10")})
            QVERIFY(press(chord, [] { return true; }));
        QTest::qWait(300);
        QVERIFY(save.requests == 1 && picker.requests == 1 && !QApplication::activePopupWidget());
        checkCardByKeyboard(window, replace, before, [&] {
            return picker.requests == 1 && save.requests == 1 && !coordinator.hasPendingReplacement();
        });
        // "Export First" by Return: the export starts, and the focus is back where it was.
        QVERIFY(press(QStringLiteral("ctrl+o"), [&] { return replace->isVisible(); }));
        QVERIFY(press(QStringLiteral("Return"), [&] { return save.requests == 2; }, 60000));
        QVERIFY(!replace->isVisible());
        QCOMPARE(QApplication::focusWidget(), before);
        QVERIFY(save.answer(std::nullopt));

        // The toolbar's Export button asks again from the keyboard.
        m_log << QStringLiteral("export");
        auto* exportButton = window->findChild<QAbstractButton*>(QStringLiteral("result.export"));
        QVERIFY(exportButton);
        QVERIFY(QTest::qWaitFor([&] { return exportButton->isVisible() && exportButton->isEnabled(); }, 10000));
        QVERIFY2(tabTo(window, exportButton), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("export-focused"));
        // Keys typed ahead of the dialog while the export is prepared (all before it can end: the
        // window's thread waits for xdotool) go to its card and do nothing; the dialog then opens.
        int stopped = 0;
        const auto stops = connect(&window->exporter(), &Exporter::stateChanged, this,
                                   [&] { stopped += window->exporter().state() == Exporter::State::idle(); });
        for (const char* key : {"Return", "slash", "t", "m", "p", "space", "ctrl+o", "F10", "Return"})
            QVERIFY(test::x11::typeKeys(QString::fromLatin1(key)));
        QVERIFY(QTest::qWaitFor([&] { return save.requests == 3; }, 60000));
        disconnect(stops);
        QVERIFY(!services->player().isPlaying() && picker.requests == 1 && !QApplication::activePopupWidget() && !stopped);
        const QString saved = home.filePath(QStringLiteral("Holiday clean.mp4"));
        QVERIFY(save.answer(ExportSaveDialog::Choice{saved, false, false}));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(saved); }, 60000));
        // Escape there stops the export: nothing opens, and Return after it presses nothing.
        window->setFocus(Qt::OtherFocusReason);
        for (const char* key : {"ctrl+e", "Escape", "Return"})
            QVERIFY(test::x11::typeKeys(QString::fromLatin1(key)));
        QVERIFY(QTest::qWaitFor([&] { return window->exporter().state() == Exporter::State::idle(); }));
        QVERIFY(save.requests == 3 && picker.requests == 1);

        // An alert: its one stop drawn, Escape dismisses it and gives the focus back; shown again,
        // it takes Return for its answer.
        m_log << QStringLiteral("alert");
        auto* alert = window->findChild<ui::CardOverlay*>(QStringLiteral("alert.host"));
        QVERIFY(alert);
        window->setFocus(Qt::OtherFocusReason);
        before = QApplication::focusWidget();
        coordinator.setErrorMessage(QStringLiteral("Something went wrong."));
        checkCardByKeyboard(window, alert, before,
                            [&] { return !coordinator.errorMessage() && save.requests == 3 && picker.requests == 1; });
        coordinator.setErrorMessage(QStringLiteral("Something went wrong."));
        auto* ok = window->findChild<QAbstractButton*>(QStringLiteral("alert.ok"));
        QVERIFY(QTest::qWaitFor([&] { return ok && ok->isVisible(); }, 2000));
        QVERIFY(press(QStringLiteral("Return"), [&] { return !coordinator.errorMessage(); }));
        QCOMPARE(QApplication::focusWidget(), before);

        // The sign-in sheet from the Account menu, by the item's letter.
        m_log << QStringLiteral("sign-in sheet");
        auto* sheet = window->findChild<ui::CardOverlay*>(QStringLiteral("signIn.host"));
        QVERIFY(sheet);
        QVERIFY2(chooseByLetter(QStringLiteral("a"), QStringLiteral("menu.signIn")), qPrintable(m_log.join(u'\n')));
        QVERIFY(QTest::qWaitFor([&] { return sheet->isVisible(); }, 5000));
        checkCardByKeyboard(window, sheet, before,
                            [&] { return !services->account().isSignInPresented() && picker.requests == 1; });

        // Settings and Help from the menus by their items' letters; each window takes Tab.
        m_log << QStringLiteral("settings");
        QVERIFY2(chooseByLetter(QStringLiteral("f"), QStringLiteral("menu.settings")), qPrintable(m_log.join(u'\n')));
        QPointer<QWidget> settings;
        QVERIFY(QTest::qWaitFor([&] {
            settings = QApplication::activeWindow();
            return settings && settings != window;
        }, 10000));
        QVERIFY2(tabAndCheckDrawn(settings), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(settings->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("settings-focused"));

        m_log << QStringLiteral("help");
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QVERIFY2(chooseByLetter(QStringLiteral("h"), QStringLiteral("menu.help.topics")), qPrintable(m_log.join(u'\n')));
        QPointer<QWidget> help;
        QVERIFY(QTest::qWaitFor([&] {
            help = QApplication::activeWindow();
            return help && help != window && help != settings;
        }, 10000));
        for (int i = 0; i < 3; ++i)
            QVERIFY2(tabAndCheckDrawn(help), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(help->windowHandle()), QStringLiteral("keyboard"), QStringLiteral("help-focused"));

        // Quitting with a cleaned video in the queue asks on the main window; Escape closes the
        // question and Return then quits nothing. Asked again, the question closes by itself once
        // the queue holds nothing unexported.
        m_log << QStringLiteral("quit question");
        QVERIFY(QTest::qWaitFor([&] { return batch.unexportedCompletedJobs() == 1 || !batch.isProcessingQueue(); }, 180000));
        QCOMPARE(batch.unexportedCompletedJobs(), 1);
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        window->setFocus(Qt::OtherFocusReason);
        before = QApplication::focusWidget();
        QVERIFY(press(QStringLiteral("ctrl+q"), [&] {
            return run.app->quitGuard().confirmation() && run.app->quitGuard().confirmation()->isVisible();
        }));
        QuitConfirmation* quit = run.app->quitGuard().confirmation();
        checkCardByKeyboard(window, quit, before, [&] {
            return quits == 0 && window->isVisible() && batch.completedJobs() == 1 && picker.requests == 1;
        });
        QVERIFY(press(QStringLiteral("ctrl+q"), [&] { return quit->isVisible(); }));
        batch.clearAll();
        QVERIFY(QTest::qWaitFor([&] { return !quit->isVisible(); }, 2000));
        QCOMPARE(QApplication::focusWidget(), before);

        // Ctrl+Q from the help window closes every window.
        m_log << QStringLiteral("quit");
        QPointer<QWidget> main = window;
        help->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(help));
        QVERIFY(press(QStringLiteral("ctrl+q"), [&] {
            return (!main || !main->isVisible()) && (!settings || !settings->isVisible()) && (!help || !help->isVisible());
        }));
        run.window = nullptr;

        // Every stop on the way showed the focus.
        QVERIFY2(m_undrawn.isEmpty(), qPrintable(m_undrawn.join(u'\n')));
    }

    // A cleaned video closed with Ctrl+Shift+W and reopened from its recent row by Tab and Return,
    // at both text sizes: once its editor has loaded, the keyboard is on the video's row.
    void reopenedVideoKeepsTheKeyboard_data() { tabFollowsTheScreen_data(); }
    void reopenedVideoKeepsTheKeyboard()
    {
        QFETCH(ui::TextSize, textSize);
        ui::Environment::instance().setTextSize(textSize);
        const auto restore = qScopeGuard([] { ui::Environment::instance().clearOverrides(); });
        test::AppOnLocalServer run;
        QVERIFY(run.open(3));
        auto& save = *new ScriptedSaveDialog;
        run.window->exporter().setSaveDialog(std::unique_ptr<ScriptedSaveDialog>(&save));
        EngineCoordinator& coordinator = run.services->coordinator();
        coordinator.openVideo(QUrl::fromLocalFile(run.movie));
        QVERIFY(QTest::qWaitFor([&] { return coordinator.hasPreviewResult() && !coordinator.isProcessing(); }, 120000));
        coordinator.cleanFullVideo();
        // The finished clean asks for the export; cancelled, the video closes unexported.
        QVERIFY(QTest::qWaitFor([&] { return save.answer(std::nullopt); }, 120000));
        run.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(run.window));
        auto* sidebar = run.window->findChild<VideoSidebar*>();
        QVERIFY(press(QStringLiteral("ctrl+shift+w"), [&] { return !coordinator.source() && sidebar->recentRows().size() == 1; }));
        QVERIFY2(tabTo(run.window, sidebar->recentRows().front()), qPrintable(m_log.join(u'\n')));
        QVERIFY(press(QStringLiteral("Return"), [&] { return coordinator.hasFullResult() && !coordinator.isProcessing(); }, 60000));
        // Whatever the loaded editor does next leaves the keyboard where it is.
        QTest::qWait(2000);
        QVERIFY2(QApplication::focusWidget() == sidebar->openRow(), qPrintable(describe(QApplication::focusWidget())));
    }

    // Signing in and out by keyboard, in Settings and on the sheet the Account menu opens: the
    // keyboard lands on the control that took the pressed one's place (in Settings), or back on
    // the control that had it before the menu (the sheet; the window's first control when the
    // window itself had it), and the new state is told as a notification in the window.
    void signingInAndOutLeavesTheKeyboardOnTheAccount_data()
    {
        QTest::addColumn<QString>("from");     // "settings", or "menu": the sheet the Account menu opens
        QTest::addColumn<QString>("holding");  // what has the keyboard before the menu (none: the window)
        QTest::addColumn<QString>("control");  // the one pressed
        QTest::addColumn<QString>("lands");
        QTest::newRow("settings, web sign-in") << "settings" << "" << "signIn.apple" << "settings.signOut";
        QTest::newRow("settings, Google sign-in") << "settings" << "" << "signIn.google" << "settings.signOut";
        QTest::newRow("settings, sign-out") << "settings" << "" << "settings.signOut" << "signIn.apple";
        QTest::newRow("menu, web sign-in") << "menu" << "" << "signIn.apple" << "chrome.sidebar";
        QTest::newRow("menu, Google sign-in") << "menu" << "" << "signIn.google" << "chrome.sidebar";
        QTest::newRow("menu from Open Video, web sign-in")
            << "menu" << "chrome.openVideo" << "signIn.apple" << "chrome.openVideo";
    }
    void signingInAndOutLeavesTheKeyboardOnTheAccount()
    {
        QFETCH(QString, from);
        QFETCH(QString, holding);
        QFETCH(QString, control);
        QFETCH(QString, lands);
        // Google's client outlives the application, whose tasks may still use it as it goes.
        StandInBrowser browser;
        std::optional<OAuthLoopbackClient> google;
        const auto restore = qScopeGuard([] { GoogleSignInService::setSharedSignIn(nullptr); });
        test::AppOnLocalServer run;
        auto at = [&](const char* path) { return run.server.baseUrl().resolved(QUrl(QString::fromLatin1(path))); };
        google.emplace(OAuthEndpoints{at("/oauth/authorize"), at("/oauth/token"), at("/oauth/revoke")},
                       std::make_shared<ForgetfulKeychain>(), QStringLiteral("test.google"), [&](const QUrl& url) {
                           browser.visit(url);
                           return true;
                       });
        GoogleSignInService::setSharedSignIn(&*google);
        GoogleSignInService::configure(QStringLiteral("desktop"), std::nullopt);
        QVERIFY(run.open(1));
        AccountStore& account = run.services->account();
        const bool signingIn = control != QLatin1String("settings.signOut");
        if (!signingIn)
            test::runTask(account.signInWithGoogle());

        QWidget* window = from == QLatin1String("settings") ? run.app->openWindow(from) : run.window;
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        if (from == QLatin1String("menu")) {
            window->setFocus(Qt::OtherFocusReason);
            QVERIFY2(holding.isEmpty() || tabTo(window, window->findChild<QWidget*>(holding)), qPrintable(m_log.join(u'\n')));
            QVERIFY2(chooseByLetter(QStringLiteral("a"), QStringLiteral("menu.signIn")), qPrintable(m_log.join(u'\n')));
            QVERIFY(QTest::qWaitFor([&] { return run.window->isSignInSheetShown(); }, 5000));
        }
        QVERIFY2(tabTo(window, window->findChild<QWidget*>(control)), qPrintable(m_log.join(u'\n')));
        QVERIFY(press(QStringLiteral("space"), [] { return true; }));
        if (control == QLatin1String("signIn.apple"))
            QVERIFY(browser.visitNoted());
        // Settled: the new account's record is in (after a sign-out, the new anonymous one's).
        QVERIFY(QTest::qWaitFor([&] {
            return account.isSignedIn() == signingIn && account.hasSession() && !account.isAuthenticating()
                   && !account.isSignInPresented() && account.user() && account.user()->isAnonymous == !signingIn;
        }, 30000));

        QWidget* target = window->findChild<QWidget*>(lands);
        const bool landed = QTest::qWaitFor([&] { return target && QApplication::focusWidget() == target; }, 3000);
        m_log << QStringLiteral("  lands on: ") + describe(QApplication::focusWidget());
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("account-focus"),
                             QString::fromLatin1(QTest::currentDataTag()).replace(QStringLiteral(", "), QStringLiteral("-")));
        QVERIFY2(landed, qPrintable(m_log.join(u'\n')));
        const QString told = signingIn ? QStringLiteral("Signed in as, ") + signedInAsText(*account.user())
                                       : QStringLiteral("Not signed in");
        auto* note = window->findChild<QWidget*>(QStringLiteral("hf.announcement"));
        QAccessibleInterface* said = note ? QAccessible::queryAccessibleInterface(note) : nullptr;
        QVERIFY2(said && note->isVisible() && said->role() == QAccessible::Notification
                     && said->text(QAccessible::Name) == told,
                 qPrintable(said ? said->text(QAccessible::Name) : QStringLiteral("(nothing told)")));
    }

    // Settings, Help and Feedback close with Escape and with Ctrl+W, and every stop of theirs
    // shows the focus.
    void theOtherWindowsCloseByKeys()
    {
        test::AppOnLocalServer run;
        QVERIFY(run.open(2));
        for (const QString& id : {QStringLiteral("settings"), QStringLiteral("help"), QStringLiteral("feedback")}) {
            for (const QString& key : {QStringLiteral("Escape"), QStringLiteral("ctrl+w")}) {
                m_log << id + QStringLiteral(" closed by ") + key;
                QPointer<QWidget> window = run.app->openWindow(id);
                QVERIFY(window && QTest::qWaitForWindowActive(window));
                if (key == QLatin1String("Escape"))
                    QVERIFY2(tabRound(window, window) || !window->focusWidget(), qPrintable(m_log.join(u'\n')));
                QVERIFY2(press(key, [&] { return !window || !window->isVisible(); }), qPrintable(m_log.join(u'\n')));
            }
        }

        QVERIFY2(m_undrawn.isEmpty(), qPrintable(m_undrawn.join(u'\n')));
    }

    // At the default and the largest text size: Tab goes round the main window at its least size,
    // with a video open, a recent and a queued one, in the order the screen shows its controls
    // (toolbar, sidebar, editor, inspector, each top to bottom and left to right), every stop named
    // and drawn; so does it round the sign-in sheet, the feedback form and the help window.
    void tabFollowsTheScreen_data()
    {
        QTest::addColumn<ui::TextSize>("textSize");
        QTest::newRow("default") << ui::TextSize::large;
        QTest::newRow("largest") << ui::TextSize::accessibility5;
    }
    void tabFollowsTheScreen()
    {
        QFETCH(ui::TextSize, textSize);
        ui::Environment::instance().setTextSize(textSize);
        const auto restore = qScopeGuard([] { ui::Environment::instance().clearOverrides(); });
        const QString size = QString::fromLatin1(QTest::currentDataTag());
        test::AppOnLocalServer run;
        QVERIFY(run.open(3));
        EngineCoordinator& coordinator = run.services->coordinator();
        const QString second = run.home.filePath(QStringLiteral("Second.mp4"));
        QVERIFY(test::makeToneMovie(second, 3));
        for (const QString& movie : {run.movie, second}) {
            coordinator.openVideo(QUrl::fromLocalFile(movie));
            QVERIFY(QTest::qWaitFor([&] {
                return (coordinator.source() && coordinator.source()->url.toLocalFile() == movie
                        && coordinator.hasPreviewResult() && !coordinator.isProcessing())
                       || coordinator.errorMessage();
            }, 120000));
            QVERIFY2(!coordinator.errorMessage(), qPrintable(coordinator.errorMessage().value_or(QString())));
        }
        run.services->batch().enqueue({QUrl::fromLocalFile(run.movie)});
        ContentView* window = run.window;
        // As small as a small screen makes it, so the columns scroll.
        window->resize(window->minimumSize());
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        window->setFocus(Qt::OtherFocusReason);

        // Tab round `scope` of `window`: the stops in the order reached, each drawn and named for
        // a screen reader.
        const auto round = [&](QWidget* window, QWidget* scope) {
            QList<QWidget*> stops;
            for (int i = 0; i < 80; ++i) {
                QWidget* now = tabAndCheckDrawn(window, scope, true);
                if (!now || (!stops.isEmpty() && (now == stops.first() || now == stops.last())))
                    break;
                const QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(now);
                if (!spoken || spoken->text(QAccessible::Name).trimmed().isEmpty())
                    m_undrawn << describe(now) + QStringLiteral(" (no name)");
                stops << now;
            }
            return stops;
        };
        m_log << QStringLiteral("main window, ") + size;
        const QList<QWidget*> stops = round(window, window);
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("keyboard"),
                             QStringLiteral("round-") + size);
        window->exporter().setState(Exporter::State::rendering(0.42));
        test::saveScreenshot(window->grab().toImage(), QStringLiteral("keyboard"), QStringLiteral("export-preparing-") + size);
        window->exporter().setState(Exporter::State::idle());
        const QStringList misplaced = outOfScreenOrder(window, stops);
        QVERIFY2(misplaced.isEmpty(), qPrintable(misplaced.join(u'\n') + u'\n' + m_log.join(u'\n')));
        for (const char* row : {"sidebar.recentVideo", "sidebar.queueJob"})
            QVERIFY2(stops.contains(window->findChild<QWidget*>(QLatin1String(row))), row);

        m_log << QStringLiteral("sign-in sheet, ") + size;
        auto* sheet = window->findChild<ui::CardOverlay*>(QStringLiteral("signIn.host"));
        run.services->account().setSignInPresented(true);
        QVERIFY(QTest::qWaitFor([&] { return sheet->isVisible(); }, 5000));
        QVERIFY2(!round(window, sheet).isEmpty(), qPrintable(m_log.join(u'\n')));
        test::saveScreenshot(test::x11::screenPicture(window->windowHandle()), QStringLiteral("keyboard"),
                             QStringLiteral("sign-in-") + size);
        QVERIFY(press(QStringLiteral("Escape"), [&] { return !sheet->isVisible(); }));

        m_log << QStringLiteral("feedback form, ") + size;
        FeedbackWindowContent feedback(TelluConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")),
                                                   QStringLiteral("Hushframe"), true, std::nullopt, std::nullopt},
                                       [] {});
        feedback.resize(feedback.sizeHint());
        feedback.show();
        feedback.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&feedback));
        QVERIFY2(round(&feedback, &feedback).size() >= 3, qPrintable(m_log.join(u'\n')));

        // Help from its top: the search field above the topics comes first.
        m_log << QStringLiteral("help window, ") + size;
        QPointer<QWidget> help = run.app->openWindow(QStringLiteral("help"));
        QVERIFY(help && QTest::qWaitForWindowActive(help));
        help->setFocus(Qt::OtherFocusReason);
        const QList<QWidget*> helpStops = round(help, help);
        const QStringList helpMisplaced = outOfScreenOrder(help, helpStops);
        QVERIFY2(helpMisplaced.isEmpty() && helpStops.value(0) == help->findChild<QWidget*>(QStringLiteral("help.search")),
                 qPrintable(helpMisplaced.join(u'\n') + u'\n' + m_log.join(u'\n')));

        // Every element of every window asked for a child out of its range answers nothing; so
        // does each scroll area asked for its last child by the count read while its scroll bar
        // showed, once the bar has hidden.
        const QStringList answering = answeringOutOfRange();
        QVERIFY2(answering.isEmpty(), qPrintable(answering.join(u'\n')));
        for (QWidget* top : QApplication::topLevelWidgets()) {
            for (auto* area : top->findChildren<QAbstractScrollArea*>()) {
                const Qt::ScrollBarPolicy policy = area->verticalScrollBarPolicy();
                area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
                QAccessibleInterface* a = QAccessible::queryAccessibleInterface(area);
                const int count = a->childCount();
                area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                QVERIFY2(a->childCount() >= count || !a->child(count - 1), qPrintable(describe(area)));
                area->setVerticalScrollBarPolicy(policy);
            }
        }

        QVERIFY2(m_undrawn.isEmpty(), qPrintable(m_undrawn.join(u'\n')));
    }
};

QTEST_MAIN(TestKeyboardPass)
#include "test_keyboard_pass.moc"
