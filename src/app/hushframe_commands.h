#pragma once

// The application's own menus on the main window's menu bar: the video items of the File menu
// (with Open Recent), the Playback menu and the Account menu. Every item calls an operation of the
// coordinator, the recent videos, the audition player or the account state. Titles, enablement
// and the Account menu's item follow that state as it changes, also while the menus are closed, so
// a keyboard shortcut works exactly when its item is enabled.
//
// The shortcuts without a modifier (Space, backslash, Home) never take a key from a text field
// that has the focus, and backslash is left to the editor's compare key while the editor shows.
//
//     HushframeCommands::install(services, mainWindow);   // once, after the window is made

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace hf {

class AccountStore;
class AppServices;
class AudioPlayerService;
class EngineCoordinator;

class HushframeCommands : public QObject {
    Q_OBJECT

public:
    // Builds the menus; they go on a bar with addTo(). None of the services is owned.
    HushframeCommands(EngineCoordinator& coordinator, AudioPlayerService& player, AccountStore& account,
                      QObject* parent = nullptr);
    ~HushframeCommands() override;

    // Puts the menus on `window`'s menu bar (made, and set on the window's layout, when it has
    // none): File, Playback and Account, before any menu already there. The commands live as long
    // as the window.
    static HushframeCommands* install(AppServices& services, QWidget* window);

    // The window's menu bar: its own, or a new one set on the window's layout.
    static QMenuBar* menuBarOf(QWidget* window);

    // Puts the three menus on `bar`, before the menus it already holds.
    void addTo(QMenuBar* bar);

    QMenu* fileMenu() const { return m_file; }
    QMenu* openRecentMenu() const { return m_openRecent; }
    QMenu* playbackMenu() const { return m_playback; }
    QMenu* accountMenu() const { return m_account; }

    // An item by its name: "openVideo", "addToBatch", "cleanFull", "export", "closeVideo",
    // "clearRecents", "playPause", "compare", "trackClean", "trackOriginal", "soloDialogue",
    // "soloMusic", "soloEffects", "goToBeginning", "back5", "forward5", "loop", "signIn".
    QAction* action(const QString& name) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* add(QMenu* menu, const QString& name, const QString& title);
    void updateFile();
    void updatePlayback();
    void updateAccount();
    void rebuildOpenRecent();
    void goToBeginning();

    QPointer<EngineCoordinator> m_coordinator;
    QPointer<AudioPlayerService> m_player;
    QPointer<AccountStore> m_accountStore;

    QMenu* m_file;
    QMenu* m_openRecent;
    QMenu* m_playback;
    QMenu* m_account;
    QHash<QString, QAction*> m_actions;
};

} // namespace hf
