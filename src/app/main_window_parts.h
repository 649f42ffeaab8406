#pragma once

// The pieces the main window shows in its columns, each made by one function: the sidebar, the
// empty import screen, the editor, the inspector, the sign-in sheet's content, and the exporter
// the window owns.
//
// PLACEHOLDERS: until the sidebar and the sign-in sheet are
// part of the application, these functions make minimal stand-ins, so the window works and can
// be tried as a whole. Each stand-in is replaced by swapping the body of its function.

#include <QString>

#include <functional>
#include <optional>

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

QWidget* makeSidebar(AppServices& services);
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

} // namespace hf
