#include "ui_kit/card_overlay.h"

#include "ui_kit/palette.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPainter>

namespace hf::ui {

CardOverlay::CardOverlay(QWidget* window) : QWidget(window)
{
    setFocusPolicy(Qt::StrongFocus);
    hide();
    window->installEventFilter(this);
}

void CardOverlay::setAnswers(QAbstractButton* defaultAnswer, QAbstractButton* cancelAnswer)
{
    m_default = defaultAnswer;
    m_cancel = cancelAnswer;
}

void CardOverlay::escapePressed()
{
    if (m_cancel && m_cancel->isEnabled())
        m_cancel->click();
}

namespace {

bool isBare(const QKeyEvent& key)
{
    return !(key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

} // namespace

bool CardOverlay::event(QEvent* event)
{
    // Keys the card answers to come to it before any window shortcut.
    if (event->type() == QEvent::ShortcutOverride && isVisible()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape || ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && isBare(*key))) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

bool CardOverlay::focusNextPrevChild(bool next)
{
    // Tab cycles through the card's controls only.
    QWidget* current = QApplication::focusWidget();
    QWidget* candidate = current && isAncestorOf(current) ? current : this;
    for (int guard = 0; guard < 500; ++guard) {
        candidate = next ? candidate->nextInFocusChain() : candidate->previousInFocusChain();
        if (!candidate || candidate == current)
            break;
        if (candidate != this && isAncestorOf(candidate) && candidate->isVisibleTo(this) && candidate->isEnabled()
            && (candidate->focusPolicy() & Qt::TabFocus)) {
            candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return true;
}

void CardOverlay::hideEvent(QHideEvent* event)
{
    // Any key or button still held on the card is let go, so nothing waits for a release that
    // will never come to it.
    for (auto* button : findChildren<QAbstractButton*>())
        if (button->isDown())
            button->setDown(false);
    QWidget::hideEvent(event);
}

void CardOverlay::layOut()
{
    if (parentWidget())
        setGeometry(parentWidget()->rect());
}

bool CardOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        layOut();
    return QWidget::eventFilter(watched, event);
}

void CardOverlay::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(0, 0, 0, 110));
    const QRectF card = cardRect();
    if (card.isEmpty())
        return;
    p.fillPath(roundedRectPath(card.translated(0, 4), cardRadius), QColor(0, 0, 0, 60));
    p.fillPath(roundedRectPath(card, cardRadius), color(ColorName::Surface));
    p.setPen(QPen(color(ColorName::Rule), 1));
    p.drawPath(roundedRectPath(card.adjusted(0.5, 0.5, -0.5, -0.5), cardRadius));
}

void CardOverlay::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        escapePressed();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && isBare(*event)) {
        // A focused answer takes Return itself; here it reached the card, so the default answers.
        if (!event->isAutoRepeat() && m_default && m_default->isEnabled() && m_default->isVisibleTo(this))
            m_default->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CardOverlay::mousePressEvent(QMouseEvent* event)
{
    // Clicks beside the card go nowhere: the window underneath waits for the card.
    event->accept();
}

} // namespace hf::ui
