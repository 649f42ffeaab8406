// The application as main() builds it: the container and its launch, the window registry, and the
// main window's states (empty, dragged over, the alert, the sign-in sheet, requests made before
// it existed, the file chooser by target).

#include "app/content_view.h"
#include "app/file_picker.h"
#include "app/hushframe_app.h"
#include "app/shell_controls.h"
#include "backend/account_store.h"
#include "backend/api_client.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "coordinator/review_prompter.h"
#include "editor/exporter.h"
#include "helpers_app.h"
#include "helpers_audition.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "ui_kit/screen_fit.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QFileDialog>
#include <QLineEdit>
#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>
#include <QScrollBar>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <QTest>

using namespace hf;

namespace {

ContentView* mainWindow(HushframeApp& app)
{
    return qobject_cast<ContentView*>(app.windows().window(QStringLiteral("main")));
}

// Opens the main window and waits until it is on screen; null when it never shows.
ContentView* showMainWindow(HushframeApp& app)
{
    auto* window = qobject_cast<ContentView*>(app.openWindow(QStringLiteral("main")));
    return window && QTest::qWaitForWindowExposed(window) ? window : nullptr;
}

template<class T = QWidget>
T* child(QWidget* window, const char* name)
{
    return window->findChild<T*>(QString::fromLatin1(name));
}

bool shown(QWidget* window, const char* name)
{
    QWidget* widget = child(window, name);
    return widget && widget->isVisibleTo(window);
}

} // namespace

class TestAppWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void launchRunsOncePerProcess()
    {
        test::LocalServer server;
        QTemporaryDir home;
        auto services = test::makeServices(home, server.baseUrl());
        QVERIFY(services->api().silentReauthenticator && services->api().onSessionInvalidated);
        QCOMPARE(AppServices::instance(), services.get());
        const QVariant installed(QStringLiteral("2020-01-01T00:00:00Z"));
        services->defaults().setValue(ReviewPrompter::installDateKey, installed);

        int sessionRequests = 0;
        connect(&services->backendSession(), &QNetworkAccessManager::finished, this, [&](QNetworkReply* reply) {
            if (reply->url().path().startsWith(QStringLiteral("/api/auth/")))
                ++sessionRequests;
        });

        HushframeApp app(*services);
        QWidget* first = app.openWindow(QStringLiteral("main"));
        QVERIFY(first);
        // The launch waits for the window's first frame.
        QVERIFY(!services->didLaunch());
        QVERIFY(QTest::qWaitFor([&] { return services->didLaunch(); }, 5000));
        QCOMPARE(app.openWindow(QStringLiteral("main")), first);   // raised, not made again
        QVERIFY(QTest::qWaitFor([&] { return services->account().hasSession(); }, 20000));
        QVERIFY(services->didLaunch());
        const int afterLaunch = sessionRequests;
        QVERIFY(afterLaunch >= 1);
        const auto token = services->tokenStore().token();

        first->close();
        QTRY_VERIFY(!app.windows().window(QStringLiteral("main")));
        QWidget* second = app.openWindow(QStringLiteral("main"));
        QVERIFY(second && second->isVisible());
        QTest::qWait(300);
        QCOMPARE(sessionRequests, afterLaunch);
        QCOMPARE(services->tokenStore().token(), token);
        QCOMPARE(services->defaults().value(ReviewPrompter::installDateKey), installed);

        // Stored nothing: the coordinator and the queue start from the default settings.
        QCOMPARE(services->coordinator().settings(), SeparationSettings{});
        QCOMPARE(services->settingsProvider()(), SeparationSettings{});
    }

    void otherWindowsOpenOnceByIdentifier()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        for (const char* id : {"settings", "help", "feedback"}) {
            QWidget* window = app.openWindow(QString::fromLatin1(id));
            QVERIFY2(window && window->isVisible(), id);
            QCOMPARE(app.openWindow(QString::fromLatin1(id)), window);
        }
        QVERIFY(!app.openWindow(QStringLiteral("nonexistent")));
        QVERIFY(!services->didLaunch());   // only the main window launches
    }

    void emptyWindowAndDragOver()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        ContentView* window = showMainWindow(app);
        QVERIFY(window);
        // Small enough for a 1024 x 768 screen with a panel, and never more than the screen's room.
        QVERIFY2(window->minimumSize() == QSize(1000, 680).boundedTo(ui::workAreaRoom(window)),
                 qPrintable(QStringLiteral("%1x%2").arg(window->minimumWidth()).arg(window->minimumHeight())));
        QCOMPARE(window->title(), QString("Hushframe"));
        QCOMPARE(window->windowTitle(), QString("Hushframe"));
        QVERIFY(window->subtitle().isEmpty());
        QCOMPARE(window->detail()->objectName(), QString("emptyState"));
        QVERIFY(window->showInspector() && !window->isInspectorShown());
        QVERIFY(shown(window, "chrome.openVideo"));
        for (const char* absent : {"toolbar.listen", "chrome.inspector", "result.export", "result.cleanFull"})
            QVERIFY2(!shown(window, absent), absent);
        test::saveScreenshot(window->grab().toImage(), "app", "empty");

        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(home.filePath("a.mp4")), QUrl::fromLocalFile(home.filePath("b.mp4"))});
        QDragEnterEvent enter(QPoint(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(window->dropCount(), std::optional<int>(2));
        auto* edge = child<DropEdge>(window, "import.dropEdge");
        QVERIFY(edge->isVisible());
        QVERIFY(!edge->showsLabel());   // with no video open the empty screen says it
        QCOMPARE(edge->labelText(), QString("Release to add 2 videos"));
        test::saveScreenshot(window->grab().toImage(), "app", "drag-over-empty");

        QDragLeaveEvent leave;
        QApplication::sendEvent(window, &leave);
        QVERIFY(!window->dropCount());
        QVERIFY(!edge->isVisible());

        QMimeData words;
        words.setText("hello");
        QDragEnterEvent refused(QPoint(400, 400), Qt::CopyAction, &words, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &refused);
        QVERIFY(!refused.isAccepted());
        QVERIFY(!window->dropCount());
    }

    // A main window closed while the export's question about files already there shows on it.
    void closedUnderTheReplaceQuestion()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        auto app = std::make_unique<HushframeApp>(*services);
        ContentView* window = showMainWindow(*app);
        QVERIFY(window);
        window->exporter().saveDialog()->confirmReplacing(home.path(), {"a.mp4"}, [](bool) {});
        app.reset();
    }

    void droppedTextFileRaisesTheAlert()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        ContentView* window = showMainWindow(app);
        QVERIFY(window);
        QFile notes(home.filePath("notes.txt"));
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.close();

        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(notes.fileName())});
        QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &enter);
        QDropEvent drop(QPointF(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &drop);
        QVERIFY(QTest::qWaitFor([&] { return window->isAlertShown(); }));
        QCOMPARE(child<QLabel>(window, "alert.message")->text(), QString("That file isn't a video Hushframe can open."));
        test::saveScreenshot(window->grab().toImage(), "app", "alert");
        // A screen reader hears an alert named "Hushframe" that says the message.
        QAccessibleInterface* alert = QAccessible::queryAccessibleInterface(child(window, "alert.host"));
        QCOMPARE(alert->role(), QAccessible::AlertMessage);
        QCOMPARE(alert->text(QAccessible::Name), QStringLiteral("Hushframe"));
        QCOMPARE(alert->text(QAccessible::Description), QString("That file isn't a video Hushframe can open."));

        QTest::mouseClick(child<QAbstractButton>(window, "alert.ok"), Qt::LeftButton, {}, QPoint(10, 16));
        QVERIFY(!services->coordinator().errorMessage());
        QVERIFY(!window->isAlertShown());

        // Escape dismisses it too, and a new message raises it again.
        services->coordinator().setErrorMessage(QStringLiteral("Second"));
        QVERIFY(window->isAlertShown());
        QTest::keyClick(child(window, "alert.host"), Qt::Key_Escape);
        QVERIFY(!services->coordinator().errorMessage());
    }

    // Escape over a running clean goes to the card on top first, one card at a time; only with
    // no card left does it cancel the clean.
    void escapeAnswersTheTopmostCardBeforeTheClean()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        ContentView* window = showMainWindow(app);
        QVERIFY(window);
        EngineCoordinator& coordinator = services->coordinator();
        coordinator.setSource(SourceVideo{QUrl::fromLocalFile(home.filePath("clip.mp4")), "clip.mp4", 95});
        coordinator.setProcessingKind(JobKind::full);
        coordinator.setProcessing(true);
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        auto escape = [&] {
            QWidget* target = QApplication::focusWidget();
            QTest::keyClick(target && target->window() == window ? target : window, Qt::Key_Escape);
        };

        services->account().setSignInPresented(true);
        coordinator.setErrorMessage(QStringLiteral("Something to read"));
        QVERIFY(window->isSignInSheetShown() && window->isAlertShown());
        escape();
        QVERIFY(!window->isAlertShown());
        QVERIFY(window->isSignInSheetShown());
        QVERIFY(coordinator.isProcessing());
        escape();
        QVERIFY(!window->isSignInSheetShown());
        QVERIFY(coordinator.isProcessing());

        coordinator.setPendingReplacement(EngineCoordinator::PendingReplacement{"clip.mp4", [] {}, true});
        escape();
        QVERIFY(!coordinator.hasPendingReplacement());
        QVERIFY(coordinator.isProcessing());

        escape();
        QVERIFY(!coordinator.isProcessing());
    }

    void signInSheetNeverWaitsUnseen()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        ContentView* window = showMainWindow(app);
        QVERIFY(window);
        AccountStore& account = services->account();

        std::optional<bool> outcome;
        auto wait = [](AccountStore* account, std::optional<bool>* outcome) -> QCoro::Task<void> {
            *outcome = co_await account->requireSignIn();
        };
        auto waiting = wait(&account, &outcome);
        QVERIFY(account.isSignInPresented());
        QVERIFY(window->isSignInSheetShown());
        // The sheet sits whole on its card, in the middle of the window: none of it spills over.
        auto* sheet = child<QWidget>(window, "signIn.sheet");
        const QRect onWindow(sheet->mapTo(window, QPoint(0, 0)), sheet->size());
        QVERIFY(qAbs(onWindow.center().x() - window->rect().center().x()) <= 1);
        test::saveScreenshot(window->grab().toImage(), "app", "sign-in-sheet");
        // It fits the window: no scroll bar beside it (drawing lays the sheet out).
        for (const QScrollBar* bar : window->findChild<QWidget*>("signIn.host")->findChildren<QScrollBar*>())
            QVERIFY2(!bar->isVisible(), "a scroll bar beside a sheet that fits");

        QTest::mouseClick(child<QAbstractButton>(window, "signIn.notNow"), Qt::LeftButton, {}, QPoint(20, 16));
        QVERIFY(QTest::qWaitFor([&] { return outcome.has_value(); }, 5000));
        QCOMPARE(*outcome, false);   // no session was stored
        QVERIFY(!account.isSignInPresented());
        QVERIFY(!window->isSignInSheetShown());

        // Asked for while the main window is closed: the sheet is there when the window opens.
        window->close();
        QTRY_VERIFY(!mainWindow(app));
        account.presentSignIn(SignInReason::sync);
        app.openWindow("main");
        QVERIFY(mainWindow(app)->isSignInSheetShown());
    }

    void requestsMadeBeforeTheWindowAreServed()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        services->coordinator().setShowExportSheet(true);
        test::ScriptedFilePicker picker;
        services->coordinator().setImportTarget(ImportTarget::queue);
        services->coordinator().setFileImporterPresented(true);

        HushframeApp app(*services, &picker);
        app.openWindow("main");
        ContentView* window = mainWindow(app);
        // Without a full clean to export, the exporter tells so in its state.
        QVERIFY(QTest::qWaitFor([&] { return window->exporter().state().kind != Exporter::State::Kind::idle; }, 2000));
        QVERIFY(!services->coordinator().showExportSheet());
        QCOMPARE(picker.requests, 1);
        QVERIFY(picker.lastMultiple);

        // A request while the window is there is served at once; the flag is back down.
        window->exporter().cancel();
        services->coordinator().setShowExportSheet(true);
        QVERIFY(!services->coordinator().showExportSheet());
        QVERIFY(QTest::qWaitFor([&] { return window->exporter().state().kind != Exporter::State::Kind::idle; }, 2000));
    }

    void fileChooserFollowsTheTarget()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        test::ScriptedFilePicker picker;
        HushframeApp app(*services, &picker);
        app.openWindow("main");
        ContentView* window = mainWindow(app);
        EngineCoordinator& coordinator = services->coordinator();

        // Open Video... asks for one file for the editor.
        QTest::mouseClick(child<QAbstractButton>(window, "chrome.openVideo"), Qt::LeftButton, {}, QPoint(20, 16));
        QCOMPARE(picker.requests, 1);
        QVERIFY(!picker.lastMultiple);
        QVERIFY(coordinator.isFileImporterPresented());
        QVERIFY(picker.answer(std::nullopt));
        QVERIFY(!coordinator.isFileImporterPresented());

        // For the queue: several files, queued, the sidebar brought back.
        window->setSidebarShown(false);
        coordinator.setImportTarget(ImportTarget::queue);
        coordinator.setFileImporterPresented(true);
        QVERIFY(picker.lastMultiple);
        const QList<QUrl> files{QUrl::fromLocalFile(home.filePath("a.mp4")), QUrl::fromLocalFile(home.filePath("b.mov"))};
        QVERIFY(picker.answer(files));
        QCOMPARE(services->batch().jobs().size(), size_t(2));
        QVERIFY(window->isSidebarShown());
        QCOMPARE(coordinator.importTarget(), ImportTarget::editor);
    }

    // The desktop's chooser, used as a person does: a path typed into its name field and Enter;
    // then Escape on a second chooser.
    void desktopChooserHandsBackTheTypedFile()
    {
        QTemporaryDir home;
        const QString movie = home.filePath(QStringLiteral("Typed.mp4"));
        QFile file(movie);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QWidget parent;
        parent.show();
        DialogFilePicker picker;
        std::vector<PickOutcome> outcomes;
        const auto record = [&](PickOutcome outcome) { outcomes.push_back(std::move(outcome)); };

        picker.pick(&parent, false, record);
        auto* chooser = parent.findChild<QFileDialog*>(QStringLiteral("import.fileChooser"));
        QVERIFY(chooser);
        QVERIFY(QTest::qWaitForWindowExposed(chooser));
        auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setFocus();
        QTest::keyClicks(name, movie);
        QTest::keyClick(name, Qt::Key_Return);
        QTRY_COMPARE(outcomes.size(), size_t(1));
        QVERIFY(outcomes[0].urls);
        QCOMPARE(*outcomes[0].urls, QList<QUrl>{QUrl::fromLocalFile(movie)});

        picker.pick(&parent, false, record);
        chooser = parent.findChild<QFileDialog*>(QStringLiteral("import.fileChooser"));
        QVERIFY(chooser && QTest::qWaitForWindowExposed(chooser));
        QTest::keyClick(chooser, Qt::Key_Escape);
        QTRY_COMPARE(outcomes.size(), size_t(2));
        QVERIFY(!outcomes[1].urls && !outcomes[1].error);
    }
};

QTEST_MAIN(TestAppWindow)
#include "test_app_window.moc"
