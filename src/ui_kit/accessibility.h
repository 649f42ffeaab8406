#pragma once

// How the kit's widgets present themselves to assistive technologies: section labels (and
// any widget given to presentAsHeading) as headings, the segmented choice as a group, and marks,
// rules and logos hidden. Kit widgets call installKitAccessibility() themselves; calling it again
// does nothing.
//
// A row that shows several labels but means one thing is presented as one element, so each
// label is read once:
//
//     hf::ui::presentAsOne(row, QAccessible::StaticText);   // in the row's constructor
//     row->setAccessibleName(name);                          // what it is
//     hf::ui::setAccessibleValue(row, status);               // what it says now
//
// The presentation is chosen when something first asks for the widget's accessible interface,
// so the present* calls belong in constructors.

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

// Presents `widget` as one element of `role` with none of its children exposed: its name is its
// accessible name, its value the text given to setAccessibleValue(), its description its
// accessible description. A button keeps its press action and, when checkable, its checked state
// (a radio button or a check box is "selected" while checked).
void presentAsOne(QWidget* widget, QAccessible::Role role);
// The value text of an element presented with presentAsOne(); a change is announced.
void setAccessibleValue(QWidget* widget, const QString& value);
// Whether an element presented with presentAsOne() reports itself selected; a change is announced.
void setAccessibleSelected(QWidget* widget, bool selected);
// Presents `widget` as a progress bar (its children hidden) whose value runs from 0 to 100 %;
// the value is given with setAccessibleProgress() as a fraction from 0 to 1.
void presentAsProgress(QWidget* widget);
void setAccessibleProgress(QWidget* widget, double fraction);

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
