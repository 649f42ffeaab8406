// Every window at the largest text size, light and dark, read by geometry: each text whole
// inside what holds it (or reachable by scrolling), no control on another, no word broken, no
// name shortened. The main window empty, with an open video and its inspector, with a batch
// queue, with the alert, the replace question and the sign-in sheet; the settings form signed
// out and signed in, scrolled through; the help browser, a topic, the feedback sheet and the
// unavailable notice at the help window's least size; the feedback window with its form and with
// its notice. Set HF_LAYOUT_TREE to print each window's widget tree. Pictures go to
// screenshots/largest/.

#include "app/content_view.h"
#include "app/feedback_window.h"
#include "app/help_view.h"
#include "app/hushframe_app.h"
#include "app/settings_view.h"
#include "app/wrapping_label.h"
#include "backend/account_store.h"
#include "backend/api_client.h"
#include "player/audio_player_service.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "editor/exporter.h"
#include "editor/lanes_view.h"
#include "editor/soundtrack_band.h"
#include "sidebar/sidebar_rows.h"
#include "helpers_app.h"
#include "helpers_audition.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/media_error.h"
#include "support/layout_audit.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "ui_kit/environment.h"
#include "ui_kit/screen_fit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLayout>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QScopeGuard>
#include <QScrollArea>
#include <QTest>

using namespace hf;
using namespace std::chrono_literals;

namespace {

ui::Environment& environment()
{
    return ui::Environment::instance();
}

QString appearanceName(ui::Appearance appearance)
{
    return appearance == ui::Appearance::dark ? QStringLiteral("dark") : QStringLiteral("light");
}

// Lets layouts and deferred refreshes settle: each round may post the next.
void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// Saves the window's picture and returns what the audit found, one line each.
QString inspect(QWidget* window, const QString& state)
{
    settle();
    // A layout can still be on its way after those passes: a scroll bar that has just appeared
    // narrows the rows, which then need more height, and a running queue keeps changing its rows'
    // texts. What is still wrong after a second is a fault.
    QList<test::LayoutFault> faults = test::auditLayout(window);
    QElapsedTimer waited;
    waited.start();
    while (!faults.isEmpty() && waited.elapsed() < 1000) {
        QTest::qWait(50);
        settle();
        faults = test::auditLayout(window);
    }
    test::saveScreenshot(window->grab().toImage(), QStringLiteral("largest"),
                         state + u'-' + appearanceName(environment().appearance()));
    if (qEnvironmentVariableIsSet("HF_LAYOUT_TREE"))
        qInfo().noquote() << test::describeTree(window);
    QStringList lines;
    for (const test::LayoutFault& fault : faults)
        lines << state + QStringLiteral(": ") + test::describe({fault});
    // Each on its own line: a failure message is cut short after a few hundred characters.
    for (const QString& line : lines)
        qInfo().noquote() << line;
    return lines.join(u'\n');
}

QCoro::Task<void> googleSocialSignIn(APIClient* api, QString idToken)
{
    SocialSignInRequest request;
    request.provider = AuthProvider::google;
    request.idToken.token = idToken;
    co_await api->signInSocial(request);
}

TelluConfig feedbackConfig()
{
    return TelluConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")), QStringLiteral("Hushframe"), true,
                       std::nullopt, QStringLiteral("token")};
}

bool makeMovie(const QString& path, int seconds)
{
    return test::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=320x180:rate=25", "-f", "lavfi", "-i",
                            "aevalsrc=0.3*sin(2*PI*220*t)+0.2*sin(2*PI*2*t)*sin(2*PI*880*t):s=44100:c=stereo",
                            "-t", QString::number(seconds), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
                            path});
}

// The application with no server to reach, its main window open in an appearance: open().
struct OfflineApp {
    QTemporaryDir home;
    std::unique_ptr<AppServices> services = test::makeServices(home);
    test::ScriptedFilePicker picker;
    HushframeApp app{*services, &picker};
    ContentView* window = nullptr;

    bool open(ui::Appearance appearance)
    {
        environment().setAppearance(appearance);
        window = qobject_cast<ContentView*>(app.openWindow(QStringLiteral("main")));
        return window && QTest::qWaitForWindowExposed(window);
    }
};

// The application on a local server, its main window open once a session is started: start().
struct ServedApp {
    QTemporaryDir home;
    test::LocalServer server;
    std::unique_ptr<AppServices> services = test::makeServices(home, server.baseUrl());
    test::ScriptedFilePicker picker;
    std::unique_ptr<HushframeApp> app;
    ContentView* window = nullptr;

    bool start()
    {
        services->engine().setPollInterval(100ms);
        app = std::make_unique<HushframeApp>(*services, &picker);
        window = qobject_cast<ContentView*>(app->openWindow(QStringLiteral("main")));
        return window && QTest::qWaitForWindowExposed(window)
               && QTest::qWaitFor([&] { return services->account().hasSession(); }, 30000);
    }
};

} // namespace

class TestLargestText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        environment().setTextSize(ui::TextSize::accessibility5);
        ui::Environment::applyToApplication(*qApp);
    }

    void cleanupTestCase() { environment().clearOverrides(); }

    void appearances_data()
    {
        QTest::addColumn<ui::Appearance>("appearance");
        QTest::newRow("light") << ui::Appearance::light;
        QTest::newRow("dark") << ui::Appearance::dark;
    }

    // The main window with no video, at its least size and at the size it opens with; the
    // alert, the sign-in sheet and the replace question over it.
    void mainWindowWithoutAVideo_data() { appearances_data(); }
    void mainWindowWithoutAVideo()
    {
        QFETCH(ui::Appearance, appearance);
        OfflineApp offline;
        QVERIFY(offline.open(appearance));
        const QTemporaryDir& home = offline.home;
        auto& services = offline.services;
        ContentView* window = offline.window;

        QStringList faults;
        window->resize(window->minimumSize());
        faults << inspect(window, QStringLiteral("main-empty-least"));
        window->resize(1440, 900);
        faults << inspect(window, QStringLiteral("main-empty"));

        services->coordinator().setErrorMessage(
            QStringLiteral("The video could not be read. It may be damaged or in a format that is not supported."));
        QVERIFY(QTest::qWaitFor([&] { return window->isAlertShown(); }, 2000));
        window->resize(window->minimumSize());
        faults << inspect(window, QStringLiteral("main-alert"));
        services->coordinator().setErrorMessage(std::nullopt);

        services->account().setSignInPresented(true);
        QVERIFY(QTest::qWaitFor([&] { return window->isSignInSheetShown(); }, 2000));
        faults << inspect(window, QStringLiteral("main-sign-in"));
        services->account().setSignInPresented(false);

        services->coordinator().setPendingReplacement(
            EngineCoordinator::PendingReplacement{QStringLiteral("Holiday at the lake.mp4"), [] {}});
        faults << inspect(window, QStringLiteral("main-replace"));
        services->coordinator().setPendingReplacement(std::nullopt);

        // The save dialog of an export, opened over the window.
        FileExportSaveDialog save(window);
        save.open(ExportSaveDialog::Request{home.path(), QStringLiteral("Holiday at the lake.mp4"), QStringLiteral("mp4"),
                                            false, false},
                  [](std::optional<ExportSaveDialog::Choice>) {});
        QVERIFY(save.dialog() && QTest::qWaitForWindowExposed(save.dialog()));
        save.dialog()->resize(save.dialog()->minimumSizeHint().expandedTo(save.dialog()->minimumSize()));
        faults << inspect(save.dialog(), QStringLiteral("save-dialog-least"));
        save.dismiss();

        faults.removeAll(QString());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

    // A video open with its preview, the inspector beside it; then a batch queue in the sidebar.
    void mainWindowWithAVideoAndAQueue_data() { appearances_data(); }
    void mainWindowWithAVideoAndAQueue()
    {
        QFETCH(ui::Appearance, appearance);
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        ServedApp served;
        const QTemporaryDir& home = served.home;
        const QString movie = home.filePath(QStringLiteral("Holiday at the lake.mp4"));
        QVERIFY(makeMovie(movie, 6));
        environment().setAppearance(appearance);
        QVERIFY(served.start());
        auto& services = served.services;
        auto& picker = served.picker;
        ContentView* window = served.window;

        services->coordinator().presentFileImporter();
        QVERIFY(QTest::qWaitFor([&] { return picker.answer(QList<QUrl>{QUrl::fromLocalFile(movie)}); }, 5000));
        EngineCoordinator& coordinator = services->coordinator();
        QVERIFY(QTest::qWaitFor(
            [&] { return (coordinator.hasPreviewResult() && !coordinator.isProcessing()) || coordinator.errorMessage(); },
            120000));
        QVERIFY2(!coordinator.errorMessage(), qPrintable(coordinator.errorMessage().value_or(QString())));
        QVERIFY(window->isInspectorShown());

        // The lanes' headers fade in with the split; the pictures are of the headers shown.
        auto* band = window->findChild<SoundtrackBand*>();
        QVERIFY(band);
        QVERIFY(QTest::qWaitFor(
            [&] { return coordinator.stemEnvelopes() && band->lanes()->splitProgress() >= 1.0; }, 20000));

        QStringList faults;
        window->resize(window->minimumSize());
        faults << inspect(window, QStringLiteral("main-video-least"));
        window->resize(1440, 900);
        faults << inspect(window, QStringLiteral("main-video"));
        // The columns scrolled to their ends: the lanes with their solo buttons, the export options.
        for (auto* scroll : window->findChildren<QScrollArea*>())
            scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        faults << inspect(window, QStringLiteral("main-video-scrolled"));

        // A queue of two videos beside the open one.
        const QString second = home.filePath(QStringLiteral("Storm over the harbour.mp4"));
        QVERIFY(makeMovie(second, 3));
        services->batch().enqueue({QUrl::fromLocalFile(second), QUrl::fromLocalFile(movie)});
        QVERIFY(QTest::qWaitFor([&] { return services->batch().jobs().size() == 2; }, 10000));
        window->resize(window->minimumSize());
        faults << inspect(window, QStringLiteral("main-queue-least"));
        services->batch().stop();

        // The second video opened: the first joins the recent videos; then the first reopened
        // from its row, which takes the keyboard focus as it would from Tab.
        coordinator.openVideo(QUrl::fromLocalFile(second));
        QVERIFY(QTest::qWaitFor([&] { return coordinator.source() && coordinator.source()->url.toLocalFile() == second; },
                                10000));
        faults << inspect(window, QStringLiteral("main-recent-least"));
        auto* recent = window->findChild<QAbstractButton*>(QStringLiteral("sidebar.recentVideo"));
        QVERIFY2(recent, qPrintable(coordinator.source() ? coordinator.source()->displayName : QStringLiteral("none")));
        recent->setFocus(Qt::TabFocusReason);
        recent->click();
        QVERIFY(QTest::qWaitFor([&] { return coordinator.source() && coordinator.source()->url.toLocalFile() == movie; },
                                10000));
        if (auto* next = window->findChild<QAbstractButton*>(QStringLiteral("sidebar.recentVideo")))
            next->setFocus(Qt::TabFocusReason);
        faults << inspect(window, QStringLiteral("main-recent-reopened-least"));

        faults.removeAll(QString());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

    // On a small screen (a panel of 28 and the window's frame taken from it), at the default and the
    // largest text size: the main window with a cleaned video open and its toolbar full, at its
    // least size, with the question before files are replaced and a queue row's menu over it; the
    // save dialog of the export; the settings, help and feedback windows. Each opens within the
    // screen's room and reads whole there.
    void everyWindowOnASmallScreen_data()
    {
        QTest::addColumn<QString>("screenName");
        QTest::addColumn<ui::TextSize>("textSize");
        QTest::addColumn<QSize>("room");
        QTest::newRow("1024x768 default") << QStringLiteral("1024x768") << ui::TextSize::large << QSize(1000, 700);
        QTest::newRow("1024x768 largest") << QStringLiteral("1024x768") << ui::TextSize::accessibility5 << QSize(1000, 700);
        QTest::newRow("1280x800 largest") << QStringLiteral("1280x800") << ui::TextSize::accessibility5 << QSize(1256, 732);
    }
    void everyWindowOnASmallScreen()
    {
        QFETCH(QString, screenName);
        QFETCH(ui::TextSize, textSize);
        QFETCH(QSize, room);
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        QScreen* screen = nullptr;
        for (QScreen* candidate : QGuiApplication::screens())
            screen = candidate->name() == screenName ? candidate : screen;
        if (!screen)
            QSKIP("needs the small screens of tests/app/screens.json (QT_QPA_PLATFORM=offscreen:configfile=...)");
        environment().setTextSize(textSize);
        const auto restore = qScopeGuard([] { environment().setTextSize(ui::TextSize::accessibility5); });
        const QString size = textSize == ui::TextSize::large ? QStringLiteral("default") : QStringLiteral("largest");
        const QString state = screenName + u'-' + size;
        QStringList faults;
        // A window on the screen: within its room, and no part of it out of reach.
        const auto onScreen = [&](QWidget* window, const QString& what) {
            window->setScreen(screen);
            window->move(screen->availableGeometry().topLeft());
            settle();
            const QSize within = ui::workAreaRoom(window);
            if (within.expandedTo(window->minimumSize()) != within || within.expandedTo(window->size()) != within)
                faults << what + QStringLiteral(" does not fit a %1 screen").arg(screenName);
        };

        ServedApp served;
        const QString movie = served.home.filePath(QStringLiteral("Holiday at the lake.mp4"));
        QVERIFY(makeMovie(movie, 4));
        QVERIFY(served.start());
        ContentView* window = served.window;
        EngineCoordinator& coordinator = served.services->coordinator();
        const auto settles = [&](const auto& has) {
            return QTest::qWaitFor([&] { return (has() && !coordinator.isProcessing()) || coordinator.errorMessage(); },
                                   120000)
                   && !coordinator.errorMessage();
        };
        coordinator.openVideo(QUrl::fromLocalFile(movie));
        QVERIFY(settles([&] { return coordinator.hasPreviewResult(); }));
        coordinator.cleanFullVideo();
        QVERIFY(settles([&] { return coordinator.hasFullResult(); }));
        coordinator.setShowExportSheet(false);
        // A cleaned video in the queue, for its row's menu.
        served.services->batch().enqueue({QUrl::fromLocalFile(movie)});
        served.services->batch().start();
        QVERIFY(QTest::qWaitFor([&] { return served.services->batch().completedJobs() == 1; }, 120000));

        onScreen(window, QStringLiteral("main window"));
        // Its least size leaves room for a panel and the frame of a desktop.
        QVERIFY2(room.expandedTo(window->minimumSize()) == room,
                 qPrintable(QStringLiteral("least size %1x%2").arg(window->minimumWidth()).arg(window->minimumHeight())));
        window->resize(window->minimumSize());
        for (const char* name : {"result.export", "inspector"})
            if (auto* control = window->findChild<QWidget*>(QLatin1String(name)))
                QVERIFY2(window->rect().contains(QRect(control->mapTo(window, QPoint(0, 0)), control->size())), name);
        // At this size the sidebar shortens a long name in its middle, as it is meant to.
        const auto audited = [&](QWidget* root, const QString& name) {
            QStringList found = inspect(root, name + u'-' + state).split(u'\n', Qt::SkipEmptyParts);
            // So does the save dialog's folder list with a long path (the list holds it whole).
            found.removeIf([](const QString& fault) {
                return fault.contains(QLatin1String(": shortened: "))
                       && (fault.contains(QLatin1String("/hf::MiddleElidedLabel"))
                           || fault.contains(QLatin1String("/QComboBox(lookInCombo)")));
            });
            faults << found;
        };
        audited(window, QStringLiteral("main-video"));
        // Its columns scroll up and down only: none is narrower than what it holds.
        for (auto* area : window->findChildren<QScrollArea*>())
            if (area->isVisible() && area->widget() && area->widget()->width() > area->viewport()->width())
                faults << area->parent()->objectName() + QStringLiteral(": its column is narrower than its content");

        auto* saving = dynamic_cast<FileExportSaveDialog*>(window->exporter().saveDialog());
        QVERIFY(saving);
        saving->confirmReplacing(served.home.path(),
                                 {QStringLiteral("Holiday at the lake clean.mp4"), QStringLiteral("Holiday at the lake clean.m4a"),
                                  QStringLiteral("Holiday at the lake clean - Dialogue.flac")},
                                 [](bool) {});
        QVERIFY(saving->replaceQuestion());
        audited(window, QStringLiteral("main-replace-files"));
        saving->dismiss();

        auto* row = window->findChild<QueueRow*>();
        QVERIFY(row);
        QPointer<QMenu> menu = row->contextMenu();
        menu->popup(window->mapToGlobal(QPoint(40, 40)));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        audited(menu, QStringLiteral("queue-row-menu"));
        delete menu;

        saving->open(ExportSaveDialog::Request{served.home.path(), QStringLiteral("Holiday at the lake clean.mp4"),
                                               QStringLiteral("mp4"), false, false},
                     [](std::optional<ExportSaveDialog::Choice>) {});
        QVERIFY(saving->dialog() && QTest::qWaitForWindowExposed(saving->dialog()));
        onScreen(saving->dialog(), QStringLiteral("save dialog"));
        audited(saving->dialog(), QStringLiteral("save-dialog"));
        saving->dismiss();

        for (const QString& id : {QStringLiteral("settings"), QStringLiteral("help"), QStringLiteral("feedback")}) {
            QWidget* other = served.app->openWindow(id);
            QVERIFY(other && QTest::qWaitForWindowExposed(other));
            onScreen(other, id);
            audited(other, id);
            other->close();
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

    // The main window at its least size on a 1024x768 screen while its video is worked on: the
    // preview being made, a full clean running over the preview, an export that failed. The
    // inspector's controls and what is shown with them read whole.
    void inspectorWhileWorking_data()
    {
        QTest::addColumn<QString>("work");
        for (const char* work : {"preview", "full-clean", "export-error"})
            QTest::newRow(work) << QString::fromLatin1(work);
    }
    void inspectorWhileWorking()
    {
        QFETCH(QString, work);
        QScreen* screen = nullptr;
        for (QScreen* candidate : QGuiApplication::screens())
            screen = candidate->name() == QLatin1String("1024x768") ? candidate : screen;
        if (!screen)
            QSKIP("needs the small screens of tests/app/screens.json (QT_QPA_PLATFORM=offscreen:configfile=...)");
        OfflineApp offline;
        QVERIFY(offline.open(work == QLatin1String("full-clean") ? ui::Appearance::dark : ui::Appearance::light));
        ContentView* window = offline.window;
        window->setScreen(screen);
        window->move(screen->availableGeometry().topLeft());

        EngineCoordinator& coordinator = offline.services->coordinator();
        const QUrl video = QUrl::fromLocalFile(offline.home.filePath(QStringLiteral("Holiday at the lake.mp4")));
        coordinator.setSource(SourceVideo{video, video.fileName(), 7260});
        if (work != QLatin1String("preview"))
            coordinator.setCurrentResult(SeparationResult{.duration = 30});
        if (work == QLatin1String("export-error")) {
            window->exporter().setState(
                Exporter::State::failed(MediaError::sourceChanged(video.fileName()).localizedDescription(), true));
        } else {
            coordinator.setProcessing(true);
            coordinator.setProcessingKind(work == QLatin1String("preview") ? JobKind::preview : JobKind::full);
            coordinator.setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.61, "Separating (47%)"});
        }
        window->resize(window->minimumSize());
        QStringList faults{inspect(window, QStringLiteral("main-working-") + work)};
        // Each of the inspector's controls fits its view, so that scrolling shows all of it.
        auto* inspector = window->findChild<QScrollArea*>(QStringLiteral("inspector"));
        for (auto* control : inspector->widget()->findChildren<QWidget*>())
            if (control->isVisibleTo(inspector) && (control->focusPolicy() & Qt::TabFocus)
                && control->height() > inspector->viewport()->height())
                faults << control->objectName() + QStringLiteral(": taller than the inspector's view");
        faults.removeAll(QString());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

    // The settings window, signed out and signed in; the help browser, a topic and the feedback
    // sheet at the help window's least size; the feedback window.
    void otherWindows_data() { appearances_data(); }
    void otherWindows()
    {
        QFETCH(ui::Appearance, appearance);
        test::LocalServer server;
        QTemporaryDir home;
        auto services = test::makeServices(home, server.baseUrl());
        HushframeApp app(*services);
        environment().setAppearance(appearance);
        QStringList faults;

        auto* settings = qobject_cast<SettingsView*>(app.openWindow(QStringLiteral("settings")));
        QVERIFY(settings && QTest::qWaitForWindowExposed(settings));
        faults << inspect(settings, QStringLiteral("settings-signed-out"));
        test::runTask(services->launch());
        const QString idToken = server.identityToken(QStringLiteral("reader.with.a.long.name@example.com"));
        APIClient* client = &services->api();
        test::runTask(services->account().signIn(AuthProvider::google,
                                                 [client, idToken] { return googleSocialSignIn(client, idToken); }));
        QVERIFY(services->account().isSignedIn());
        faults << inspect(settings, QStringLiteral("settings-signed-in"));
        // Each part of the form, scrolled into view.
        QScrollBar* bar = settings->verticalScrollBar();
        for (int step = 1; bar->value() < bar->maximum(); ++step) {
            bar->setValue(bar->value() + settings->viewport()->height() * 3 / 4);
            faults << inspect(settings, QStringLiteral("settings-signed-in-%1").arg(step));
        }

        // The help window as the application makes it, with the feedback form offered.
        HelpEnvironment helpEnvironment;
        helpEnvironment.feedback = feedbackConfig();
        HelpView help(std::nullopt, helpEnvironment);
        help.setMinimumSize(520, 480);
        help.resize(help.minimumSize());
        help.show();
        QVERIFY(QTest::qWaitForWindowExposed(&help));
        faults << inspect(&help, QStringLiteral("help-browser-least"));
        QAbstractButton* row = nullptr;
        for (auto* button : help.findChildren<QAbstractButton*>())
            if (!row && button->objectName().startsWith(QLatin1String("help.row.")))
                row = button;
        QVERIFY(row);
        row->click();
        QVERIFY(QTest::qWaitFor([&] { return help.topicPage() != nullptr; }, 2000));
        faults << inspect(&help, QStringLiteral("help-topic-least"));
        help.goBack();
        help.setShowingFeedback(true);
        QVERIFY(help.isShowingFeedback());
        faults << inspect(&help, QStringLiteral("help-feedback-least"));

        // Help that did not load, and the feedback window without the kit's token: the notices.
        HelpEnvironment broken;
        broken.corpusPath = QStringLiteral("/nonexistent/help.json");
        HelpView unavailable(std::nullopt, broken);
        unavailable.setMinimumSize(520, 480);
        unavailable.resize(unavailable.minimumSize());
        unavailable.show();
        QVERIFY(QTest::qWaitForWindowExposed(&unavailable));
        faults << inspect(&unavailable, QStringLiteral("help-unavailable-least"));
        FeedbackWindowContent notice(std::nullopt, [] {});
        notice.resize(notice.sizeHint());
        notice.show();
        QVERIFY(QTest::qWaitForWindowExposed(&notice));
        faults << inspect(&notice, QStringLiteral("feedback-unavailable"));

        FeedbackWindowContent feedback(feedbackConfig(), [] {});
        feedback.resize(feedback.sizeHint());
        feedback.show();
        QVERIFY(QTest::qWaitForWindowExposed(&feedback));
        faults << inspect(&feedback, QStringLiteral("feedback-window"));

        faults.removeAll(QString());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }
};

QTEST_MAIN(TestLargestText)
#include "test_largest_text.moc"
