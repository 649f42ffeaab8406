#pragma once

// The Help menu's items, the update command and the settings command, installed on a window's
// menu bar:
//
//     installHelpMenu(menuBar, HelpMenuActions{openHelp, openFeedbackOrNull}, &services.updater());
//
// "Browse Help Topics" opens the help window; "Send Feedback..." the feedback window, and only
// when a feedback action is given (the kit has a token); "Check for Updates..." asks the updater
// for a check and is enabled only while the updater can check. None has a keyboard shortcut. The
// items go into the bar's Help menu (object name "menu.help"), which is made, last on the bar,
// when the bar has none yet.
//
//     installSettingsCommand(menuBar, openSettings);

#include <functional>

class QAction;
class QMenu;
class QMenuBar;

namespace hf {

class AppUpdater;

struct HelpMenuActions {
    std::function<void()> openHelp;
    // Absent when feedback is not offered.
    std::function<void()> openFeedback;
};

// The bar's Help menu, made when missing.
QMenu* helpMenu(QMenuBar* bar);

// Adds "Browse Help Topics" and, with a feedback action, "Send Feedback..." to `menu`.
void installHelpCommands(QMenu* menu, const HelpMenuActions& actions);

// Adds "Check for Updates..." to `menu`, kept enabled exactly while the updater can check.
QAction* installCheckForUpdatesCommand(QMenu* menu, AppUpdater* updater);

// Both on the bar's Help menu, the update command after a separator.
QMenu* installHelpMenu(QMenuBar* bar, const HelpMenuActions& actions, AppUpdater* updater);

// "Settings..." (with the desktop's preferences shortcut) at the end of the bar's File menu
// (object name "menu.file"), or of its Help menu when it has no File menu.
QAction* installSettingsCommand(QMenuBar* bar, std::function<void()> openSettings);

} // namespace hf
