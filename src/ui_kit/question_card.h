#pragma once

// A question over a whole window: a centred card with a title, a message and the answers one
// under another, the window dimmed and out of reach behind it (see CardOverlay). Subclasses add
// their answers and say what Escape does:
//
//     class Question : public hf::ui::QuestionCard {
//         Question(QWidget* window) : QuestionCard(window, tr("Leave?")) { addAnswer(m_stay); }
//         void escapePressed() override { hide(); }
//     };

#include "ui_kit/card_overlay.h"

class QAbstractButton;
class QLabel;
class QVBoxLayout;

namespace hf::ui {

class ScrollColumn;

class QuestionCard : public CardOverlay {
    Q_OBJECT
public:
    QuestionCard(QWidget* window, const QString& title);

    QString title() const;
    QString message() const;
    // The card the question is drawn on.
    QWidget* card() const { return m_card; }

protected:
    // Shows `message` under the title (plain text).
    void setMessage(const QString& message);
    // Adds an answer under the message (and the answers before it), in the tab order.
    void addAnswer(QAbstractButton* button);
    // Covers the window and shows the card on top of it, its layout fresh.
    void present();

    QRect cardRect() const override;
    void layOut() override;

    QLabel* messageLabel() const { return m_message; }

private:
    QWidget* m_card;
    QLabel* m_title;
    QLabel* m_message;
    ScrollColumn* m_scroll;
    QVBoxLayout* m_column;
};

} // namespace hf::ui
