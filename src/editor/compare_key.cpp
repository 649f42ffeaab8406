#include "editor/compare_key.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWindow>

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
            if (releaseMayBeRepeat(*event)) {
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

    if (press) {
        if (event->isAutoRepeat())
            return true;
        m_held = true;
        emit changed(true);
        return true;
    }
    emit changed(false);
    return true;
}

void CompareKeyMonitor::endHeld()
{
    m_releasePending.stop();
    if (!m_held)
        return;
    m_held = false;
    emit changed(false);
}

} // namespace hf
