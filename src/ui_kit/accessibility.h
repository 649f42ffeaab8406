#pragma once

// How the kit's widgets present themselves to assistive technologies: section labels (and
// any widget given to presentAsHeading) as headings, the segmented choice as a group, and marks, rules and logos hidden. Kit widgets
// call installKitAccessibility() themselves; calling it again does nothing.

#include <QAccessible>
#include <QAccessibleWidget>

class QWidget;

namespace hf::ui {

void installKitAccessibility();

// Hides a widget from assistive technologies (it reports itself invisible and nameless).
void hideFromAccessibility(QWidget* widget);

// Announces a widget as a heading, named by its accessible name or else, for a label, its text.
// Call it before anything asks for the widget's accessible interface (in its constructor).
void presentAsHeading(QWidget* widget);

// A widget presented as a slider: its value through the value interface, and increase and decrease
// actions that move it by minimumStepSize() through setCurrentValue(). Subclasses give the texts,
// the value, its bounds and step, and apply a new value in setCurrentValue().
class AccessibleSlider : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleSlider(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override;
    QStringList actionNames() const override;
    void doAction(const QString& name) override;
};

} // namespace hf::ui
