#include "ui_kit/question_card.h"

#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAbstractButton>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

namespace hf::ui {

namespace {

constexpr int cardWidth = 380;
constexpr int cardPadding = 22;

} // namespace

QuestionCard::QuestionCard(QWidget* window, const QString& title) : CardOverlay(window)
{
    m_card = new QWidget(this);
    m_column = new QVBoxLayout(m_card);
    m_column->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
    m_column->setSpacing(8);
    m_title = new QLabel(title);
    m_title->setWordWrap(true);
    m_title->setAlignment(Qt::AlignHCenter);
    applyHeadingStyle(m_title, TextStyle::headline);
    setForeground(m_title, ColorName::Ink);
    m_message = new QLabel;
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setAlignment(Qt::AlignHCenter);
    setTextStyle(m_message, TextStyle::callout);
    setForeground(m_message, ColorName::SecondaryText);
    // Read as a dialog named by its title and described by its message.
    setAccessibleName(title);
    m_column->addWidget(m_title);
    m_column->addWidget(m_message);
    m_column->addSpacing(10);
}

QString QuestionCard::title() const
{
    return m_title->text();
}

QString QuestionCard::message() const
{
    return m_message->text();
}

void QuestionCard::setMessage(const QString& message)
{
    m_message->setText(message);
    setAccessibleDescription(message);
}

void QuestionCard::addAnswer(QAbstractButton* button)
{
    // An answer clicked with the mouse takes the focus as Tab does: it is what the card's keys
    // then act on, and the card gives the focus back when it closes.
    button->setFocusPolicy(Qt::StrongFocus);
    m_column->addWidget(button);
}

void QuestionCard::present()
{
    layOut();
    show();
    raise();
}

QRect QuestionCard::cardRect() const
{
    const int width = std::min(cardWidth, this->width() - 40);
    const int wrapped = m_card->heightForWidth(width);
    const int height = std::min(wrapped > 0 ? wrapped : m_card->sizeHint().height(), this->height() - 40);
    return QRect((this->width() - width) / 2, std::max(20, (this->height() - height) / 3), width, height);
}

void QuestionCard::layOut()
{
    CardOverlay::layOut();
    m_card->setGeometry(cardRect());
}

} // namespace hf::ui
