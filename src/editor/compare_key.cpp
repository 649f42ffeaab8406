#include "editor/compare_key.h"

#include "ui_kit/card_overlay.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWindow>

#include <utility>

#if HF_HAVE_XCB_XKB
// The C header names a field "explicit".
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#endif

namespace hf {

namespace {

// The XKB keycode of the backslash key (evdev KEY_BACKSLASH 43, plus 8), as X11 and Wayland
// report it in the native scan code.
constexpr quint32 backslashKeycode = 51;

bool platformGivesXkbKeycodes()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("xcb") || platform.startsWith(QLatin1String("wayland"));
}

bool asksForDetectableAutoRepeat = true;

// Turns XKB's detectable auto-repeat on or off for the application's own X connection; true when
// the server now repeats held keys as presses alone. False off X11 or where the server refuses.
bool setDetectableAutoRepeat(bool on)
{
#if HF_HAVE_XCB_XKB
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    const uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    const auto cookie = xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, on ? flag : 0, 0, 0, 0);
    if (!on) {
        xcb_discard_reply(connection, cookie.sequence);
        xcb_flush(connection);
        return false;
    }
    xcb_generic_error_t* error = nullptr;
    xcb_xkb_per_client_flags_reply_t* reply = xcb_xkb_per_client_flags_reply(connection, cookie, &error);
    const bool set = reply && (reply->supported & flag) && (reply->value & flag);
    free(reply);
    free(error);
    return set;
#else
    Q_UNUSED(on);
    return false;
#endif
}

} // namespace

CompareKeyMonitor::CompareKeyMonitor(QWidget* view) : QObject(view), m_view(view)
{
    m_releasePending.setSingleShot(true);
    m_releasePending.setInterval(kRepeatPairGraceMs);
    connect(&m_releasePending, &QTimer::timeout, this, &CompareKeyMonitor::endHeld);
    qApp->installEventFilter(this);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state != Qt::ApplicationActive)
            endHeld();
    });
}

CompareKeyMonitor::~CompareKeyMonitor()
{
    qApp->removeEventFilter(this);
    endHeld();
}

void CompareKeyMonitor::setAsksForDetectableAutoRepeat(bool ask)
{
    asksForDetectableAutoRepeat = ask;
}

void CompareKeyMonitor::setEnabled(bool enabled)
{
    m_enabled = enabled;
}

bool CompareKeyMonitor::isCompareKey(const QKeyEvent& event)
{
    if (event.nativeScanCode() != 0 && platformGivesXkbKeycodes())
        return event.nativeScanCode() == backslashKeycode;
    return event.key() == Qt::Key_Backslash;
}

bool CompareKeyMonitor::textHasFocus()
{
    const QWidget* focus = QApplication::focusWidget();
    if (!focus)
        return false;
    return qobject_cast<const QLineEdit*>(focus) || qobject_cast<const QTextEdit*>(focus)
           || qobject_cast<const QPlainTextEdit*>(focus) || qobject_cast<const QAbstractSpinBox*>(focus)
           || focus->testAttribute(Qt::WA_InputMethodEnabled);
}

bool CompareKeyMonitor::isInViewWindow(QObject* receiver) const
{
    if (!m_view)
        return false;
    const QWidget* window = m_view->window();
    if (receiver->isWidgetType())
        return static_cast<QWidget*>(receiver)->window() == window;
    if (receiver->isWindowType())
        return receiver == window->windowHandle();
    return false;
}

bool CompareKeyMonitor::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return handleKey(watched, static_cast<QKeyEvent*>(event));
    case QEvent::WindowDeactivate:
        if (m_held && m_view && watched == m_view->window())
            endHeld();
        break;
    case QEvent::Hide:
        if (m_held && m_view && (watched == m_view || watched == m_view->window()))
            endHeld();
        break;
    default: break;
    }
    return false;
}

bool CompareKeyMonitor::releaseMayBeRepeat(const QKeyEvent& event)
{
    // An X server repeats a held key as a release and a press with one timestamp, and Qt marks
    // the pair as a repeat only when the press is already queued as the release is read.
    return event.nativeScanCode() != 0 && event.timestamp() != 0
           && QGuiApplication::platformName() == QLatin1String("xcb");
}

bool CompareKeyMonitor::handleKey(QObject* receiver, QKeyEvent* event)
{
    if (!isCompareKey(*event) || !isInViewWindow(receiver))
        return false;
    const bool press = event->type() == QEvent::KeyPress;

    if (m_held) {
        if (press) {
            // The press of a repeat pair, or a repeat the server sends without releases.
            if (!m_releasePending.isActive() || event->timestamp() == m_pendingReleaseTime) {
                m_releasePending.stop();
                return true;
            }
            // The release before it was real: that compare ends, this press may start another.
            endHeld();
        } else {
            if (event->isAutoRepeat())
                return true;
            if (!m_serverDetectsRepeats && releaseMayBeRepeat(*event)) {
                // Held until it is clear no press of the same moment follows.
                m_pendingReleaseTime = event->timestamp();
                m_releasePending.start();
                return true;
            }
            endHeld();
            return true;
        }
    } else if (event->isAutoRepeat() && !press) {
        return false;
    }

    if (!m_enabled || !m_view || !m_view->isVisible())
        return false;
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    if (textHasFocus())
        return false;
    if (ui::CardOverlay::topmost(m_view->window()))
        return false;

    if (press) {
        if (event->isAutoRepeat())
            return true;
        startHeld();
        return true;
    }
    emit changed(false);
    return true;
}

void CompareKeyMonitor::startHeld()
{
    m_held = true;
    m_serverDetectsRepeats = asksForDetectableAutoRepeat && setDetectableAutoRepeat(true);
    emit changed(true);
}

void CompareKeyMonitor::endHeld()
{
    m_releasePending.stop();
    if (!m_held)
        return;
    m_held = false;
    if (std::exchange(m_serverDetectsRepeats, false))
        setDetectableAutoRepeat(false);
    emit changed(false);
}

} // namespace hf
