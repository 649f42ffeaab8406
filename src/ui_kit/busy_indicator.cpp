#include "ui_kit/busy_indicator.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"

#include <QPainter>
#include <QTimer>

#include <cmath>

namespace hf::ui {

void paintBusySpokes(QPainter& painter, const QPointF& centre, double diameter, int step, const QColor& ink)
{
    for (int i = 0; i < 12; ++i) {
        QColor c = ink.isValid() ? ink : color(ColorName::Muted);
        c.setAlphaF(0.15 + 0.85 * ((i + 12 - step) % 12) / 11.0);
        painter.setPen(QPen(c, std::max(1.5, diameter / 9), Qt::SolidLine, Qt::RoundCap));
        const double angle = (i * 30.0 - 90) * M_PI / 180.0;
        const QPointF dir(std::cos(angle), std::sin(angle));
        painter.drawLine(centre + dir * (diameter * 0.25), centre + dir * (diameter * 0.47));
    }
}

BusyIndicator::BusyIndicator(double diameter, QWidget* parent)
    : QWidget(parent), m_diameter(diameter), m_timer(new QTimer(this))
{
    hideFromAccessibility(this);
    setFixedSize(sizeHint());
    m_timer->setInterval(80);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 12;
        update();
    });
}

QSize BusyIndicator::sizeHint() const
{
    const int side = int(std::ceil(m_diameter));
    return QSize(side, side);
}

void BusyIndicator::showEvent(QShowEvent*)
{
    if (!Environment::instance().reduceMotion())
        m_timer->start();
}

void BusyIndicator::hideEvent(QHideEvent*)
{
    m_timer->stop();
}

void BusyIndicator::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    paintBusySpokes(p, QRectF(rect()).center(), m_diameter, m_step);
}

} // namespace hf::ui
