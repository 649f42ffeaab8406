#include "ui_kit/question_card.h"

#include "ui_kit/palette.h"
#include "ui_kit/scroll_column.h"
#include "ui_kit/text_styles.h"

#include <QAbstractButton>
#include <QLabel>
#include <QVBoxLayout>

#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace hf::ui {

namespace {

constexpr int cardWidth = 380;
constexpr int cardPadding = 22;

} // namespace

QuestionCard::QuestionCard(QWidget* window, const QString& title) : CardOverlay(window)
{
    m_card = new QWidget(this);
    auto* frame = new QVBoxLayout(m_card);
    frame->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
    // Taller than the window leaves room for, the question scrolls on its card.
    auto* content = new QWidget;
    m_scroll = new ScrollColumn(content, m_card);
    frame->addWidget(m_scroll);
    m_column = new QVBoxLayout(content);
    m_column->setContentsMargins(0, 0, 0, 0);
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
    // Wider as the text grows, so a larger message still reads in whole words; never wider than
    // the window less a margin, and never narrower than the message's widest word.
    const double scale = textScale(TextStyle::callout, textSizeFor(this));
    const int least = int(std::ceil(leastTextWidth(m_message->font(), m_message->text()))) + 2 * cardPadding;
    const int width = std::min(std::max(int(cardWidth * std::max(1.0, scale)), least), this->width() - 40);
    const int whole = m_scroll->contentHeight(width - 2 * cardPadding) + 2 * cardPadding;
    const int room = this->height() - 40;
    if (whole <= room)
        return QRect((this->width() - width) / 2, std::max(20, (this->height() - whole) / 3), width, whole);
    // Too tall for the window: the card takes the room and its content scrolls beside its bar.
    const int bar = m_scroll->verticalScrollBar()->sizeHint().width();
    const int wider = std::min(width + bar, this->width() - 40);
    return QRect((this->width() - wider) / 2, 20, wider, std::max(room, 0));
}

void QuestionCard::layOut()
{
    CardOverlay::layOut();
    m_card->setGeometry(cardRect());
}

} // namespace hf::ui
