#include "ui_kit/accessibility.h"

#include <QLabel>
#include <QVariant>
#include <QWidget>

#include <mutex>

namespace hf::ui {

namespace {

constexpr const char* hiddenProperty = "hfAccessibleHidden";
constexpr const char* headingProperty = "hfAccessibleHeading";

class HiddenInterface : public QAccessibleWidget {
public:
    explicit HiddenInterface(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
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

class HeadingInterface : public QAccessibleWidget {
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

QAccessibleInterface* kitFactory(const QString& key, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (widget->property(hiddenProperty).toBool())
        return new HiddenInterface(widget);
    if (widget->property(headingProperty).toBool())
        return new HeadingInterface(widget);
    if (key == QLatin1String("hf::ui::SegmentedChoice"))
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    return nullptr;
}

} // namespace

void installKitAccessibility()
{
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(kitFactory); });
}

void hideFromAccessibility(QWidget* widget)
{
    installKitAccessibility();
    widget->setProperty(hiddenProperty, true);
}

void presentAsHeading(QWidget* widget)
{
    installKitAccessibility();
    widget->setProperty(headingProperty, true);
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
