#include "app/hushframe_app.h"

#include "app/app_services.h"
#include "app/content_view.h"
#include "app/feedback_setup.h"
#include "app/feedback_window.h"
#include "app/help_commands.h"
#include "app/hushframe_commands.h"
#include "app/help_view.h"
#include "app/main_window_parts.h"
#include "app/settings_view.h"
#include "backend/bundle_configuration.h"
#include "backend/google_sign_in_service.h"
#include "backend/web_sign_in.h"
#include "coordinator/batch_queue_manager.h"
#include "platform/async.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/environment.h"
#include "ui_kit/menu_mnemonics.h"
#include "ui_kit/screen_fit.h"
#include "ui_kit/scroll_column.h"

#include <QApplication>
#include <QPointer>
#include <QVBoxLayout>

namespace hf {

namespace {

// The feedback form's configuration while the kit has a token.
std::optional<TelluConfig> feedbackFormConfig()
{
    if (const auto token = feedbackKitToken())
        return feedbackKitConfig(*token, bundleInfo());
    return std::nullopt;
}

} // namespace

HushframeApp::HushframeApp(AppServices& services, FilePicker* picker, QObject* parent)
    : QObject(parent), m_services(services), m_picker(picker),
      m_quitGuard(services.batch(), [this] { return openWindow(QStringLiteral("main")); })
{
    // Before any window: what assistive technologies are given of every widget is the kit's.
    ui::installKitAccessibility();
    // Every way of quitting passes the guard: the last window's close and the application's quit
    // request (SIGTERM's too) through its filter, the end of the desktop session through its
    // signal.
    QCoreApplication::instance()->installEventFilter(&m_quitGuard);
#ifndef QT_NO_SESSIONMANAGER
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(gui, &QGuiApplication::commitDataRequest, &m_quitGuard, &QuitGuard::sessionEnding);
#endif
    // While cleaned queued videos are not exported, the end of the process would lose them: no
    // signal ends it, and the desktop is told that logging out would lose work.
    BatchQueueManager& batch = services.batch();
    const auto followWorkAtStake = [this, &batch] {
        const bool atStake = batch.unexportedCompletedJobs() > 0;
        TerminationSignal::setHolding(atStake);
        m_logout.hold(atStake, text("ui.quit.logoutReason", "Cleaned videos in the queue haven't been exported"));
    };
    connect(&batch, &BatchQueueManager::jobsChanged, this, followWorkAtStake);
    connect(&batch, &BatchQueueManager::exportedChanged, this, followWorkAtStake);
    followWorkAtStake();

    // Every menu's items get their underlined letters.
    ui::giveMenusMnemonics();
    // A control reached with Tab is scrolled into view wherever it is, and Tab goes from control
    // to control in the order the screen shows them.
    ui::keepFocusInView();
    ui::keepTabOrderAsShown();
    m_windows.setFactory(QStringLiteral("main"), [this] { return makeMainWindow(); });
    m_windows.setFactory(QStringLiteral("settings"), [this] { return makeSettingsWindow(); });
    m_windows.setFactory(QStringLiteral("help"), [this] { return makeHelpWindow(); });
    m_windows.setFactory(QStringLiteral("feedback"), [this] { return makeFeedbackWindow(); });
}

HushframeApp::~HushframeApp() = default;

QWidget* HushframeApp::openWindow(const QString& id)
{
    return m_windows.open(id);
}

void HushframeApp::requestQuit()
{
    // Held by the guard while it asks; "Quit Anyway" quits from there.
    if (m_quitGuard.requestQuit())
        QCoreApplication::quit();
}

void HushframeApp::handleOpenURL(const QUrl& url)
{
    // The web sign-in waits for its link back; any other link is Google's business, and only
    // when Google sign-in is configured (its loopback client takes its own redirects, so there
    // is nothing to hand over on this desktop).
    if (BrowserSheetAuthenticator::deliverCallback(url))
        return;
    if (!GoogleSignInService::isConfigured())
        return;
}

QWidget* HushframeApp::makeMainWindow()
{
    auto* window = new ContentView(m_services, m_picker);
    // The main window is always drawn dark; the other windows follow the desktop.
    ui::setWindowAppearance(window, ui::Appearance::dark);
    window->setWindowActions(WindowActions{[this] { openWindow(QStringLiteral("settings")); },
                                           [this] { openWindow(QStringLiteral("help")); }});
    ui::fitToWorkArea(window, {1440, 900});
    // The Help menu, the update command and Settings join the window's menu bar.
    QMenuBar* bar = HushframeCommands::menuBarOf(window);
    HelpMenuActions help{[this] { openWindow(QStringLiteral("help")); }, {}};
    if (feedbackKitToken())
        help.openFeedback = [this] { openWindow(QStringLiteral("feedback")); };
    installHelpMenu(bar, help, &m_services.updater());
    installSettingsCommand(bar, [this] { openWindow(QStringLiteral("settings")); });
    // Quit asks the guard first; then every window closes, the last one ending the application.
    installMenuBarKeys(bar, window, [this] {
        if (m_quitGuard.requestQuit())
            QApplication::closeAllWindows();
    });
    // Every showing of the main window starts the launch sequence once the window is on screen
    // (its keychain read and network requests wait for the first frame); it runs once per process.
    connect(window, &ContentView::firstPainted, this,
            [this] { spawn(m_services.launch(), lcApp(), QStringLiteral("Launch")); });
    return window;
}

QWidget* HushframeApp::makeSettingsWindow()
{
    SettingsEnvironment environment;
    environment.account = &m_services.account();
    environment.coordinator = &m_services.coordinator();
    environment.updater = &m_services.updater();
    environment.signIn = WebSignInService{&m_services.api()};
    environment.openHelp = [this] { openWindow(QStringLiteral("help")); };
    auto* window = new SettingsView(std::move(environment));
    window->setWindowTitle(text("ui.settings.window.title", "Settings"));
    window->setFixedSize(480, 760);
    ui::fitToWorkArea(window, window->size());
    closeWithKeys(window);
    return window;
}

QWidget* HushframeApp::makeHelpWindow()
{
    HelpEnvironment environment;
    environment.feedback = feedbackFormConfig();
    auto* window = new HelpView(std::nullopt, std::move(environment));
    window->setWindowTitle(text("ui.help.window.title", "Hushframe Help Topics"));
    window->setMinimumSize(520, 480);
    ui::fitToWorkArea(window, {640, 640});
    closeWithKeys(window);
    return window;
}

QWidget* HushframeApp::makeFeedbackWindow()
{
    auto* window = new FeedbackWindowContent(feedbackFormConfig(), [this] {
        if (QWidget* feedback = m_windows.window(QStringLiteral("feedback")))
            feedback->close();
    });
    window->setWindowTitle(text("ui.feedback.window.title", "Send Feedback"));
    // The window opens at its content's size (in the fonts it shows), where the screen has room.
    window->ensurePolished();
    window->setMinimumSize(window->minimumSizeHint().expandedTo(window->minimumSize()));
    ui::fitToWorkArea(window, window->sizeHint());
    closeWithKeys(window);
    return window;
}

} // namespace hf
