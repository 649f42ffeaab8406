#include "ui_kit/accessibility.h"

#include "platform/texts.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAccessibleObject>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QScrollBar>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>

#include <mutex>

namespace hf::ui {

namespace {

constexpr const char* hiddenProperty = "hfAccessibleHidden";
constexpr const char* headingProperty = "hfAccessibleHeading";
constexpr const char* roleProperty = "hfAccessibleRole";
constexpr const char* valueProperty = "hfAccessibleValue";
constexpr const char* selectedProperty = "hfAccessibleSelected";
constexpr const char* progressProperty = "hfAccessibleProgress";

// What the kit's own interfaces have in common: an interface that is not one was made before the
// widget was presented, and is replaced.
class KitInterface {
public:
    virtual ~KitInterface() = default;
};

class HiddenInterface : public QAccessibleWidget, public KitInterface {
public:
    // A filler: the neutral role of a container, so that nothing reads it as an unknown control.
    explicit HiddenInterface(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Client) {}
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = true;
        s.focusable = false;
        return s;
    }
    QString text(QAccessible::Text) const override { return {}; }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
};

class HeadingInterface : public QAccessibleWidget, public KitInterface {
public:
    explicit HeadingInterface(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Heading) {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            if (auto* label = qobject_cast<QLabel*>(widget()))
                return label->text();
        return QAccessibleWidget::text(t);
    }
};

// An element that shows none of the widgets inside it.
class ChildlessInterface : public QAccessibleWidget, public KitInterface {
public:
    ChildlessInterface(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
};

// One element for a widget and everything in it.
class OneInterface : public ChildlessInterface {
public:
    OneInterface(QWidget* widget, QAccessible::Role role) : ChildlessInterface(widget, role) {}

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Value: return widget()->property(valueProperty).toString();
        case QAccessible::Name: return spokenName(ownName(), text(QAccessible::Value));
        // What the element says is in its name and value; a tooltip repeating the name is not
        // read a second time as its description.
        case QAccessible::Description: return widget()->accessibleDescription();
        default: return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        if (const QVariant selected = widget()->property(selectedProperty); selected.isValid()) {
            s.selectable = true;
            s.selected = selected.toBool();
        }
        if (auto* button = button_()) {
            if (button->isDown())
                s.pressed = true;
            if (button->isCheckable()) {
                s.checkable = true;
                s.checked = button->isChecked();
                if (role() == QAccessible::RadioButton || role() == QAccessible::CheckBox) {
                    s.selectable = true;
                    s.selected = button->isChecked();
                }
            }
        }
        return s;
    }

    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (auto* button = button_(); button && button->isEnabled()) {
            names.prepend(button->isCheckable() ? toggleAction() : pressAction());
        }
        return names;
    }

    void doAction(const QString& name) override
    {
        auto* button = button_();
        if (button && button->isEnabled() && (name == pressAction() || name == toggleAction())) {
            button->click();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

protected:
    QAbstractButton* button_() const { return qobject_cast<QAbstractButton*>(widget()); }
    QString ownName() const
    {
        if (!widget()->accessibleName().isEmpty())
            return widget()->accessibleName();
        if (auto* button = button_())
            return button->text();
        return {};
    }
};

class ProgressInterface : public OneInterface, public QAccessibleValueInterface {
public:
    explicit ProgressInterface(QWidget* widget) : OneInterface(widget, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return OneInterface::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QLocale().toString(percent()) + QStringLiteral(" %");
        // The bus carries the number through the value interface; the name stays the name.
        if (t == QAccessible::Name)
            return ownName();
        return OneInterface::text(t);
    }
    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    int percent() const
    {
        const double fraction = widget()->property(progressProperty).toDouble();
        return int(std::lround(std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0) * 100));
    }
};

// A closed pop-up choice: named by its accessible name and its chosen entry, a press opens it.
// The list the choice opens is a window of its own; it is not a part of the closed choice.
class ChoiceInterface : public ChildlessInterface {
public:
    explicit ChoiceInterface(QComboBox* box) : ChildlessInterface(box, QAccessible::ComboBox) {}
    QComboBox* box() const { return static_cast<QComboBox*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return spokenName(widget()->accessibleName(), box()->currentText());
        case QAccessible::Value: return box()->currentText();
        case QAccessible::Description: return widget()->accessibleDescription();
        default: return QAccessibleWidget::text(t);
        }
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = box()->view() && box()->view()->isVisible();
        return s;
    }
    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (box()->isEnabled())
            names.prepend(showMenuAction());
        return names;
    }
    void doAction(const QString& name) override
    {
        if (name == showMenuAction() || name == pressAction()) {
            if (box()->isEnabled())
                box()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(name);
    }
};

// The application at the root of the tree: its windows, and also the pop-ups that belong to no
// menu bar or menu (a row's context menu). Those name the application as their parent, so it lists
// them after its windows while they show, and a screen reader finds them under it.
class ApplicationInterface : public QAccessibleApplication, public KitInterface {
public:
    int childCount() const override { return QAccessibleApplication::childCount() + int(popups().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const int windows = QAccessibleApplication::childCount();
        if (index < windows)
            return QAccessibleApplication::child(index);
        const QObjectList list = popups();
        return index - windows < list.size() ? QAccessible::queryAccessibleInterface(list.at(index - windows)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (const int index = QAccessibleApplication::indexOfChild(child); index >= 0)
            return index;
        const int popup = child ? int(popups().indexOf(child->object())) : -1;
        return popup < 0 ? -1 : QAccessibleApplication::childCount() + popup;
    }
    QAccessibleInterface* focusChild() const override
    {
        if (QWidget* popup = QApplication::activePopupWidget(); popup && popups().contains(popup))
            return QAccessible::queryAccessibleInterface(popup);
        return QAccessibleApplication::focusChild();
    }

private:
    static QObjectList popups()
    {
        QObjectList list;
        for (QWindow* window : QGuiApplication::topLevelWindows()) {
            if (window->type() != Qt::Popup || !window->isVisible())
                continue;
            QAccessibleInterface* root = window->accessibleRoot();
            QAccessibleInterface* parent = root ? root->parent() : nullptr;
            if (parent && parent->object() == qApp)
                list << root->object();
        }
        return list;
    }
};

// A scroll area as Qt presents it (its viewport, then the containers of the scroll bars that show,
// then a corner widget that shows), but answering a child index out of range with nothing: a
// screen reader asks by an index from a count it read a moment before, and a scroll bar that hid
// meanwhile has made the list shorter. Qt's own interface reads past the list's end there.
class ScrollAreaInterface : public QAccessibleWidget {
public:
    explicit ScrollAreaInterface(QAbstractScrollArea* area) : QAccessibleWidget(area, QAccessible::Client) {}

    bool isValid() const override { return QAccessibleWidget::isValid() && area()->viewport(); }
    int childCount() const override { return int(parts().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QWidgetList list = parts();
        return index >= 0 && index < list.size() ? QAccessible::queryAccessibleInterface(list.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child || !child->object() || !child->object()->isWidgetType())
            return -1;
        return int(parts().indexOf(static_cast<QWidget*>(child->object())));
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        if (!area()->isVisible())
            return nullptr;
        for (QWidget* part : parts())
            if (QRect(part->mapToGlobal(QPoint(0, 0)), part->size()).contains(x, y))
                return QAccessible::queryAccessibleInterface(part);
        return nullptr;
    }

private:
    QAbstractScrollArea* area() const { return static_cast<QAbstractScrollArea*>(widget()); }
    QWidgetList parts() const
    {
        QWidgetList list;
        if (QWidget* viewport = area()->viewport())
            list << viewport;
        for (QScrollBar* bar : {area()->horizontalScrollBar(), area()->verticalScrollBar()})
            if (bar && bar->isVisible() && bar->parentWidget())
                list << bar->parentWidget();
        if (QWidget* corner = area()->cornerWidget(); corner && corner->isVisible())
            list << corner;
        return list;
    }
};

QAccessibleInterface* kitFactory(const QString& key, QObject* object)
{
    if (object && object == qApp && key == QLatin1String(object->metaObject()->className()))
        return new ApplicationInterface;
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (widget->property(hiddenProperty).toBool())
        return new HiddenInterface(widget);
    if (widget->property(headingProperty).toBool())
        return new HeadingInterface(widget);
    if (widget->property(progressProperty).isValid())
        return new ProgressInterface(widget);
    if (const QVariant role = widget->property(roleProperty); role.isValid()) {
        if (auto* box = qobject_cast<QComboBox*>(widget); box && role.toInt() == QAccessible::ComboBox)
            return new ChoiceInterface(box);
        return new OneInterface(widget, QAccessible::Role(role.toInt()));
    }
    if (key == QLatin1String("hf::ui::SegmentedChoice"))
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    // Where Qt would give a scroll area its own interface: a class of its own (a text field, an
    // item view) has already been answered by then.
    if (key == QLatin1String("QScrollArea") || key == QLatin1String("QAbstractScrollArea"))
        return new ScrollAreaInterface(static_cast<QAbstractScrollArea*>(widget));
    return nullptr;
}

// Makes the widget's interface the kit's: one made earlier (a base class's constructor may have
// announced a change) is dropped, and the next query makes it anew.
void represent(QWidget* widget)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    if (iface && !dynamic_cast<KitInterface*>(iface))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
}

} // namespace

void installKitAccessibility()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QAccessible::installFactory(kitFactory);
        // An application interface made before this one is dropped; the next query makes the kit's.
        if (qApp)
            if (QAccessibleInterface* app = QAccessible::queryAccessibleInterface(qApp); app && !dynamic_cast<KitInterface*>(app))
                QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(app));
    });
}

void hideFromAccessibility(QWidget* widget)
{
    installKitAccessibility();
    widget->setProperty(hiddenProperty, true);
    represent(widget);
}

void presentAsHeading(QWidget* widget)
{
    installKitAccessibility();
    widget->setProperty(headingProperty, true);
    represent(widget);
}

void presentAsChoice(QComboBox* box)
{
    presentAsOne(box, QAccessible::ComboBox);
}

void presentAsOne(QWidget* widget, QAccessible::Role role)
{
    installKitAccessibility();
    widget->setProperty(roleProperty, int(role));
    represent(widget);
}

QString spokenName(const QString& name, const QString& value)
{
    if (value.isEmpty())
        return name;
    if (name.isEmpty())
        return value;
    return hf::text("ui.accessibility.nameAndValue", "%@, %@", {name, value});
}

void setAccessibleName(QWidget* widget, const QString& name)
{
    if (widget->accessibleName() != name)
        widget->setAccessibleName(name);
}

void setAccessibleValue(QWidget* widget, const QString& value)
{
    if (widget->property(valueProperty).toString() == value && widget->property(valueProperty).isValid())
        return;
    widget->setProperty(valueProperty, value);
    // The value is read as part of the name (see spokenName), so the name is what changed.
    QAccessibleEvent event(widget, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void setAccessibleSelected(QWidget* widget, bool selected)
{
    const QVariant before = widget->property(selectedProperty);
    if (before.isValid() && before.toBool() == selected)
        return;
    widget->setProperty(selectedProperty, selected);
    // The bus turns a selection event into the element's "selected" state change.
    QAccessibleEvent event(widget, selected ? QAccessible::SelectionAdd : QAccessible::SelectionRemove);
    QAccessible::updateAccessibility(&event);
}

void presentAsProgress(QWidget* widget)
{
    installKitAccessibility();
    if (!widget->property(progressProperty).isValid())
        widget->setProperty(progressProperty, 0.0);
    represent(widget);
}

void setAccessibleProgress(QWidget* widget, double fraction)
{
    const double before = widget->property(progressProperty).toDouble();
    widget->setProperty(progressProperty, fraction);
    if (std::lround(before * 100) != std::lround(fraction * 100)) {
        QAccessibleValueChangeEvent event(widget, int(std::lround(std::clamp(fraction, 0.0, 1.0) * 100)));
        QAccessible::updateAccessibility(&event);
    }
}

void announce(QWidget* window, const QString& message)
{
    if (!window || message.isEmpty())
        return;
    window = window->window();
    auto* note = window->findChild<QWidget*>(QStringLiteral("hf.announcement"), Qt::FindDirectChildrenOnly);
    if (!note) {
        note = new QWidget(window);
        note->setObjectName(QStringLiteral("hf.announcement"));
        note->setAttribute(Qt::WA_TransparentForMouseEvents);
        note->setFocusPolicy(Qt::NoFocus);
        note->setGeometry(0, 0, 1, 1);
        presentAsOne(note, QAccessible::Notification);
        // Gone again once read, so no stale notice stays in the window for a later review.
        auto* expiry = new QTimer(note);
        expiry->setSingleShot(true);
        expiry->setInterval(10000);
        QObject::connect(expiry, &QTimer::timeout, note, &QWidget::hide);
    }
    // Shown anew for each message: a screen reader speaks a notification as it appears.
    note->hide();
    note->setAccessibleName(message);
    note->show();
    note->lower();
    note->findChild<QTimer*>()->start();
}

void* AccessibleSlider::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QStringList AccessibleSlider::actionNames() const
{
    return {increaseAction(), decreaseAction()};
}

void AccessibleSlider::doAction(const QString& name)
{
    const double now = currentValue().toDouble();
    const double step = minimumStepSize().toDouble();
    if (name == increaseAction())
        setCurrentValue(now + step);
    else if (name == decreaseAction())
        setCurrentValue(now - step);
}

} // namespace hf::ui
