#pragma once

// Qt's bridge to the desktop's accessibility bus, stood in front of: every call a screen reader
// makes reaches it through the kit, which answers itself what the bridge would crash on, leave
// unanswered or answer wrong:
//   - a call whose arguments are not those the bridge declares for it, and a property call with
//     too few arguments (GetAll of a whole interface among them: its properties are not sent);
//   - the text ranges in an area (none), which the bridge never answers;
//   - the cell at an index of a table, which is not found outside the table.
// The bridge may connect to the bus late (when the bus appears, or a screen reader starts): the
// kit stands in front of it each time it does.

namespace hf::ui {

// Called by installKitAccessibility().
void standInFrontOfAccessibilityBus();

} // namespace hf::ui
