#pragma once

// The temporary files exports write into the user's folders, and how an export's files are put in
// place. Each file an export saves is copied under a temporary name beside its destination
// (".NAME.XXXXXXXX.part") and put in place only once every file of the export is complete. So that
// none outlives its export, each is recorded before it is made, in a small file of its own outside
// the user's folders ("Exports" in the caches folder), the record on the disk first; the record
// goes when the file took its destination's name or was removed. The process that writes a file
// holds a lock on its record for as long as the file is its own (the kernel lets go of it when the
// process ends), so a record nobody holds is one whose export did not live to end.
//
// Putting an export's files in place (placeAll()) replaces what stood at their destinations all
// together or not at all: each file is swapped with the one it replaces where the file system can
// (the user's file then waits under the temporary's name), or else that one is first renamed aside
// (".NAME.XXXXXXXX.old"); the set is recorded before anything moves, and what was replaced goes
// only once every new file has its name.
//
// - The end of the process removes what its exports still have and stops their copies (endAll()).
// - A terminating signal that ends the process at once removes the copies and undoes a set being
//   put in place from its handler (removeAllFromSignalHandler()).
// - What neither could settle (the process was killed or crashed) the next start settles
//   (removeLeftovers()): a set the process was putting in place is finished when every new file
//   had its name, else what it replaced is put back; a copy is removed only while it still looks
//   like one. Nothing else in the user's folders is ever touched.
//
// Thread-safe: the copies run on worker threads.

#include <QString>

#include <stop_token>
#include <vector>

namespace hf {

class ExportTemporaries {
public:
    // The folder of the records ("Exports" in the application's caches folder, set at its start).
    // Without one no record is kept: only the process itself removes its temporary files.
    static void setRecordFolder(const QString& folder);
    static QString recordFolder();

    // Copies `source` into a new temporary file beside `destination` and returns the temporary's
    // path: recorded, complete, on the disk and closed. Throws FileSystemError naming the file
    // and the cause, or hf::Cancelled when `stop` is requested or the process ends; no temporary
    // file is left then. Blocking: run it off the main thread.
    static QString copyBeside(const QString& source, const QString& destination, const std::stop_token& stop);
    // Removes the temporary file and its record.
    static void discard(const QString& temporary);

    // One file of an export: its temporary copy (from copyBeside(); empty when the file is
    // already at its destination) and its destination. A file that may not replace one fails the
    // whole set when one is there.
    struct Placement {
        QString temporary;
        QString destination;
        bool mayReplace = true;
    };
    // Gives every temporary file its destination's name, all or none, and puts the names on the
    // disk before returning. Throws FileSystemError naming the file and the cause, or
    // hf::Cancelled when the process is ending; the destinations are then as they were. Every
    // temporary file and its record are gone afterwards either way.
    static void placeAll(const std::vector<Placement>& placements);

    // At start, before any export: settles what exports that did not end left. A set being put
    // in place is finished or undone (see above); a copy is removed while it is still there and
    // still looks like such a temporary (a regular file of this user, named as they are). Records
    // another running process holds are left alone, and so is one whose folder is not there (a
    // disk not plugged in), which waits for it. Returns how many files went or were put back.
    // Blocking.
    static int removeLeftovers();

    // The process ends: every temporary file still here goes with its record, the copies under
    // way stop at their next step, and no new one begins. Main thread, after the event loop.
    static void endAll();
    // The same for a signal handler about to end the process at once: removes the files and
    // their records, and undoes (or finishes, when every new file had its name) a set being put
    // in place; nothing more. Async-signal-safe.
    static void removeAllFromSignalHandler() noexcept;
};

} // namespace hf
