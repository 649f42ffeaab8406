#pragma once

// Driving the application as a user at a real X server does: keys typed through the XTEST
// extension with xdotool, pictures read back from the screen. The tests using it run under
// xvfb-run with QT_QPA_PLATFORM=xcb and skip elsewhere:
//
//     if (const QString why = hf::test::x11::unavailable(); !why.isEmpty())
//         QSKIP(qPrintable(why));
//     QVERIFY(hf::test::x11::typeKeys("ctrl+o"));          // xdotool key names, one chord per call
//     const QImage shot = hf::test::x11::screenPicture(widget->window()->windowHandle());

#include <QImage>
#include <QRect>
#include <QString>

class QWindow;

namespace hf::test::x11 {

// Empty when keys can be typed at an X server (the xcb platform and xdotool); otherwise why not.
QString unavailable();

// Types one chord (such as "Tab", "shift+Tab", "alt+f", "Return") into the focused X window and
// waits until xdotool has sent it; the application sees it once its event loop runs.
bool typeKeys(const QString& chord);

// The window as the X server shows it now (device pixels), or a null image.
QImage screenPicture(const QWindow* window);

// Whether the pictures differ anywhere inside `area` (window coordinates, clipped to both).
bool differsWithin(const QImage& before, const QImage& after, const QRect& area);

} // namespace hf::test::x11
