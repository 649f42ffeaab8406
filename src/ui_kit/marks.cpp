#include "ui_kit/marks.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"

#include <QPainter>

#include <cmath>

namespace hf::ui {

namespace {

constexpr double baseSide = 18;
constexpr double markLine = 1.5;

QRectF centredSquare(const QRect& rect, double side)
{
    return QRectF(rect.center().x() + 0.5 - side / 2.0, rect.center().y() + 0.5 - side / 2.0, side, side);
}

} // namespace

Mark::Mark(bool on, QWidget* parent)
    : QWidget(parent), m_on(on)
{
    hideFromAccessibility(this);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Mark::setOn(bool on)
{
    if (m_on == on)
        return;
    m_on = on;
    update();
}

double Mark::side()
{
    return Environment::instance().scaled(baseSide);
}

QSize Mark::sizeHint() const
{
    const int s = int(std::ceil(side()));
    return {s, s};
}

void Mark::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintMark(p, centredSquare(rect(), std::min<double>(side(), std::min(width(), height()))));
}

CheckMark::CheckMark(bool on, QWidget* parent) : Mark(on, parent) {}

void CheckMark::paintMark(QPainter& painter, const QRectF& square) const
{
    paint(painter, square, isOn(), isEnabled());
}

void CheckMark::paint(QPainter& painter, const QRectF& square, bool on, bool enabled)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double radius = 4;
    if (on) {
        painter.fillPath(roundedRectPath(square, radius), color(ColorName::Ink));
        strokeInside(painter, square, radius, markLine, color(ColorName::Ink));
        // The check: a heavy tick whose weight follows the mark's size.
        const double s = square.width();
        QPainterPath tick;
        tick.moveTo(square.left() + s * 0.27, square.top() + s * 0.53);
        tick.lineTo(square.left() + s * 0.43, square.top() + s * 0.69);
        tick.lineTo(square.left() + s * 0.74, square.top() + s * 0.33);
        QPen pen(color(ColorName::InkOnInk), std::max(1.5, s * 0.13), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(tick);
    } else {
        strokeInside(painter, square, radius, markLine,
                     color(enabled ? ColorName::Muted : ColorName::ControlStroke));
    }
    painter.restore();
}

RadioMark::RadioMark(bool on, QWidget* parent) : Mark(on, parent) {}

void RadioMark::paintMark(QPainter& painter, const QRectF& square) const
{
    paint(painter, square, isOn(), isEnabled());
}

void RadioMark::paint(QPainter& painter, const QRectF& square, bool on, bool enabled)
{
    const double s = square.width();
    if (on)
        strokeInside(painter, square, s / 2.0, s * 0.3, color(ColorName::Ink));
    else
        strokeInside(painter, square, s / 2.0, markLine, color(enabled ? ColorName::Muted : ColorName::ControlStroke));
}

} // namespace hf::ui
