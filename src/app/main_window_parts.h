#pragma once

// The pieces the main window shows, each made by one function: the empty import screen, the
// editor, the inspector and the sign-in sheet's content.

#include <QString>

#include <functional>
#include <optional>

class QAction;
class QMenuBar;
class QWidget;

namespace hf {

class AppServices;
class Exporter;
class LaneZoom;

// The window's actions the editor's menus call.
struct WindowActions {
    std::function<void()> openSettings;
    std::function<void()> openHelp;
};

// The empty import screen; `setDropCount` tells it how many items are dragged over the window.
QWidget* makeEmptyState(AppServices& services);
void setEmptyStateDropCount(QWidget* emptyState, std::optional<int> dropCount);
// `zoom` is the window's zoom of the soundtrack band, kept across editors.
QWidget* makeEditor(AppServices& services, const WindowActions& actions, LaneZoom& zoom);
QWidget* makeInspector(AppServices& services, Exporter& exporter);
// The window's subtitle while a video is open.
QString windowSubtitle(AppServices& services);
// The sign-in sheet's content; `close` closes the sheet.
QWidget* makeSignInSheetContent(AppServices& services, std::function<void()> close);

// The desktop's menu habits on the main window's bar, once its menus are all there: each menu
// title gets an Alt+letter mnemonic (its first letter not taken by an earlier menu) and every
// item of every menu its own letter when the menu opens (see ui::giveMenusMnemonics), F10 opens
// the first menu, and the File menu ends with "Quit" (Ctrl+Q, from any of the application's
// windows) calling `quit`. Returns the Quit item.
QAction* installMenuBarKeys(QMenuBar* bar, QWidget* window, std::function<void()> quit);

} // namespace hf
