#include "Tellu/tellu_controls.h"

#include "Tellu/tellu.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>
#include <QStackedLayout>
#include <QTimer>
#include <QVBoxLayout>

// ---- look

QFont TelluLook::headline(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 1.1);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont TelluLook::subheadline(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.92);
    return font;
}

QFont TelluLook::caption(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.85);
    return font;
}

QColor TelluLook::secondary(const QWidget* widget)
{
    QColor color = widget->palette().color(QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

QColor TelluLook::red()
{
    return QColor(0xd7, 0x26, 0x2d);
}

QColor TelluLook::green()
{
    return QColor(0x2f, 0xa8, 0x4f);
}

QColor TelluLook::tint(const QWidget* widget, const std::optional<QColor>& tint)
{
    return tint ? *tint : widget->palette().color(QPalette::Highlight);
}

void TelluLook::paintFocusRing(QPainter& painter, const QRectF& box, double radius, const QWidget* widget,
                               const std::optional<QColor>& tint)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    const auto stroke = [&](double inset, double width, const QColor& color) {
        const QRectF line = box.adjusted(inset + width / 2, inset + width / 2, -inset - width / 2, -inset - width / 2);
        const double r = std::max(0.0, radius - inset - width / 2);
        painter.setPen(QPen(color, width));
        if (radius * 2 >= std::min(box.width(), box.height()))
            painter.drawEllipse(line);
        else
            painter.drawRoundedRect(line, r, r);
    };
    stroke(0, 2, TelluLook::tint(widget, tint));
    stroke(2, 1.5, widget->palette().color(QPalette::Base));
    painter.restore();
}

// ---- prominent button

TelluProminentButton::TelluProminentButton(const QString& title, std::optional<QColor> tint, QWidget* parent)
    : QAbstractButton(parent), m_tint(tint)
{
    setText(title);
    setAccessibleName(title);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    QFont font = this->font();
    font.setWeight(QFont::DemiBold);
    setFont(font);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize TelluProminentButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {std::max(64, metrics.horizontalAdvance(text()) + 28), std::max(28, metrics.height() + 12)};
}

void TelluProminentButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor fill = TelluLook::tint(this, m_tint);
    // The title stays readable on a light tint (a dark window's accent is often near white).
    QColor ink = qGray(fill.rgb()) > 150 ? QColor(28, 28, 30) : QColor(Qt::white);
    if (!isEnabled()) {
        fill = TelluLook::secondary(this);
        fill.setAlphaF(0.18f);
        ink = TelluLook::secondary(this);
    } else if (isDown()) {
        fill = fill.darker(115);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(box, 6, 6);
    if (hasFocus() && isEnabled())
        TelluLook::paintFocusRing(painter, QRectF(rect()), 6, this, m_tint);
    painter.setPen(ink);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());
}

// ---- spinner

TelluSpinner::TelluSpinner(QWidget* parent) : QWidget(parent), m_timer(new QTimer(this))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(16, 16);
    m_timer->setInterval(60);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

void TelluSpinner::showEvent(QShowEvent* event)
{
    m_timer->start();
    QWidget::showEvent(event);
}

void TelluSpinner::hideEvent(QHideEvent* event)
{
    m_timer->stop();
    QWidget::hideEvent(event);
}

void TelluSpinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    painter.rotate(m_angle);
    // Twelve spokes, fading behind the leading one.
    for (int i = 0; i < 12; ++i) {
        QColor color = palette().color(QPalette::WindowText);
        color.setAlphaF(0.15f + 0.75f * float(i) / 11.0f);
        painter.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -3.5), QPointF(0, -7));
        painter.rotate(30);
    }
}

// ---- menu picker

TelluMenuPicker::TelluMenuPicker(QWidget* parent) : QAbstractButton(parent), m_menu(new QMenu(this))
{
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, &TelluMenuPicker::openMenu);
}

void TelluMenuPicker::setEntries(const QStringList& entries)
{
    m_entries = entries;
    m_menu->clear();
    for (int i = 0; i < entries.size(); ++i) {
        QAction* action = m_menu->addAction(entries[i]);
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, i] { choose(i); });
    }
    setCurrentIndex(std::clamp(m_current, 0, std::max(0, int(entries.size()) - 1)));
    updateGeometry();
}

void TelluMenuPicker::setCurrentIndex(int index)
{
    m_current = index;
    const auto actions = m_menu->actions();
    for (int i = 0; i < actions.size(); ++i)
        actions[i]->setChecked(i == index);
    const QString current = index >= 0 && index < m_entries.size() ? m_entries[index] : QString();
    setText(current);
    setAccessibleDescription(current);
    update();
}

void TelluMenuPicker::choose(int index)
{
    if (index < 0 || index >= m_entries.size())
        return;
    setCurrentIndex(index);
    Q_EMIT chosen(index);
}

void TelluMenuPicker::openMenu()
{
    m_menu->popup(mapToGlobal(QPoint(0, height())));
}

QSize TelluMenuPicker::sizeHint() const
{
    const QFontMetrics metrics(font());
    int widest = 0;
    for (const QString& entry : m_entries)
        widest = std::max(widest, metrics.horizontalAdvance(entry));
    return {widest + 40, std::max(26, metrics.height() + 10)};
}

QSize TelluMenuPicker::minimumSizeHint() const
{
    const QFontMetrics metrics(font());
    return {80, std::max(26, metrics.height() + 10)};
}

void TelluMenuPicker::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor stroke = TelluLook::secondary(this);
    stroke.setAlphaF(0.3f);
    painter.setPen(QPen(stroke, 1));
    painter.setBrush(isDown() ? palette().color(QPalette::Button).darker(105) : palette().color(QPalette::Base));
    painter.drawRoundedRect(box, 6, 6);
    if (hasFocus())
        TelluLook::paintFocusRing(painter, QRectF(rect()), 6, this, std::nullopt);

    painter.setPen(isEnabled() ? palette().color(QPalette::WindowText) : TelluLook::secondary(this));
    const QRect textRect = rect().adjusted(10, 0, -26, 0);
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     QFontMetrics(font()).elidedText(text(), Qt::ElideRight, textRect.width()));

    // Up and down chevrons at the trailing edge.
    const QPointF centre(width() - 14.0, height() / 2.0);
    painter.setPen(QPen(TelluLook::secondary(this), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(QPolygonF{centre + QPointF(-3.5, -2), centre + QPointF(0, -5.5), centre + QPointF(3.5, -2)});
    painter.drawPolyline(QPolygonF{centre + QPointF(-3.5, 2), centre + QPointF(0, 5.5), centre + QPointF(3.5, 2)});
}

// ---- field frame

TelluFieldFrame::TelluFieldFrame(QWidget* field, int inset, QWidget* parent) : QWidget(parent), m_field(field)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->addWidget(field);
    field->setParent(this);
    setFocusProxy(field);
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    field->setPalette(palette);
    field->installEventFilter(this);
}

bool TelluFieldFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_field && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QWidget::eventFilter(watched, event);
}

void TelluFieldFrame::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor stroke = TelluLook::secondary(this);
    stroke.setAlphaF(0.3f);
    painter.setPen(QPen(stroke, 1));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(box, 6, 6);
    if (m_field->hasFocus())
        TelluLook::paintFocusRing(painter, QRectF(rect()), 6, this, std::nullopt);
}

// ---- success view

namespace {

// The check mark only decorates the thank-you line beside it: assistive technologies skip it.
class DecorationAccessible : public QAccessibleWidget {
public:
    explicit DecorationAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = true;
        // A surface that draws for a focused control (an editor's viewport) is not itself the focus.
        s.focused = false;
        s.focusable = false;
        return s;
    }
    QString text(QAccessible::Text) const override { return {}; }
};

QAccessibleInterface* decorationFactory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("TelluCheckMark") || object->property("telluDecoration").toBool())
        return new DecorationAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

void installDecorationFactory()
{
    static const bool installed = (QAccessible::installFactory(decorationFactory), true);
    Q_UNUSED(installed);
}

} // namespace

void markTelluDecoration(QWidget* widget)
{
    installDecorationFactory();
    widget->setProperty("telluDecoration", true);
    // An interface made before (a label announces its text) is dropped; the next is the decoration's.
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    if (iface && !dynamic_cast<DecorationAccessible*>(iface))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
}

TelluCheckMark::TelluCheckMark(QWidget* parent) : QWidget(parent)
{
    installDecorationFactory();
    setFixedSize(52, 52);
}

void TelluCheckMark::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.setPen(Qt::NoPen);
    painter.setBrush(TelluLook::green());
    painter.drawEllipse(box);
    const qreal s = box.width();
    painter.setPen(QPen(Qt::white, s * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    const QPointF o = box.topLeft();
    painter.drawPolyline(QPolygonF{o + QPointF(s * 0.28, s * 0.52), o + QPointF(s * 0.44, s * 0.68),
                                   o + QPointF(s * 0.72, s * 0.36)});
}

TelluSuccessView::TelluSuccessView(std::optional<QColor> tint, std::function<void()> onDismiss, QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("tellu.success"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(20);
    layout->addStretch(1);
    auto* mark = new TelluCheckMark(this);
    layout->addWidget(mark, 0, Qt::AlignHCenter);
    auto* line = new QLabel(telluText("tellu.success.message", "Thank you for your feedback!"), this);
    line->setObjectName(QStringLiteral("tellu.success.message"));
    line->setFont(TelluLook::headline(font()));
    line->setAlignment(Qt::AlignCenter);
    line->setWordWrap(true);
    layout->addWidget(line);
    if (onDismiss) {
        auto* done = new TelluProminentButton(telluText("tellu.success.done", "Done"), tint, this);
        done->setObjectName(QStringLiteral("tellu.success.done"));
        connect(done, &QAbstractButton::clicked, this, [onDismiss] { onDismiss(); });
        layout->addWidget(done, 0, Qt::AlignHCenter);
    }
    layout->addStretch(1);
}

// ---- the forms' shared parts

QStackedLayout* makeTelluPages(QWidget* view, std::optional<QColor> tint, std::function<void()> onDismiss,
                               QWidget** form, QVBoxLayout** column)
{
    view->setAutoFillBackground(true);
    view->setMinimumWidth(320);
    auto* root = new QVBoxLayout(view);
    root->setContentsMargins(TelluLook::padding, TelluLook::padding, TelluLook::padding, TelluLook::padding);
    auto* pages = new QStackedLayout;
    root->addLayout(pages);
    *form = new QWidget(view);
    *column = new QVBoxLayout(*form);
    (*column)->setContentsMargins(0, 0, 0, 0);
    pages->addWidget(*form);
    pages->addWidget(new TelluSuccessView(tint, std::move(onDismiss), view));
    return pages;
}

QLabel* makeTelluErrorLabel(const QString& objectName, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setFont(TelluLook::caption(parent->font()));
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, TelluLook::red());
    label->setPalette(palette);
    label->hide();
    return label;
}

QHBoxLayout* makeTelluSendRow(TelluSpinner* spinner, QAbstractButton* send)
{
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    spinner->hide();
    row->addWidget(spinner);
    row->addSpacing(4);
    row->addWidget(send);
    return row;
}
