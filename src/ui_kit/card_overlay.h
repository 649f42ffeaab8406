#pragma once

// A layer over a whole window for one card: the window dimmed behind it and out of reach of the
// mouse, the card drawn on "Surface" with a "Rule" edge and a soft shadow below, the layer kept
// over the window as it resizes. It never runs an event loop of its own. Subclasses say where
// the card is and what Escape does.
//
// Keys while the card shows: Return and Enter press the focused answer, or else the default
// answer; Escape calls escapePressed() (which presses the cancel answer unless a subclass says
// otherwise); Tab and Shift+Tab move between the controls on the card and never leave it.
//
//     class Question : public hf::ui::CardOverlay {
//         QRect cardRect() const override;        // the card, in the overlay's coordinates
//         void layOut() override;                 // CardOverlay::layOut(), then place the content
//         void escapePressed() override;          // e.g. answer "Cancel"
//     };

#include <QAbstractButton>
#include <QPointer>
#include <QRect>
#include <QWidget>

namespace hf::ui {

class CardOverlay : public QWidget {
    Q_OBJECT
public:
    // Hidden at first; a child of `window`, whose size it follows.
    explicit CardOverlay(QWidget* window);

    static constexpr double cardRadius = 14;

    // The answers Return/Enter and Escape press; either may be left out (null).
    void setAnswers(QAbstractButton* defaultAnswer, QAbstractButton* cancelAnswer);
    QAbstractButton* defaultAnswer() const { return m_default; }
    QAbstractButton* cancelAnswer() const { return m_cancel; }

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
    void hideEvent(QHideEvent* event) override;

private:
    QPointer<QAbstractButton> m_default;
    QPointer<QAbstractButton> m_cancel;
};

} // namespace hf::ui
