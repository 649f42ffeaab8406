#pragma once

// How the kit's widgets present themselves to assistive technologies: section labels (and
// any widget given to presentAsHeading) as headings, the segmented choice as a group, and marks,
// rules and logos hidden. Kit widgets call installKitAccessibility() themselves; calling it again
// does nothing. Once installed, every scroll area answers a child index out of range with nothing,
// as every other element does (Qt's own scroll area interface reads past its list there), every
// list, tree and table view answers a cell it does not have with an empty cell that is not there,
// and every text field finds the character, word or sentence at any offset at once (Qt's own
// search runs forever at the end of the text). The calls of the accessibility bus reach Qt's bridge
// through the kit too (see accessibility_bus.h).
//
// A row that shows several labels but means one thing is presented as one element, so each
// label is read once:
//
//     hf::ui::presentAsOne(row, QAccessible::StaticText);   // in the row's constructor
//     row->setAccessibleName(name);                          // what it is
//     hf::ui::setAccessibleValue(row, status);               // what it says now
//
// A present* call replaces an interface made for the widget before it (a base class's constructor
// may have made one); it belongs in the widget's constructor all the same, so that what a screen
// reader was told stays true.

#include <QAccessible>
#include <QAccessibleWidget>

class QComboBox;
class QWidget;

namespace hf::ui {

void installKitAccessibility();

// Hides a widget from assistive technologies (it reports itself invisible and nameless).
void hideFromAccessibility(QWidget* widget);

// Announces a widget as a heading, named by its accessible name or else, for a label, its text.
// Call it before anything asks for the widget's accessible interface (in its constructor).
void presentAsHeading(QWidget* widget);

// Presents `widget` as one element of `role` with none of its children exposed: its name is its
// accessible name (a button's text when it has none) followed by the text given to
// setAccessibleValue(), its value that text, its description its accessible description and never
// its tooltip. A button keeps its press action and, when checkable, its checked state (a radio
// button or a check box is "selected" while checked).
//
// The value is part of the name because the accessibility bus carries no value text: only a
// number through its value interface. A screen reader thus reads "Music, Removed" once.
void presentAsOne(QWidget* widget, QAccessible::Role role);
// Sets the accessible name a refresh computes; an unchanged name is not announced again, so a
// screen reader hears of real changes only.
void setAccessibleName(QWidget* widget, const QString& name);
// The value text of an element presented with presentAsOne(); a change is announced as a change
// of the name the bus reads.
void setAccessibleValue(QWidget* widget, const QString& value);
// Presents a pop-up choice (not editable) as one element named by its accessible name and its
// chosen entry, with the entry as its value; a press opens the list.
void presentAsChoice(QComboBox* box);
// "name, value", or whichever of the two is not empty: how an element with a value text is named.
QString spokenName(const QString& name, const QString& value);
// Whether an element presented with presentAsOne() reports itself selected; a change is announced.
void setAccessibleSelected(QWidget* widget, bool selected);
// Presents `widget` as a progress bar (its children hidden) whose value runs from 0 to 100 %;
// the value is given with setAccessibleProgress() as a fraction from 0 to 1.
void presentAsProgress(QWidget* widget);
void setAccessibleProgress(QWidget* widget, double fraction);

// Tells assistive technologies `message` once, as a notification shown in `window` (nothing is
// drawn): for what happened where no focus change or state says it, such as a row removed.
void announce(QWidget* window, const QString& message);

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
