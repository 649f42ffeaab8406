#include "app/wrapping_label.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/scroll_column.h"
#include "ui_kit/text_styles.h"
#include "ui_kit/wrapped_label.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <cmath>
#include <mutex>

namespace hf {

namespace {

constexpr double kIconGap = 8;

// A speech bubble with its tail at the lower left (`flip`: lower right).
QPainterPath bubble(const QRectF& r, bool flip)
{
    QPainterPath path;
    const double radius = r.height() * 0.42;
    path.addRoundedRect(r, radius, radius);
    QPainterPath tail;
    const double tx = flip ? r.right() - r.width() * 0.28 : r.left() + r.width() * 0.28;
    const double dir = flip ? 1 : -1;
    tail.moveTo(tx - dir * r.width() * 0.12, r.bottom() - 1);
    tail.lineTo(tx + dir * r.width() * 0.06, r.bottom() + r.height() * 0.32);
    tail.lineTo(tx + dir * r.width() * 0.10, r.bottom() - 1);
    tail.closeSubpath();
    return path.united(tail);
}

void drawQuestionMark(QPainter& painter, const QRectF& r, double pen)
{
    // The hook of a question mark and its dot, inside `r`.
    QPainterPath hook;
    const double w = r.width();
    const QRectF arc(r.center().x() - w * 0.22, r.top() + r.height() * 0.18, w * 0.44, w * 0.4);
    hook.arcMoveTo(arc, 160);
    hook.arcTo(arc, 160, -230);
    hook.lineTo(r.center().x(), r.top() + r.height() * 0.62);
    painter.setPen(QPen(painter.pen().color(), pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(hook);
}

class LinkAccessible : public QAccessibleWidget {
public:
    explicit LinkAccessible(WrappingLabel* label) : QAccessibleWidget(label, QAccessible::Link)
    {
        addControllingSignal(QStringLiteral("clicked(bool)"));
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name) {
            const QString name = widget()->accessibleName();
            return name.isEmpty() ? static_cast<WrappingLabel*>(widget())->title() : name;
        }
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override
    {
        if (action == pressAction())
            static_cast<WrappingLabel*>(widget())->click();
    }
};

QAccessibleInterface* wrappingLabelAccessible(const QString&, QObject* object)
{
    auto* label = qobject_cast<WrappingLabel*>(object);
    if (!label || !label->isAnnouncedAsLink())
        return nullptr;
    return new LinkAccessible(label);
}

} // namespace

void paintSymbol(QPainter& painter, const QRectF& box, const QString& systemImage, const QColor& color)
{
    const double side = std::min(box.width(), box.height());
    const QRectF r(box.center().x() - side / 2, box.center().y() - side / 2, side, side);
    const double pen = std::max(1.2, side / 13);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);

    if (systemImage == QLatin1String("questionmark.circle")) {
        const QRectF circle = r.adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2);
        painter.drawEllipse(circle);
        drawQuestionMark(painter, circle, pen);
        painter.setBrush(color);
        painter.drawEllipse(QPointF(circle.center().x(), circle.top() + circle.height() * 0.76), pen * 0.75, pen * 0.75);
    } else if (systemImage == QLatin1String("envelope")) {
        const QRectF env(r.left() + pen / 2, r.top() + side * 0.2, side - pen, side * 0.6);
        painter.drawRoundedRect(env, side * 0.07, side * 0.07);
        QPainterPath flap;
        flap.moveTo(env.topLeft() + QPointF(side * 0.05, side * 0.05));
        flap.lineTo(env.center().x(), env.top() + env.height() * 0.58);
        flap.lineTo(env.topRight() + QPointF(-side * 0.05, side * 0.05));
        painter.drawPath(flap);
    } else if (systemImage == QLatin1String("bubble.left.and.text.bubble.right")
               || systemImage == QLatin1String("bubble.left.and.exclamationmark.bubble.right")) {
        const QRectF back(r.left() + pen, r.top() + side * 0.1, side * 0.62, side * 0.42);
        const QRectF front(r.right() - side * 0.66 - pen / 2, r.top() + side * 0.42, side * 0.66, side * 0.42);
        // The front bubble hides the part of the back one it covers, with a little air around it.
        const QPainterPath frontPath = bubble(front, true);
        QPainterPathStroker air;
        air.setWidth(pen * 3);
        QPainterPath outside;
        outside.addRect(box.adjusted(-side, -side, side, side));
        painter.save();
        painter.setClipPath(outside.subtracted(frontPath.united(air.createStroke(frontPath))));
        painter.drawPath(bubble(back, false));
        painter.restore();
        painter.drawPath(frontPath);
        if (systemImage.contains(QLatin1String("exclamationmark"))) {
            painter.drawLine(QPointF(back.center().x(), back.top() + back.height() * 0.24),
                             QPointF(back.center().x(), back.top() + back.height() * 0.56));
            painter.setBrush(color);
            painter.setPen(Qt::NoPen);
            painter.drawEllipse(QPointF(back.center().x(), back.top() + back.height() * 0.78), pen * 0.6, pen * 0.6);
        } else {
            const double y1 = front.top() + front.height() * 0.38;
            const double y2 = front.top() + front.height() * 0.64;
            painter.drawLine(QPointF(front.left() + front.width() * 0.24, y1),
                             QPointF(front.right() - front.width() * 0.24, y1));
            painter.drawLine(QPointF(front.left() + front.width() * 0.24, y2),
                             QPointF(front.right() - front.width() * 0.4, y2));
        }
    }
    painter.restore();
}

// ----------------------------------------------------------------------------------------------

WrappingLabel::WrappingLabel(const QString& title, QString systemImage, QWidget* parent)
    : QAbstractButton(parent), m_systemImage(std::move(systemImage))
{
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(&wrappingLabelAccessible); });
    setText(title);
    setAccessibleName(title);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, [this] {
        updateGeometry();
        update();
    });
}

double WrappingLabel::iconSide() const
{
    return std::round(QFontMetricsF(ui::font(ui::TextStyle::body)).height() * 1.05);
}

QSizeF WrappingLabel::titleSize(double width) const
{
    return ui::wrappedTextSize(ui::font(ui::TextStyle::body), text(), width);
}

QSize WrappingLabel::sizeHint() const
{
    const QSizeF title = titleSize(-1);
    return {int(std::ceil(iconSide() + kIconGap + title.width())) + 2,
            int(std::ceil(std::max(iconSide(), title.height()))) + 8};
}

QSize WrappingLabel::minimumSizeHint() const
{
    // Narrow enough to wrap, never so narrow that a word breaks.
    const double title = ui::leastTextWidth(ui::font(ui::TextStyle::body), text());
    return {int(std::ceil(iconSide() + kIconGap + title)) + 2, int(std::ceil(iconSide())) + 8};
}

int WrappingLabel::heightForWidth(int width) const
{
    const double available = std::max(20.0, width - iconSide() - kIconGap - 2);
    return int(std::ceil(std::max(iconSide(), titleSize(available).height()))) + 8;
}

void WrappingLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(isDown() ? 0.7 : 1.0);
    const QColor ink = ui::color(isEnabled() ? ui::ColorName::Ink : ui::ColorName::DisabledText);
    const double side = iconSide();
    const QFont font = ui::font(ui::TextStyle::body);
    const double lineHeight = QFontMetricsF(font).height();
    // The symbol sits level with the first line of the title.
    const double top = 4;
    paintSymbol(painter, QRectF(0, top + (lineHeight - side) / 2, side, side), m_systemImage, ink);
    painter.setPen(ink);
    const QRectF box(side + kIconGap, top, width() - side - kIconGap, height() - 2 * top);
    ui::drawWrappedText(painter, box, font, text(), Qt::AlignLeft | Qt::AlignTop);
    if (hasFocus()) {
        painter.setOpacity(1.0);
        ui::paintFocusRing(painter, QRectF(rect()), 5);
    }
}

// ----------------------------------------------------------------------------------------------

namespace {

class SymbolView : public QWidget {
public:
    SymbolView(QString name, QWidget* parent) : QWidget(parent), m_name(std::move(name))
    {
        setFixedSize(44, 44);
        ui::hideFromAccessibility(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        paintSymbol(painter, QRectF(rect()).adjusted(2, 2, -2, -2), m_name, ui::color(ui::ColorName::Muted));
    }

private:
    QString m_name;
};

} // namespace

ContentUnavailableView::ContentUnavailableView(const QString& title, QString systemImage,
                                               const QString& description, QWidget* parent)
    : QWidget(parent)
{
    // Centred in the room it has; at large text sizes in a small window it scrolls.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(48, 32, 48, 32);
    column->setSpacing(10);
    column->addStretch(1);
    auto* symbol = new SymbolView(std::move(systemImage), content);
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    column->addSpacing(4);
    auto* titleLabel = new QLabel(title, content);
    titleLabel->setObjectName(QStringLiteral("unavailable.title"));
    titleLabel->setAlignment(Qt::AlignHCenter);
    titleLabel->setWordWrap(true);
    ui::applyHeadingStyle(titleLabel, ui::TextStyle::title3);
    ui::setForeground(titleLabel, ui::ColorName::Ink);
    // It may name an address too long for a line at large text sizes: it breaks after its marks.
    auto* descriptionLabel = new ui::WrappedLabel(description, content);
    descriptionLabel->setObjectName(QStringLiteral("unavailable.detail"));
    descriptionLabel->setAlignment(Qt::AlignHCenter);
    ui::setTextStyle(descriptionLabel, ui::TextStyle::body);
    ui::setForeground(descriptionLabel, ui::ColorName::Muted);
    column->addWidget(titleLabel);
    column->addWidget(descriptionLabel);
    column->addStretch(1);
    outer->addWidget(new ui::ScrollColumn(content, this));
    setAccessibleName(title);
    setAccessibleDescription(description);
}

} // namespace hf
