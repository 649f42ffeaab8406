#include "app/hushframe_app.h"

#include "app/app_services.h"
#include "app/content_view.h"
#include "backend/google_sign_in_service.h"
#include "backend/web_sign_in.h"
#include "platform/async.h"
#include "platform/texts.h"
#include "ui_kit/environment.h"

#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

namespace hf {

namespace {

// PLACEHOLDER of a window whose content is not part of the application yet.
QWidget* placeholderWindow(const QString& title, QSize size)
{
    auto* window = new QWidget;
    window->setWindowTitle(title);
    auto* layout = new QVBoxLayout(window);
    auto* label = new QLabel(title);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    window->resize(size);
    return window;
}

} // namespace

HushframeApp::HushframeApp(AppServices& services, FilePicker* picker, QObject* parent)
    : QObject(parent), m_services(services), m_picker(picker)
{
    // The main window is always drawn dark; the kit's appearance is one for the whole
    // application, so every window follows it.
    ui::Environment::instance().setAppearance(ui::Appearance::dark);

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
    window->setWindowActions(WindowActions{[this] { openWindow(QStringLiteral("settings")); },
                                           [this] { openWindow(QStringLiteral("help")); }});
    window->resize(1440, 900);
    // Every showing of the main window starts the launch sequence; it runs once per process.
    spawn(m_services.launch(), lcApp(), QStringLiteral("Launch"));
    return window;
}

QWidget* HushframeApp::makeSettingsWindow()
{
    QWidget* window = placeholderWindow(text("ui.settings.window.title", "Settings"), QSize(480, 760));
    window->setFixedSize(480, 760);
    return window;
}

QWidget* HushframeApp::makeHelpWindow()
{
    QWidget* window = placeholderWindow(text("ui.help.window.title", "Hushframe Help Topics"), QSize(640, 640));
    window->setMinimumSize(520, 480);
    return window;
}

QWidget* HushframeApp::makeFeedbackWindow()
{
    QWidget* window = placeholderWindow(text("ui.feedback.window.title", "Send Feedback"), QSize(420, 360));
    window->layout()->setSizeConstraint(QLayout::SetFixedSize);
    return window;
}

} // namespace hf
