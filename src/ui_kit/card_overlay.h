#pragma once

// A layer over a whole window for one card: the window dimmed behind it and out of reach of the
// mouse, the card drawn on "Surface" with a "Rule" edge and a soft shadow below, the layer kept
// over the window as it resizes. It never runs an event loop of its own. Subclasses say where
// the card is and what Escape does.
//
// While the card shows it has the window's keyboard: Return and Enter press the focused answer,
// or else the default answer (a key held down answers once); Escape calls escapePressed() (which
// presses the cancel answer unless a subclass says otherwise); Tab and Shift+Tab move between the
// controls on the card and never leave it; the window's shortcuts and menus wait until it closes.
// However it closes, the focus goes back to where it was when it opened (or to the window, or to
// a card still showing), and its controls can no longer be reached.
//
// To assistive technologies it is a dialog (or an alert, with setAccessibleRole()) named by its
// accessible name and described by its accessible description.
//
//     class Question : public hf::ui::CardOverlay {
//         QRect cardRect() const override;        // the card, in the overlay's coordinates
//         void layOut() override;                 // CardOverlay::layOut(), then place the content
//         void escapePressed() override;          // e.g. answer "Cancel"
//     };

#include <QAbstractButton>
#include <QAccessible>
#include <QPointer>
#include <QRect>
#include <QWidget>

namespace hf::ui {

class CardOverlay : public QWidget {
    Q_OBJECT
public:
    // Hidden at first; a child of `window`, whose size it follows.
    explicit CardOverlay(QWidget* window);
    ~CardOverlay() override;

    static constexpr double cardRadius = 14;

    // The answers Return/Enter and Escape press; either may be left out (null).
    void setAnswers(QAbstractButton* defaultAnswer, QAbstractButton* cancelAnswer);
    QAbstractButton* defaultAnswer() const { return m_default; }
    QAbstractButton* cancelAnswer() const { return m_cancel; }

    // Dialog unless set otherwise (an alert: QAccessible::AlertMessage).
    void setAccessibleRole(QAccessible::Role role);
    QAccessible::Role accessibleRole() const { return m_role; }

    // The card showing on top of `window`, the one its keys go to; null when none shows.
    static CardOverlay* topmost(const QWidget* window);

protected:
    // The card's rectangle in the overlay; an empty one draws no card.
    virtual QRect cardRect() const = 0;
    // Covers the window again; subclasses then place the card's content.
    virtual void layOut();
    // Presses the cancel answer, when there is one.
    virtual void escapePressed();

    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Puts the keyboard on the card when it is elsewhere.
    void takeFocus();
    // Gives the keyboard back once the card is hidden.
    void returnFocus();

    QPointer<QAbstractButton> m_default;
    QPointer<QAbstractButton> m_cancel;
    QPointer<QWidget> m_returnTo;
    QPointer<QWidget> m_cardFocus;   // the control on the card that last took the keyboard
    QAccessible::Role m_role = QAccessible::Dialog;
    bool m_watching = false;
};

} // namespace hf::ui
