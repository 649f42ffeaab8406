#include "ui_kit/buttons.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/environment.h"
#include "ui_kit/text_styles.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QPaintEngine>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>

#include <cmath>
#include <mutex>

namespace hf::ui {

namespace {

constexpr double edgeWidth = 1.5;
constexpr double iconGap = 6;

// Draws over its target, above the target's children, following its size; takes no input and
// is nothing to assistive technologies. Subclasses paint.
class Overlay : public QWidget {
public:
    explicit Overlay(QWidget* target) : QWidget(target)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(target->rect());
        hideFromAccessibility(this);
        target->installEventFilter(this);
        raise();
        show();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != parent())
            return false;
        switch (event->type()) {
        case QEvent::Resize:
            setGeometry(parentWidget()->rect());
            raise();
            break;
        case QEvent::FocusIn:
        case QEvent::FocusOut:
            raise();
            update();
            break;
        default: break;
        }
        return false;
    }
};

// The target's contrast edge.
class ContrastEdgeOverlay : public Overlay {
public:
    ContrastEdgeOverlay(QWidget* target, double radius, ColorName colorName)
        : Overlay(target), m_radius(radius), m_colorName(colorName)
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paintContrastEdge(p, rect(), m_radius, color(m_colorName));
    }

private:
    double m_radius;
    ColorName m_colorName;
};

// The target's focus ring, while the target has the focus.
class FocusRingOverlay : public Overlay {
public:
    FocusRingOverlay(QWidget* target, double radius) : Overlay(target), m_radius(radius) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!parentWidget()->hasFocus())
            return;
        QPainter p(this);
        paintFocusRing(p, rect(), m_radius);
    }

private:
    double m_radius;
};

QPixmap tinted(const QIcon& icon, const QSize& size, double dpr, const QColor& color, bool enabled)
{
    QPixmap pixmap = icon.pixmap(size, dpr, enabled ? QIcon::Normal : QIcon::Disabled);
    if (pixmap.isNull())
        return pixmap;
    QPainter p(&pixmap);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(pixmap.rect(), color);
    return pixmap;
}

} // namespace

void strokeInside(QPainter& painter, const QRectF& rect, double radius, double width, const QColor& color)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const double inset = width / 2.0;
    const QRectF inner = rect.adjusted(inset, inset, -inset, -inset);
    if (radius * 2 >= std::min(rect.width(), rect.height()))
        painter.drawEllipse(inner);
    else
        painter.drawPath(roundedRectPath(inner, std::max(0.0, radius - inset)));
    painter.restore();
}

void paintContrastEdge(QPainter& painter, const QRectF& rect, double radius, const QColor& color)
{
    if (Environment::instance().increasedContrast())
        strokeInside(painter, rect, radius, edgeWidth, color);
}

QWidget* attachContrastEdge(QWidget* target, double radius, ColorName colorName)
{
    return new ContrastEdgeOverlay(target, radius, colorName);
}

QWidget* attachFocusRing(QWidget* target, double radius)
{
    return new FocusRingOverlay(target, radius);
}

QIcon drawnIcon(int side, const std::function<void(QPainter&)>& draw)
{
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0}) {
        QPixmap pixmap(QSize(side, side) * ratio);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void paintFocusRing(QPainter& painter, const QRectF& rect, double radius)
{
    strokeInside(painter, rect, radius, 2.0, color(ColorName::Ink));
    strokeInside(painter, rect.adjusted(2, 2, -2, -2), std::max(0.0, radius - 2), 1.5, color(ColorName::InkOnInk));
}

bool focusTakesSpace(const QWidget* focus)
{
    if (!focus)
        return false;
    return qobject_cast<const QAbstractButton*>(focus) || qobject_cast<const QAbstractItemView*>(focus)
           || qobject_cast<const QComboBox*>(focus) || qobject_cast<const QLineEdit*>(focus)
           || qobject_cast<const QTextEdit*>(focus) || qobject_cast<const QPlainTextEdit*>(focus)
           || qobject_cast<const QAbstractSpinBox*>(focus);
}

namespace {

bool isPressKey(const QKeyEvent& key)
{
    if (key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    return key.key() == Qt::Key_Space || key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

// Return and Enter press any focused button of the application as Space does (Qt leaves that
// to push buttons in dialogs): the rows, choices and links made on QAbstractButton take them too.
class ReturnPressesButtons : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space || !isPressKey(*key))
            return false;
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (!button || button != QApplication::focusWidget() || !button->isEnabled()
            || qobject_cast<QPushButton*>(button) || qobject_cast<KitButton*>(button))
            return false;
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        if (!key->isAutoRepeat())
            button->click();
        return true;
    }
};

} // namespace

KitButton::KitButton(QWidget* parent) : QAbstractButton(parent)
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (qApp)
            qApp->installEventFilter(new ReturnPressesButtons(qApp));
    });
    // The keyboard reaches it with Tab; a click leaves the focus where it was, so Space keeps
    // playing for a mouse user.
    setFocusPolicy(Qt::TabFocus);
}

bool KitButton::event(QEvent* event)
{
    // The press keys belong to the focused button, not to a window shortcut on the same key.
    if (event->type() == QEvent::ShortcutOverride && isPressKey(*static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
        update();
    return QAbstractButton::event(event);
}

void KitButton::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && isPressKey(*event)) {
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void KitButton::paintFocus(QPainter& painter, const QRectF& rect, double radius) const
{
    if (hasFocus())
        paintFocusRing(painter, rect, radius);
}

QSizeF KitButton::labelSize(const QFont& font, double maxWidth) const
{
    // An icon stands before the text, as tall as one line of it.
    const double side = icon().isNull() ? 0.0 : std::ceil(QFontMetricsF(font).height());
    const double extra = icon().isNull() ? 0.0 : side + (text().isEmpty() ? 0.0 : iconGap);
    const QSizeF textSize = text().isEmpty() ? QSizeF()
                            : wrappedTextSize(font, text(), maxWidth < 0 ? -1.0 : std::max(1.0, maxWidth - extra));
    return QSizeF(textSize.width() + extra, std::max(textSize.height(), side));
}

void KitButton::paintLabel(QPainter& painter, const QRectF& box, const QFont& font, const QColor& color) const
{
    painter.save();
    painter.setPen(color);
    const QSizeF whole = labelSize(font, box.width());
    double left = box.center().x() - whole.width() / 2.0;
    if (!icon().isNull()) {
        const double side = std::ceil(QFontMetricsF(font).height());
        const QRectF iconBox(left, box.center().y() - side / 2.0, side, side);
        const QPaintDevice* target = painter.paintEngine() ? painter.paintEngine()->paintDevice() : nullptr;
        const double dpr = target ? target->devicePixelRatioF() : devicePixelRatioF();
        const QPixmap pixmap = tinted(icon(), QSize(int(side), int(side)), dpr, color, isEnabled());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(iconBox, pixmap, QRectF(pixmap.rect()));
        left += side + iconGap;
    }
    if (!text().isEmpty())
        drawWrappedText(painter, QRectF(left, box.top(), box.center().x() + whole.width() / 2.0 - left, box.height()),
                        font, text(), Qt::AlignCenter);
    painter.restore();
}

// Face button.

FaceButton::FaceButton(QSizeF padding, double radius, double minHeight, QWidget* parent)
    : KitButton(parent), m_padding(padding), m_radius(radius), m_minHeight(minHeight)
{
}

void FaceButton::setMinHeight(double height)
{
    m_minHeight = height;
    updateGeometry();
    update();
}

QFont FaceButton::labelFont() const
{
    return hf::ui::font(this, TextStyle::body, QFont::DemiBold);
}

QSize FaceButton::sizeHint() const
{
    const QSizeF label = labelSize(labelFont(), -1);
    return QSize(int(std::ceil(label.width() + 2 * m_padding.width())), heightForWidth(-1));
}

QSize FaceButton::minimumSizeHint() const
{
    // The label may wrap, but never between two letters of a word.
    const QFont font = labelFont();
    const double icon = this->icon().isNull() ? 0.0
                        : std::ceil(QFontMetricsF(font).height()) + (text().isEmpty() ? 0.0 : iconGap);
    const double label = icon + leastTextWidth(font, text());
    return QSize(int(std::ceil(label + 2 * m_padding.width())), int(std::ceil(m_minHeight)));
}

int FaceButton::heightForWidth(int width) const
{
    // A negative width lays the label out on one line.
    const QSizeF label = labelSize(labelFont(), width < 0 ? -1.0 : width - 2 * m_padding.width());
    return int(std::ceil(std::max(m_minHeight, label.height() + 2 * m_padding.height())));
}

QRectF FaceButton::labelBox() const
{
    const double dx = m_padding.width();
    const double dy = m_padding.height();
    return QRectF(rect()).adjusted(dx, dy, -dx, -dy);
}

bool FaceButton::hitButton(const QPoint& pos) const
{
    return roundedRectPath(rect(), m_radius).contains(QPointF(pos) + QPointF(0.5, 0.5));
}

// Ink button.

InkButton::InkButton(const QString& text, QWidget* parent)
    : FaceButton(QSizeF(16, 10), 14, 40, parent)
{
    setText(text);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void InkButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(isDown() ? 0.82 : 1.0);
    const bool enabled = isEnabled();
    p.fillPath(roundedRectPath(rect(), radius()), color(enabled ? ColorName::Ink : ColorName::ControlFill));
    paintLabel(p, labelBox(), labelFont(), color(enabled ? ColorName::InkOnInk : ColorName::DisabledText));
    p.setOpacity(1.0);
    paintFocus(p, rect(), radius());
}

// Quiet button.

QuietButton::QuietButton(const QString& text, QWidget* parent)
    : FaceButton(QSizeF(14, 8), 12, 32, parent)
{
    setText(text);
    setFillsWidth(true);
}

void QuietButton::setFillsWidth(bool fills)
{
    m_fillsWidth = fills;
    QSizePolicy policy(fills ? QSizePolicy::Expanding : QSizePolicy::Maximum, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    updateGeometry();
}

void QuietButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(roundedRectPath(rect(), radius()),
               color(isDown() ? ColorName::ControlSelected : ColorName::ControlFill));
    paintLabel(p, labelBox(), labelFont(), color(isEnabled() ? ColorName::Ink : ColorName::DisabledText));
    paintContrastEdge(p, rect(), radius(), color(ColorName::ControlStroke));
    paintFocus(p, rect(), radius());
}

// Round control.

RoundControl::RoundControl(bool floating, double diameter, QWidget* parent)
    : KitButton(parent), m_floating(floating), m_diameter(diameter)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void RoundControl::setFloating(bool floating)
{
    m_floating = floating;
    update();
}

void RoundControl::setDiameter(double diameter)
{
    m_diameter = diameter;
    updateGeometry();
    update();
}

QSize RoundControl::sizeHint() const
{
    const int side = int(std::ceil(m_diameter));
    return QSize(side, side);
}

void RoundControl::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(width(), height());
    const QRectF circle(QPointF(width() / 2.0 - side / 2.0, height() / 2.0 - side / 2.0), QSizeF(side, side));
    QPainterPath path;
    path.addEllipse(circle);
    if (m_floating) {
        paintGlassBackground(p, path);
    } else {
        p.fillPath(path, color(isDown() ? ColorName::ControlSelected : ColorName::ControlFill));
    }
    paintLabel(p, QRectF(rect()), cappedFont(TextStyle::body, QFont::DemiBold, TextSize::xxxLarge),
               color(ColorName::Ink));
    if (!m_floating)
        paintContrastEdge(p, circle, side / 2.0, color(ColorName::ControlStroke));
    paintFocus(p, circle, side / 2.0);
}

bool RoundControl::hitButton(const QPoint& pos) const
{
    const QPointF centre(width() / 2.0, height() / 2.0);
    const QPointF d = QPointF(pos) + QPointF(0.5, 0.5) - centre;
    const double r = std::min(width(), height()) / 2.0;
    return d.x() * d.x() + d.y() * d.y() <= r * r;
}

} // namespace hf::ui
