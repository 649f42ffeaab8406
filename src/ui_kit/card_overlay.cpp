#include "ui_kit/card_overlay.h"

#include "ui_kit/palette.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPainter>

#include <mutex>

namespace hf::ui {

namespace {

bool isBare(const QKeyEvent& key)
{
    return !(key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

bool isReturn(const QKeyEvent& key)
{
    return (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) && isBare(key);
}

// Whether the focus can be handed to `widget`: it is on screen (with every parent) and takes keys.
bool canTakeFocus(const QWidget* widget)
{
    return widget && widget->isVisible() && widget->isEnabled();
}

QAccessibleInterface* cardFactory(const QString& key, QObject* object)
{
    if (key != QLatin1String("hf::ui::CardOverlay") || !object || !object->isWidgetType())
        return nullptr;
    auto* card = static_cast<CardOverlay*>(object);
    return new QAccessibleWidget(card, card->accessibleRole());
}

} // namespace

CardOverlay::CardOverlay(QWidget* window) : QWidget(window)
{
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(cardFactory); });
    // Never a stop of its own: Tab goes to the controls on the card.
    setFocusPolicy(Qt::NoFocus);
    hide();
    window->installEventFilter(this);
}

CardOverlay::~CardOverlay()
{
    if (m_watching && qApp)
        qApp->removeEventFilter(this);
}

void CardOverlay::setAnswers(QAbstractButton* defaultAnswer, QAbstractButton* cancelAnswer)
{
    m_default = defaultAnswer;
    m_cancel = cancelAnswer;
}

void CardOverlay::setAccessibleRole(QAccessible::Role role)
{
    m_role = role;
}

CardOverlay* CardOverlay::topmost(const QWidget* window)
{
    if (!window)
        return nullptr;
    // Raising a widget moves it to the end of its parent's children.
    const QObjectList& children = window->children();
    for (auto it = children.crbegin(); it != children.crend(); ++it)
        if (auto* card = qobject_cast<CardOverlay*>(*it); card && card->isVisible())
            return card;
    for (CardOverlay* card : window->findChildren<CardOverlay*>())
        if (card->isVisible())
            return card;
    return nullptr;
}

void CardOverlay::escapePressed()
{
    if (m_cancel && m_cancel->isEnabled())
        m_cancel->click();
}

bool CardOverlay::event(QEvent* event)
{
    // Keys the card answers to come to it before any window shortcut.
    if (event->type() == QEvent::ShortcutOverride && isVisible()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape || isReturn(*key)) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

bool CardOverlay::focusNextPrevChild(bool next)
{
    // Hidden, the card has nothing to offer: the window's own order applies.
    if (!isVisible())
        return QWidget::focusNextPrevChild(next);
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

void CardOverlay::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_watching) {
        // The window's keys pass here first while the card shows (see eventFilter).
        qApp->installEventFilter(this);
        m_watching = true;
    }
    QWidget* focus = window()->focusWidget();
    if (focus && focus != this && !isAncestorOf(focus))
        m_returnTo = focus;
    takeFocus();
}

void CardOverlay::hideEvent(QHideEvent* event)
{
    // Any key or button still held on the card is let go, so nothing waits for a release that
    // will never come to it.
    for (auto* button : findChildren<QAbstractButton*>())
        if (button->isDown())
            button->setDown(false);
    if (m_watching) {
        qApp->removeEventFilter(this);
        m_watching = false;
    }
    // Only a card closed by itself gives the keyboard back; a window hidden with its card keeps both.
    if (isHidden())
        returnFocus();
    QWidget::hideEvent(event);
}

void CardOverlay::takeFocus()
{
    QWidget* focus = window()->focusWidget();
    if (focus && (focus == this || isAncestorOf(focus)) && canTakeFocus(focus))
        return;
    if (canTakeFocus(m_default) && isAncestorOf(m_default))
        m_default->setFocus(Qt::OtherFocusReason);
    else
        setFocus(Qt::OtherFocusReason);
}

void CardOverlay::returnFocus()
{
    QWidget* window = this->window();
    QWidget* focus = window->focusWidget();
    if (focus && focus != this && !isAncestorOf(focus))
        return;
    // Another card still showing keeps the keyboard, unless the way back leads into it.
    QWidget* back = m_returnTo;
    m_returnTo = nullptr;
    CardOverlay* other = topmost(window);
    if (other && !(back && other->isAncestorOf(back))) {
        other->takeFocus();
        return;
    }
    if (canTakeFocus(back) && back->window() == window)
        back->setFocus(Qt::OtherFocusReason);
    else
        window->setFocus(Qt::OtherFocusReason);
}

void CardOverlay::layOut()
{
    if (parentWidget())
        setGeometry(parentWidget()->rect());
}

bool CardOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
        layOut();
        return false;
    }
    const QEvent::Type type = event->type();
    if (type == QEvent::FocusIn && watched->isWidgetType() && isAncestorOf(static_cast<QWidget*>(watched)))
        m_cardFocus = static_cast<QWidget*>(watched);
    if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return false;
    if (!watched->isWidgetType() || !isVisible())
        return false;
    auto* target = static_cast<QWidget*>(watched);
    if (target->window() != window() || topmost(window()) != this)
        return false;
    if (type == QEvent::ShortcutOverride) {
        // No shortcut of the window acts beneath the card: the key goes to the card's controls.
        event->accept();
        return true;
    }
    if (target == this || isAncestorOf(target))
        return false;
    // A key meant for the window underneath (its menu bar's Alt included) is the card's.
    if (type == QEvent::KeyPress)
        takeFocus();
    return true;
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
    // Every key that reaches the card stays with it: nothing under it hears a key.
    event->accept();
    if (event->key() == Qt::Key_Escape) {
        if (!event->isAutoRepeat())
            escapePressed();
        return;
    }
    if (isReturn(*event)) {
        // A focused answer takes Return itself; here it reached the card, so the default answers.
        if (!event->isAutoRepeat() && m_default && m_default->isEnabled() && m_default->isVisibleTo(this))
            m_default->click();
        return;
    }
}

void CardOverlay::mousePressEvent(QMouseEvent* event)
{
    // Clicks beside the card go nowhere: the window underneath waits for the card.
    event->accept();
    // The press has already handed the keyboard to the first widget under the card that takes it
    // on a click (the window). It goes back where it was on the card, so that the next key, Escape
    // included, is the card's and not spent bringing the keyboard back.
    if (canTakeFocus(m_cardFocus) && isAncestorOf(m_cardFocus))
        m_cardFocus->setFocus(Qt::OtherFocusReason);
    else
        takeFocus();
}

} // namespace hf::ui
