#pragma once

// The compare key: holding the key at the backslash position makes the original soundtrack
// audible until it is released. The monitor watches the application's key events aimed at the
// window of the view it serves; it draws nothing.
//
// The key is found by its position, whatever the layout prints on it: the XKB keycode of the
// backslash key (51, the evdev code 43 plus 8) where the platform gives a native scan code, and
// Qt::Key_Backslash where it gives none (the offscreen platform, synthesized events).
//
// A press is ignored with Control, Alt or Super down and while a text field has the keyboard
// focus, so shortcuts and typing keep working; Shift does not prevent it. It is ignored as well
// while a card covers the view's window: the card has the keyboard until it closes.
//
// Auto-repeats are swallowed. On X11, while the key is held the monitor asks the server for
// XKB's detectable auto-repeat (a flag of this client's connection, set for the hold only, so
// every other key keeps the repeats Qt marks): the server then repeats the held key as presses
// alone, and the release that comes is the real one. Where the server refuses the flag, a release
// followed at once by a press of the key with the same timestamp is taken for a repeat, which is
// how the server repeats a held key even where Qt does not mark the pair (the end of a compare
// then comes a few milliseconds after the release).
//
// A compare the key started always ends: on the key's release whatever the modifiers or the
// focus then, and when the window or the application loses the focus, the view is hidden, or the
// monitor goes, while the key is down.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QKeyEvent;

namespace hf {

class CompareKeyMonitor : public QObject {
    Q_OBJECT

public:
    // Serves `view` (a child of it): the key acts while the view is visible in its window.
    explicit CompareKeyMonitor(QWidget* view);
    ~CompareKeyMonitor() override;

    // Off: presses pass through untouched (a release still ends a compare the key started).
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    // Whether a compare started by the key is going on.
    bool isHeld() const { return m_held; }

    // Whether the event is of the key at the backslash position.
    static bool isCompareKey(const QKeyEvent& event);
    // Whether the focused widget takes typed text.
    static bool textHasFocus();

    // How long a release from the X server waits for the press of its repeat pair.
    static constexpr int kRepeatPairGraceMs = 40;
    // Whether holds ask the X server for detectable auto-repeat (on by default); off, every
    // monitor uses the timing rule, as where the server refuses the flag.
    static void setAsksForDetectableAutoRepeat(bool ask);

signals:
    // True when the key goes down, false when it comes up (or the compare is ended for it).
    void changed(bool comparing);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool handleKey(QObject* receiver, QKeyEvent* event);
    static bool releaseMayBeRepeat(const QKeyEvent& event);
    bool isInViewWindow(QObject* receiver) const;
    void startHeld();
    void endHeld();

    QPointer<QWidget> m_view;
    bool m_enabled = false;
    bool m_held = false;
    QTimer m_releasePending;
    quint64 m_pendingReleaseTime = 0;
    // Whether the X server repeats the held key without releases (see above).
    bool m_serverDetectsRepeats = false;
};

} // namespace hf
