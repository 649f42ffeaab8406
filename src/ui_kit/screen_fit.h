#pragma once

// Windows and their keyboard order as the screen shows them.
//
//     hf::ui::keepTabOrderAsShown();                  // once, for every window of the application
//     hf::ui::fitToWorkArea(window, {1440, 900});      // a window's size, within its screen
//
// Tab follows the order controls are laid out in, whenever they were made: each container's
// children in the order of its layout (a grid's and a form's row by row, a box's along its
// direction, a splitter's panes left to right), each control before what it holds; widgets no
// layout places come after, top to bottom and left to right by their focus areas. A row or a chip made after its neighbours thus keeps its place on
// screen in the order, not the end of the window's.
//
// A window fits the work area of its screen (the screen less its panels, and less the frame
// the desktop draws round the window): it opens at its preferred size where there is room and
// smaller where there is not, and never asks for more than that area as its least size. What
// it holds must then scroll where it needs more (see ScrollColumn).

#include <QList>
#include <QRect>
#include <QSize>

#include <functional>

class QWidget;

namespace hf::ui {

void keepTabOrderAsShown();

// Where `widget` shows the keyboard focus, in its parent's coordinates: the part it answers for
// Qt::ImCursorRectangle when it shows the focus on a part of itself (as a scroll area then brings
// that part into view), else the whole widget.
QRect focusArea(const QWidget* widget);

// Puts the keyboard stops of `window` in the order described above now (Tab does it itself once
// keepTabOrderAsShown() was called). Returns the stops in that order.
QList<QWidget*> orderTabsAsShown(QWidget* window);
// The first stop inside `scope`, in that order, that is shown and enabled and that `accepts`
// (when given); null when there is none.
QWidget* firstStopWithin(QWidget* scope, const std::function<bool(const QWidget*)>& accepts = {});

// The room a window has on the screen it is on (before it is shown, the screen of the window it
// belongs to): the screen's work area less the frame the desktop puts round a window (24 wide
// and 40 high at least, the frame of a window not yet shown being unknown).
QSize workAreaRoom(const QWidget* window);

// Sizes `window` at `preferred` bounded by workAreaRoom(), and bounds the least size it has now
// by that room too; a window of fixed size (setFixedSize) stays fixed, at the bounded size. The
// bounds follow the window to another screen.
void fitToWorkArea(QWidget* window, QSize preferred);

} // namespace hf::ui
