#pragma once

// How the kit's widgets present themselves to assistive technologies: section labels as
// headings, the segmented choice as a group, and marks, rules and logos hidden. Kit widgets
// call installKitAccessibility() themselves; calling it again does nothing.

#include <QAccessible>

class QWidget;

namespace hf::ui {

void installKitAccessibility();

// Hides a widget from assistive technologies (it reports itself invisible and nameless).
void hideFromAccessibility(QWidget* widget);

} // namespace hf::ui
