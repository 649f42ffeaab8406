// The File, Playback and Account menus on the application's services: which items are enabled in
// each state of the open video and the queue, their titles, the Open Recent submenu and the
// replace question it asks, and shortcuts with and without a text field in focus.

#include "helpers_app.h"

#include "app/hushframe_commands.h"
#include "backend/account_store.h"
#include "backend/session_token_store.h"
#include "player/audio_player_service.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "coordinator/recent_videos.h"
#include "editor/compare_key.h"
#include "platform/settings_store.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

using namespace hf;

namespace {

const QStringList playbackItems{"playPause", "compare",  "trackClean", "trackOriginal", "soloDialogue", "soloMusic",
                                "soloEffects", "goToBeginning", "back5", "forward5", "loop"};

SourceVideo video(const QString& name, double seconds = 60)
{
    return SourceVideo{QUrl::fromLocalFile(QStringLiteral("/videos/") + name), name, seconds};
}

SeparationResult result(JobKind kind, const QString& name)
{
    SeparationResult r;
    r.kind = kind;
    r.sourceVideoURL = QUrl::fromLocalFile(QStringLiteral("/videos/") + name);
    r.duration = 60;
    r.coversWholeVideo = kind == JobKind::full;
    return r;
}

QStringList titles(QMenu* menu)
{
    QStringList texts;
    for (QAction* action : menu->actions())
        if (action->isVisible())
            texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

// The main window's stand-in: a layout with a text field and a plain focusable area.
struct Window {
    QWidget window;
    QLineEdit* field = new QLineEdit;
    QWidget* area = new QWidget;
    HushframeCommands* commands;

    explicit Window(AppServices& services)
    {
        auto* layout = new QVBoxLayout(&window);
        area->setFocusPolicy(Qt::StrongFocus);
        area->setMinimumSize(200, 100);
        layout->addWidget(field);
        layout->addWidget(area);
        commands = HushframeCommands::install(services, &window);
        window.show();
        window.activateWindow();
    }
};

} // namespace

class TestMenuCommands : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    std::unique_ptr<AppServices> services;

    EngineCoordinator& coordinator() { return services->coordinator(); }

private Q_SLOTS:
    void init() { services = hf::test::makeServices(home); }
    void cleanup() { services.reset(); }

    void enablementInEveryState()
    {
        HushframeCommands commands(coordinator(), services->player(), services->account());
        auto enabled = [&](const QString& name) { return commands.action(name)->isEnabled(); };
        struct Row {
            const char* state;
            std::function<void()> enter;
            bool cleanFull, exportItem, close, playback;
        };
        const std::vector<Row> rows{
            {"no video", [] {}, false, false, false, false},
            {"open, no result", [&] { coordinator().setSource(video("beach.mp4")); }, true, false, true, false},
            {"preview", [&] { coordinator().setCurrentResult(result(JobKind::preview, "beach.mp4")); }, true, false,
             true, true},
            {"full clean running", [&] { coordinator().setProcessing(true); }, false, false, true, true},
            {"promoting", [&] { coordinator().setProcessing(false), coordinator().setPromoting(true); }, false, false,
             true, true},
            {"full", [&] {
                 coordinator().setPromoting(false);
                 coordinator().setCurrentResult(result(JobKind::full, "beach.mp4"));
             }, false, true, true, true},
            {"queue running", [&] {
                 QFile file(home.filePath("queued.mp4"));
                 QVERIFY(file.open(QIODevice::WriteOnly));
                 services->batch().enqueue({QUrl::fromLocalFile(file.fileName())});
                 services->batch().start();
                 QVERIFY(services->batch().isProcessingQueue());
             }, false, true, true, true},
            {"closed", [&] { coordinator().clearSource(); }, false, false, false, false},
        };
        for (const Row& row : rows) {
            row.enter();
            const QByteArray state(row.state);
            QVERIFY2(enabled("openVideo") && enabled("addToBatch") && commands.openRecentMenu()->isEnabled(),
                     state.constData());
            QVERIFY2(enabled("cleanFull") == row.cleanFull, state.constData());
            QVERIFY2(enabled("export") == row.exportItem, state.constData());
            QVERIFY2(enabled("closeVideo") == row.close, state.constData());
            for (const QString& item : playbackItems)
                QVERIFY2(enabled(item) == row.playback, qPrintable(state + " " + item.toUtf8()));
        }
        services->batch().clearAll();
    }

    void titlesFollowThePlayerAndTheAccount()
    {
        HushframeCommands commands(coordinator(), services->player(), services->account());
        QCOMPARE(titles(commands.playbackMenu()),
                 (QStringList{"Play", "Hold to Compare with Original", "-", "Clean", "Original", "-", "Solo Dialogue",
                              "Solo Music", "Solo Effects and ambience", "-", "Go to Beginning", "Back 5 Seconds",
                              "Forward 5 Seconds", "Loop"}));
        services->player().setComparing(true);
        services->player().setLooping(true);
        QCOMPARE(commands.action("compare")->text(), QStringLiteral("Stop Comparing with Original"));
        QCOMPARE(commands.action("loop")->text(), QStringLiteral("Stop Looping"));
        services->player().setComparing(false);
        // Disabled without a result, the items do nothing; with one they pick the track.
        commands.action("trackOriginal")->trigger();
        QCOMPARE(services->player().selectedTrackMode(), AuditionTrackMode::hushframed);
        coordinator().setSource(video("beach.mp4"));
        coordinator().setCurrentResult(result(JobKind::preview, "beach.mp4"));
        commands.action("trackOriginal")->trigger();
        QCOMPARE(services->player().selectedTrackMode(), AuditionTrackMode::original);
        commands.action("soloMusic")->trigger();
        QCOMPARE(services->player().selectedTrackMode(), AuditionTrackMode::isolatedMusic);
        commands.action("soloMusic")->trigger();
        QCOMPARE(services->player().selectedTrackMode(), AuditionTrackMode::hushframed);

        // Not signed in: "Sign In..." asks for the sheet; signed in, the menu is empty.
        QCOMPARE(titles(commands.accountMenu()), QStringList{"Sign In..."});
        commands.action("signIn")->trigger();
        QVERIFY(services->account().isSignInPresented());
        QCOMPARE(services->account().signInReason(), SignInReason::sync);
        services->tokenStore().save(QStringLiteral("token"));
        services->defaults().setValue(QStringLiteral("hf_last_auth_provider"), QStringLiteral("google"));
        AccountStore signedIn(&services->api(), &services->defaults());
        QVERIFY(signedIn.isSignedIn());
        HushframeCommands signedInCommands(coordinator(), services->player(), signedIn);
        QCOMPARE(titles(signedInCommands.accountMenu()), QStringList{});
        // With nothing in it the menu's title is greyed and opens no empty box.
        QVERIFY(!signedInCommands.accountMenu()->menuAction()->isEnabled());
        QVERIFY(commands.accountMenu()->menuAction()->isEnabled());
    }

    void fileItemsAndOpenRecent()
    {
        HushframeCommands commands(coordinator(), services->player(), services->account());
        QCOMPARE(titles(commands.fileMenu()),
                 (QStringList{"Open Video...", "Open Recent", "Add Videos to Batch...", "-", "Clean Full Video",
                              "Export...", "Close Video"}));
        // An empty list: only "Clear Menu", disabled, with no divider.
        QCOMPARE(titles(commands.openRecentMenu()), QStringList{"Clear Menu"});
        QVERIFY(!commands.action("clearRecents")->isEnabled());

        commands.action("addToBatch")->trigger();
        QCOMPARE(coordinator().importTarget(), ImportTarget::queue);
        QVERIFY(coordinator().isFileImporterPresented());
        coordinator().setFileImporterPresented(false);

        RecentVideos& recents = coordinator().recents();
        recents.noteOpened(video("beach.mp4"));
        recents.noteOpened(video("Holiday.mov"));
        QCOMPARE(titles(commands.openRecentMenu()), (QStringList{"Holiday.mov", "beach.mp4", "-", "Clear Menu"}));
        QVERIFY(commands.action("clearRecents")->isEnabled());

        // An unexported full clean is open: choosing a recent video, or Open Video..., asks first.
        coordinator().setSource(video("storm.mp4"));
        coordinator().setCurrentResult(result(JobKind::full, "storm.mp4"));
        commands.openRecentMenu()->actions()[1]->trigger();
        QVERIFY(coordinator().pendingReplacement());
        QCOMPARE(coordinator().pendingReplacement()->videoName, QStringLiteral("storm.mp4"));
        QCOMPARE(coordinator().source()->displayName, QStringLiteral("storm.mp4"));
        coordinator().setPendingReplacement(std::nullopt);
        commands.action("openVideo")->trigger();
        QVERIFY(coordinator().pendingReplacement());
        QVERIFY(!coordinator().isFileImporterPresented());
        coordinator().setPendingReplacement(std::nullopt);

        commands.action("export")->trigger();
        QVERIFY(coordinator().showExportSheet());
        coordinator().setShowExportSheet(false);

        // Exported, nothing asks: the recent video opens at once (its file is gone here, so the
        // list loses it and says so).
        coordinator().noteExported();
        commands.openRecentMenu()->actions()[1]->trigger();
        QVERIFY(!coordinator().pendingReplacement());
        QVERIFY(coordinator().errorMessage().has_value());
        QCOMPARE(titles(commands.openRecentMenu()), (QStringList{"Holiday.mov", "-", "Clear Menu"}));

        commands.action("closeVideo")->trigger();
        QVERIFY(!coordinator().source());
        commands.action("clearRecents")->trigger();
        QVERIFY(recents.entries().empty());
        QCOMPARE(titles(commands.openRecentMenu()), QStringList{"Clear Menu"});
    }

    void shortcutsLeaveTextFieldsAlone()
    {
        Window window(*services);
        QVERIFY(QTest::qWaitForWindowActive(&window.window));
        QVERIFY(window.window.findChild<QMenuBar*>());
        QSignalSpy play(window.commands->action("playPause"), &QAction::triggered);
        QSignalSpy home(window.commands->action("goToBeginning"), &QAction::triggered);
        QSignalSpy compare(window.commands->action("compare"), &QAction::triggered);
        QSignalSpy loop(window.commands->action("loop"), &QAction::triggered);

        // Without a result the items are disabled, and so are their shortcuts.
        window.area->setFocus();
        QTest::keyClick(window.area, Qt::Key_L, Qt::ControlModifier);
        QTest::keyClick(window.area, Qt::Key_Space);
        QCOMPARE(loop.count() + play.count(), 0);

        coordinator().setSource(video("beach.mp4"));
        coordinator().setCurrentResult(result(JobKind::preview, "beach.mp4"));
        QTest::keyClick(window.area, Qt::Key_L, Qt::ControlModifier);
        QCOMPARE(loop.count(), 1);
        QVERIFY(services->player().isLooping());
        QTest::keyClick(window.area, Qt::Key_Space);
        QTest::keyClick(window.area, Qt::Key_Home);
        QTest::keyClick(window.area, Qt::Key_Backslash);
        QCOMPARE(play.count(), 1);
        QCOMPARE(home.count(), 1);
        QCOMPARE(compare.count(), 1);

        // A text field keeps Space, Home and backslash; shortcuts with Control still work.
        window.field->setFocus();
        QTest::keyClicks(window.field, "ab");
        QTest::keyClick(window.field, Qt::Key_Space);
        QTest::keyClick(window.field, Qt::Key_Backslash, Qt::NoModifier);
        QTest::keyClick(window.field, Qt::Key_Home);
        QTest::keyClick(window.field, Qt::Key_X);
        QCOMPARE(window.field->text(), QStringLiteral("xab \\"));
        QCOMPARE(play.count(), 1);
        QCOMPARE(home.count(), 1);
        QCOMPARE(compare.count(), 1);
        QTest::keyClick(window.field, Qt::Key_L, Qt::ControlModifier);
        QCOMPARE(loop.count(), 2);

        // A focused button takes Space itself: it is pressed, nothing plays.
        auto* button = new QPushButton(QStringLiteral("Show in Folder"));
        window.window.layout()->addWidget(button);
        QSignalSpy pressed(button, &QAbstractButton::clicked);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(play.count(), 1);

        // While the editor's compare key listens, backslash holds the original there instead.
        auto* monitor = new CompareKeyMonitor(window.area);
        monitor->setEnabled(true);
        QSignalSpy held(monitor, &CompareKeyMonitor::changed);
        window.area->setFocus();
        QTest::keyPress(window.area, Qt::Key_Backslash);
        QTest::keyRelease(window.area, Qt::Key_Backslash);
        QCOMPARE(compare.count(), 1);
        QCOMPARE(held.count(), 2);
        monitor->setEnabled(false);
        QTest::keyClick(window.area, Qt::Key_Backslash);
        QCOMPARE(compare.count(), 2);
    }
};

QTEST_MAIN(TestMenuCommands)
#include "test_menu_commands.moc"
