#include "sidebar/status_mark.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QPainter>
#include <QPainterPathStroker>

#include <algorithm>
#include <cmath>

namespace hf {

namespace {

using ui::ColorName;

// A filled circle with a check mark cut out of it.
void paintCheckmarkCircle(QPainter& p, const QRectF& box)
{
    const double d = box.width();
    QPainterPath circle;
    circle.addEllipse(box);
    QPainterPath check;
    check.moveTo(box.left() + d * 0.28, box.top() + d * 0.52);
    check.lineTo(box.left() + d * 0.44, box.top() + d * 0.67);
    check.lineTo(box.left() + d * 0.72, box.top() + d * 0.35);
    QPainterPathStroker stroker;
    stroker.setWidth(d * 0.11);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    p.fillPath(circle.subtracted(stroker.createStroke(check)), ui::color(ColorName::Ink));
}

// The outline of a circle with an exclamation mark inside.
void paintExclamationCircle(QPainter& p, const QRectF& box)
{
    const double d = box.width();
    const double line = d * 0.085;
    p.setPen(QPen(ui::color(ColorName::Ink), line));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(box.adjusted(line / 2, line / 2, -line / 2, -line / 2));
    p.setPen(Qt::NoPen);
    p.setBrush(ui::color(ColorName::Ink));
    const double bar = d * 0.1;
    const double cx = box.center().x();
    p.drawRoundedRect(QRectF(cx - bar / 2, box.top() + d * 0.24, bar, d * 0.34), bar / 2, bar / 2);
    p.drawEllipse(QPointF(cx, box.top() + d * 0.72), bar * 0.62, bar * 0.62);
}

void paintRing(QPainter& p, const QRectF& frame, double progress)
{
    const double line = 2.5;
    const QRectF circle = frame.adjusted(line / 2, line / 2, -line / 2, -line / 2);
    QPen track(ui::color(ColorName::ControlSelected), line, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    p.setPen(track);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(circle);
    const double fraction = std::max(progress, 0.05);
    QPen arc(ui::color(ColorName::Ink), line, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    p.setPen(arc);
    // From the top, clockwise (negative spans run clockwise).
    p.drawArc(circle, 90 * 16, -int(std::lround(fraction * 360 * 16)));
}

void paintDashedCircle(QPainter& p, const QRectF& frame)
{
    const double line = 1.5;
    QPen pen(ui::color(ColorName::ControlStroke), line, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    // Dash lengths are given in line widths: 2 drawn, 2.5 left out.
    pen.setDashPattern({2 / line, 2.5 / line});
    pen.setDashOffset(0);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(frame.adjusted(line / 2, line / 2, -line / 2, -line / 2));
}

} // namespace

StatusMark::StatusMark(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    ui::hideFromAccessibility(this);
}

void StatusMark::setState(StatusMarkState state)
{
    if (state == m_state)
        return;
    m_state = state;
    update();
}

double StatusMark::symbolSide()
{
    return std::round(ui::font(ui::TextStyle::body).pixelSize() * 1.1);
}

QSize StatusMark::sizeHint() const
{
    // 22 wide, unless the symbols outgrow it at the largest text sizes.
    const double side = std::max(symbolSide(), ringSide);
    return QSize(std::max(width, int(std::ceil(side)) + 2), int(std::ceil(side)));
}

void StatusMark::paint(QPainter& p, const QRectF& frame, const StatusMarkState& state)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = frame.center();
    const double symbol = symbolSide();
    const QRectF symbolBox(centre.x() - symbol / 2, centre.y() - symbol / 2, symbol, symbol);
    const QRectF ringBox(centre.x() - ringSide / 2, centre.y() - ringSide / 2, ringSide, ringSide);
    if (state.done)
        paintCheckmarkCircle(p, symbolBox);
    else if (state.failed)
        paintExclamationCircle(p, symbolBox);
    else if (state.progress)
        paintRing(p, ringBox, *state.progress);
    else if (state.waiting)
        paintDashedCircle(p, ringBox);
    p.restore();
}

void StatusMark::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paint(p, QRectF(rect()), m_state);
}

Thumb::Thumb(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedSize(size);
    ui::hideFromAccessibility(this);
}

void Thumb::setImage(QImage image)
{
    if (image.cacheKey() == m_image.cacheKey())
        return;
    m_image = std::move(image);
    update();
}

void Thumb::paint(QPainter& p, const QRectF& frame, const QImage& image)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPainterPath shape = ui::roundedRectPath(frame, cornerRadius);
    p.fillPath(shape, ui::color(ui::ColorName::Picture));
    if (!image.isNull() && image.width() > 0 && image.height() > 0) {
        p.setClipPath(shape);
        const QSizeF fitted = QSizeF(image.size()).scaled(frame.size(), Qt::KeepAspectRatio);
        const QRectF target(frame.center().x() - fitted.width() / 2, frame.center().y() - fitted.height() / 2,
                            fitted.width(), fitted.height());
        p.drawImage(target, image);
    }
    p.restore();
}

void Thumb::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paint(p, QRectF(rect()), m_image);
}

} // namespace hf
