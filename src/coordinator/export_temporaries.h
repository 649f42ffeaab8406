#pragma once

// The temporary files exports write into the user's folders. Each file an export saves is copied
// under a temporary name beside its destination (".NAME.XXXXXXXX.part") and renamed over it only
// once complete. So that none outlives its export, each is recorded before it is made, in a small
// file of its own outside the user's folders ("Exports" in the caches folder), the record on the
// disk first; the record goes when the file took its destination's name or was removed.
//
// - The end of the process removes what its exports still have and stops their copies (endAll()).
// - A terminating signal that ends the process at once removes them from its handler
//   (removeAllFromSignalHandler()).
// - What neither could remove (the process was killed or crashed) the next start removes
//   (removeLeftovers()): only a file a record names, and only while it still looks like one of
//   these. Nothing else in the user's folders is ever touched.
//
// Thread-safe: the copies run on worker threads.

#include <QString>

#include <stop_token>

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
    // The temporary file took its destination's name: only its record goes.
    static void placed(const QString& temporary);
    // Removes the temporary file and its record.
    static void discard(const QString& temporary);

    // At start, before any export: removes every file a record names that is still there and
    // still looks like such a temporary (a regular file of this user, named as they are), and
    // the records; a record whose folder is not there (a disk not plugged in) waits for it.
    // Returns how many files went. Blocking.
    static int removeLeftovers();

    // The process ends: every temporary file still here goes with its record, the copies under
    // way stop at their next step, and no new one begins. Main thread, after the event loop.
    static void endAll();
    // The same for a signal handler about to end the process at once: removes the files and
    // their records, nothing more. Async-signal-safe.
    static void removeAllFromSignalHandler() noexcept;
};

} // namespace hf
