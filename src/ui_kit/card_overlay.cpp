#include "ui_kit/card_overlay.h"

#include "ui_kit/palette.h"

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
    QWidget::keyPressEvent(event);
}

void CardOverlay::mousePressEvent(QMouseEvent* event)
{
    // Clicks beside the card go nowhere: the window underneath waits for the card.
    event->accept();
}

} // namespace hf::ui
