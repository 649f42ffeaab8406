#pragma once

// Keeps the caches folder to what can still be used. The working folders under it ("Work" with
// the open video's job folders and the exports' working copies, "Jobs" with the downloaded
// stems, "Batch" with the queue's job folders, "Imports" with copies of dropped movies, and
// "Recents" with the thumbnails) are swept at start: every item in them that neither a recent
// video (its file, its stored result, its thumbnail) nor a queued job (its folder, its source,
// its output) uses is removed. An export's own working copies go when the export ends (the
// exporter and the coordinator see to that); the sweep also catches those of an export that
// never ended, as when the application was killed.

#include "coordinator/batch_job.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

namespace hf {

class RecentVideos;

class CacheCleanup {
public:
    // The working folders under the caches folder that the sweep looks into.
    static const QStringList& workingFolders();

    // The paths that the recent videos and the queue's jobs still use: files and folders.
    static QStringList referencedPaths(const RecentVideos& recents, const std::vector<BatchJob>& jobs,
                                       const QString& batchFolder);
    // Those of them that the queue's jobs use.
    static QStringList queuedPaths(const std::vector<BatchJob>& jobs, const QString& batchFolder);

    // Removes every item directly inside one of the working folders of `cachesFolder` that is not
    // one of `keep`, holds none of `keep`, and was last changed before `before` (whatever is made
    // while the sweep runs stays). Returns the number of items removed. Blocking.
    static int sweep(const QString& cachesFolder, const QStringList& keep, const QDateTime& before);

};

} // namespace hf
