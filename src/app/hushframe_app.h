#pragma once

// The application: its four windows by identifier ("main", "settings", "help", "feedback"),
// each made by one factory function and opened or raised through one registry; the launch
// sequence started when the main window is first shown; and the links that later starts of the
// program hand over. Made by main() after the QApplication and the service container.

#include "app/logout_inhibitor.h"
#include "app/quit_guard.h"
#include "app/termination_signal.h"
#include "app/window_registry.h"

#include <QObject>
#include <QString>
#include <QUrl>

namespace hf {

class AppServices;
class FilePicker;

class HushframeApp : public QObject {
    Q_OBJECT

public:
    // `picker` is the main window's file chooser (not owned; the desktop's when null).
    explicit HushframeApp(AppServices& services, FilePicker* picker = nullptr, QObject* parent = nullptr);
    ~HushframeApp() override;

    AppServices& services() const { return m_services; }
    WindowRegistry& windows() { return m_windows; }

    // Opens or raises the window with this identifier.
    QWidget* openWindow(const QString& id);

    // A link opened in the application: the web sign-in's way back, or Google's.
    void handleOpenURL(const QUrl& url);

    // Quits the application unless finished work would be lost, in which case the main window
    // asks first (see QuitGuard). Every quit command calls this.
    void requestQuit();
    QuitGuard& quitGuard() { return m_quitGuard; }
    // Holds the desktop's logout while cleaned queued videos are not exported.
    LogoutInhibitor& logoutInhibitor() { return m_logout; }

    // The window factories, one per identifier.
    QWidget* makeMainWindow();
    QWidget* makeSettingsWindow();
    QWidget* makeHelpWindow();
    QWidget* makeFeedbackWindow();

private:
    AppServices& m_services;
    FilePicker* m_picker;
    WindowRegistry m_windows;
    // Made after the windows' registry and gone before it.
    QuitGuard m_quitGuard;
    // SIGTERM and SIGHUP, as at logout or shutdown, and SIGINT ask the guard like any quit.
    TerminationSignal m_termination;
    LogoutInhibitor m_logout;
};

} // namespace hf
