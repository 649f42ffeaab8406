#include "app/shell_controls.h"

#include "editor/empty_state_view.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/palette.h"
#include "ui_kit/screen_fit.h"
#include "ui_kit/scroll_column.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScrollBar>

namespace hf {

namespace {

// The main window is always drawn dark.
QColor dark(ui::ColorName name)
{
    return ui::color(name, ui::Appearance::dark);
}

} // namespace

QIcon toolbarIcon(ToolbarGlyph glyph)
{
    return ui::drawnIcon(18, [glyph](QPainter& p) {
        // Drawn black: the buttons tint their icons with the label's colour.
        p.setPen(QPen(Qt::black, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        switch (glyph) {
        case ToolbarGlyph::plus:
            p.drawLine(QPointF(9, 3.5), QPointF(9, 14.5));
            p.drawLine(QPointF(3.5, 9), QPointF(14.5, 9));
            break;
        case ToolbarGlyph::sidebarLeft:
        case ToolbarGlyph::sidebarRight: {
            p.drawRoundedRect(QRectF(2, 3.5, 14, 11), 2.5, 2.5);
            const double x = glyph == ToolbarGlyph::sidebarLeft ? 6.5 : 11.5;
            p.drawLine(QPointF(x, 3.5), QPointF(x, 14.5));
            break;
        }
        }
    });
}

// ---- ToolbarInkButton

ToolbarInkButton::ToolbarInkButton(const QString& text, QWidget* parent) : ui::KitButton(parent)
{
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

// The capsule is 32 high, or taller when a line of the label needs it.
static int capsuleHeight(const QFont& font)
{
    return std::max(32, QFontMetrics(font).height() + 12);
}

QSize ToolbarInkButton::sizeHint() const
{
    const QFont font = ui::font(this, ui::TextStyle::body, QFont::DemiBold);
    return QSize(QFontMetrics(font).horizontalAdvance(text()) + 32, capsuleHeight(font));
}

bool ToolbarInkButton::hitButton(const QPoint& pos) const
{
    return ui::roundedRectPath(QRectF(rect()), height() / 2.0).contains(pos);
}

void ToolbarInkButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
        update();
    ui::KitButton::changeEvent(event);
}

void ToolbarInkButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        p.setOpacity(0.82);
    const QFont font = ui::font(this, ui::TextStyle::body, QFont::DemiBold);
    const double side = capsuleHeight(font);
    const QRectF face(0, (height() - side) / 2.0, width(), side);
    QPainterPath capsule;
    capsule.addRoundedRect(face, side / 2.0, side / 2.0);
    p.fillPath(capsule, dark(isEnabled() ? ui::ColorName::Ink : ui::ColorName::ControlFill));
    p.setFont(font);
    p.setPen(dark(isEnabled() ? ui::ColorName::InkOnInk : ui::ColorName::DisabledText));
    p.drawText(face.adjusted(16, 0, -16, 0), Qt::AlignCenter, text());
    p.setOpacity(1.0);
    if (hasFocus())
        ui::paintFocusRing(p, face, 16);
}

// ---- SegmentedPicker

namespace {

// One segment of a picker, shown to assistive technologies as a radio button of the group the
// picker is; the picker keeps the keyboard focus, the selected segment reports it.
class PickerSegmentAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    PickerSegmentAccessible(SegmentedPicker* picker, int index) : m_picker(picker), m_index(index) {}

    bool isValid() const override { return !m_picker.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_picker ? m_picker->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_picker.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name && m_picker ? m_picker->titles().value(m_index) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override
    {
        if (!m_picker)
            return {};
        const QRect r = m_picker->segmentRect(m_index);
        return QRect(m_picker->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::RadioButton; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!m_picker)
            return s;
        const bool on = m_picker->selected() == m_index;
        s.checkable = true;
        s.checked = on;
        s.selectable = true;
        s.selected = on;
        s.focusable = true;
        s.focused = on && m_picker->hasFocus();
        s.disabled = !m_picker->isEnabled();
        s.invisible = !m_picker->isVisible();
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction() && m_picker && m_picker->isEnabled())
            Q_EMIT m_picker->chosen(m_index);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<SegmentedPicker> m_picker;
    int m_index;
};

// The picker: a group named by its accessible name whose children are its segments.
class PickerAccessible : public QAccessibleWidget {
public:
    explicit PickerAccessible(SegmentedPicker* picker) : QAccessibleWidget(picker, QAccessible::Grouping)
    {
        for (int i = 0; i < picker->titles().size(); ++i)
            m_segments.append(QAccessible::registerAccessibleInterface(new PickerSegmentAccessible(picker, i)));
    }
    ~PickerAccessible() override
    {
        for (QAccessible::Id id : std::as_const(m_segments))
            QAccessible::deleteAccessibleInterface(id);
    }
    int childCount() const override { return int(m_segments.size()); }
    QAccessibleInterface* child(int index) const override
    {
        return index >= 0 && index < m_segments.size() ? QAccessible::accessibleInterface(m_segments.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        for (int i = 0; i < m_segments.size(); ++i)
            if (QAccessible::accessibleInterface(m_segments.at(i)) == child)
                return i;
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        for (int i = 0; i < m_segments.size(); ++i)
            if (QAccessibleInterface* segment = child(i); segment->rect().contains(x, y))
                return segment;
        return nullptr;
    }
    // The selected title is said by the checked segment, not repeated on the group.
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Description)
            return widget()->accessibleDescription();
        return QAccessibleWidget::text(t);
    }

private:
    QList<QAccessible::Id> m_segments;
};

QAccessibleInterface* pickerFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("hf::SegmentedPicker") && object)
        return new PickerAccessible(static_cast<SegmentedPicker*>(object));
    return nullptr;
}

} // namespace

SegmentedPicker::SegmentedPicker(QStringList titles, QWidget* parent) : QWidget(parent), m_titles(std::move(titles))
{
    static const bool installed = (QAccessible::installFactory(pickerFactory), true);
    Q_UNUSED(installed);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
}

void SegmentedPicker::setSelected(int index)
{
    if (index < -1 || index >= m_titles.size() || index == m_selected)
        return;
    const int before = m_selected;
    m_selected = index;
    update();
    // The two segments whose checked state changed tell the bus; the newly checked one takes the
    // reported focus while the picker has it, so a screen reader says which one is chosen.
    QAccessibleInterface* group = QAccessible::queryAccessibleInterface(this);
    QAccessible::State checked;
    checked.checked = true;
    for (int i : {before, index})
        if (QAccessibleInterface* segment = i >= 0 && group ? group->child(i) : nullptr) {
            QAccessibleStateChangeEvent event(segment, checked);
            QAccessible::updateAccessibility(&event);
        }
    if (hasFocus() && index >= 0 && group) {
        QAccessibleEvent event(group->child(index), QAccessible::Focus);
        QAccessible::updateAccessibility(&event);
    }
}

QSize SegmentedPicker::sizeHint() const
{
    const QFontMetrics metrics(ui::font(this, ui::TextStyle::callout, QFont::Medium));
    int widest = 0;
    for (const QString& title : m_titles)
        widest = std::max(widest, metrics.horizontalAdvance(title));
    return QSize(static_cast<int>(m_titles.size()) * (widest + 28) + 4, std::max(30, metrics.height() + 10));
}

QRect SegmentedPicker::segmentRect(int index) const
{
    const int count = std::max<int>(1, static_cast<int>(m_titles.size()));
    const double segment = (width() - 4) / static_cast<double>(count);
    return QRectF(2 + index * segment, 2, segment, height() - 4).toAlignedRect();
}

void SegmentedPicker::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(ui::roundedRectPath(QRectF(rect()), 9), dark(ui::ColorName::ControlFill));
    p.setFont(ui::font(this, ui::TextStyle::callout, QFont::Medium));
    for (int i = 0; i < m_titles.size(); ++i) {
        const QRectF segment = segmentRect(i);
        if (i == m_selected) {
            p.fillPath(ui::roundedRectPath(segment, 7), dark(ui::ColorName::ControlSelected));
            p.setPen(dark(ui::ColorName::Ink));
        } else {
            p.setPen(dark(ui::ColorName::SecondaryText));
        }
        p.drawText(segment, Qt::AlignCenter, m_titles.at(i));
    }
    if (hasFocus())
        ui::paintFocusRing(p, QRectF(rect()), 9);
}

void SegmentedPicker::mouseReleaseEvent(QMouseEvent* event)
{
    for (int i = 0; i < m_titles.size(); ++i)
        if (segmentRect(i).contains(event->position().toPoint())) {
            Q_EMIT chosen(i);
            return;
        }
}

void SegmentedPicker::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Left && m_selected > 0)
        Q_EMIT chosen(m_selected - 1);
    else if (event->key() == Qt::Key_Right && m_selected + 1 < m_titles.size())
        Q_EMIT chosen(m_selected + 1);
    else
        QWidget::keyPressEvent(event);
}

// ---- DropEdge

DropEdge::DropEdge(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setObjectName(QStringLiteral("import.dropEdge"));
}

void DropEdge::setState(int count, bool showsLabel)
{
    count = std::max(1, count);
    if (count == m_count && showsLabel == m_showsLabel)
        return;
    m_count = count;
    m_showsLabel = showsLabel;
    update();
}

QString DropEdge::labelText() const
{
    return releaseToAddText(m_count);
}

void DropEdge::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(dark(ui::ColorName::Ink), 3));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
    if (!m_showsLabel)
        return;
    const QFont font = ui::headingFont(ui::TextStyle::title2);
    const QFontMetricsF metrics(font);
    const QString label = labelText();
    const QSizeF size(metrics.horizontalAdvance(label) + 40, metrics.height() + 24);
    const QRectF plate(QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    p.fillPath(ui::roundedRectPath(plate, 14), dark(ui::ColorName::Ink));
    p.setFont(font);
    p.setPen(dark(ui::ColorName::InkOnInk));
    p.drawText(plate, Qt::AlignCenter, label);
}

// ---- SheetHost

SheetHost::SheetHost(QWidget* window) : ui::CardOverlay(window) {}

void SheetHost::present(QWidget* content, int width)
{
    if (m_content && m_content != content)
        m_column->deleteLater();
    m_content = content;
    m_width = width;
    m_column = new ui::ScrollColumn(content, this);
    m_column->show();
    // Read as a dialog named by its first line shown (the alert's "Hushframe", the sheet's title),
    // never by a page the content keeps hidden for later (the form's thanks).
    QString name = content->accessibleName();
    for (QLabel* label : content->findChildren<QLabel*>()) {
        if (!name.isEmpty())
            break;
        if (label->isVisibleTo(content))
            name = label->text();
    }
    setAccessibleName(name);
    layOut();
    show();
    raise();
    // A card that asks for text starts in its first field, ready for typing; any other holds the
    // keyboard itself.
    if (QWidget* field = ui::firstStopWithin(content, [](const QWidget* stop) {
            return stop->testAttribute(Qt::WA_InputMethodEnabled);
        }))
        field->setFocus(Qt::OtherFocusReason);
    else
        setFocus();
}

void SheetHost::dismiss()
{
    if (m_content) {
        m_column->hide();
        m_column->deleteLater();
        m_content = nullptr;
    }
    hide();
}

QRect SheetHost::cardRect() const
{
    if (!m_content)
        return {};
    // Never narrower than the content allows, so nothing spills over the card's edge; a card
    // taller than the window makes room for the scroll bar beside the content.
    const int least = std::max(m_content->minimumWidth(), m_content->minimumSizeHint().width());
    int width = std::min(std::max(m_width, least + 48), this->width() - 40);
    // Above and below it keeps 10 at least, so a form framed to 460 still fits a window 480 high.
    const int room = this->height() - 20;
    int height = m_column->contentHeight(width - 48) + 48;
    if (height > room) {
        const int bar = m_column->verticalScrollBar()->sizeHint().width();
        width = std::min(width + bar, this->width() - 40);
        height = room;
    }
    const int free = this->height() - height;
    const int top = free >= 40 ? std::max(20, free / 3) : free / 2;
    return QRect((this->width() - width) / 2, top, width, height);
}

void SheetHost::layOut()
{
    ui::CardOverlay::layOut();
    if (m_content) {
        const QRect inner = cardRect().adjusted(24, 24, -24, -24);
        // A bar only when the content is taller than the card can be: the column would otherwise
        // show one while it settles on its width.
        const bool fits = m_column->contentHeight(inner.width()) <= inner.height();
        m_column->setVerticalScrollBarPolicy(fits ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
        m_column->setGeometry(inner);
    }
}

void SheetHost::escapePressed()
{
    Q_EMIT dismissedByUser();
}

} // namespace hf
