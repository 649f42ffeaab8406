#pragma once

// Qt's bridge to the desktop's accessibility bus, stood in front of: every call a screen reader
// makes reaches it through the kit, which answers itself what the bridge would crash on, leave
// unanswered or answer wrong:
//   - a call whose arguments are not those the bridge declares for it, and a property call with
//     too few arguments;
//   - all the properties of an interface at once (GetAll): none are sent, each is read alone;
//   - a table's properties and methods asked of an element that is not a table (a cell);
//   - a value set by a method call rather than a property call;
//   - text inserted: cut to the length given, and only at a place inside the text;
//   - the text ranges in an area (none), which the bridge never answers;
//   - the cell at an index of a table, which is not found outside the table.
// The bridge may connect to the bus late (when the bus appears, or a screen reader starts): the
// kit stands in front of it each time it turns accessibility on.

namespace hf::ui {

// Called by installKitAccessibility().
void standInFrontOfAccessibilityBus();

} // namespace hf::ui
