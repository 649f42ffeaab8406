#include "coordinator/cache_cleanup.h"

#include "coordinator/recent_videos.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace hf {

HF_LOGGING_CATEGORY(lcCacheCleanup, "CacheCleanup")

namespace {

// The path with "." and ".." resolved and, where the file exists, symbolic links too.
QString normalised(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

// Whether `item` is one of `keep` or holds one of them.
bool isUsed(const QString& item, const QStringList& keep)
{
    const QString prefix = item + QLatin1Char('/');
    for (const QString& path : keep)
        if (path == item || path.startsWith(prefix))
            return true;
    return false;
}

} // namespace

const QStringList& CacheCleanup::workingFolders()
{
    return RecentVideos::workingFolders();
}

QStringList CacheCleanup::referencedPaths(const RecentVideos& recents, const std::vector<BatchJob>& jobs,
                                          const QString& batchFolder)
{
    QStringList paths;
    const auto add = [&paths](const std::optional<QUrl>& url) {
        if (url && url->isLocalFile())
            paths << url->toLocalFile();
    };
    const QString caches = recents.cachesFolder();
    for (const RecentVideos::Entry& entry : recents.entries()) {
        add(resolveFileReference(entry.source, caches));
        paths << recents.thumbnailPath(entry.id);
        if (!entry.result)
            continue;
        for (const FileReference* file : {&entry.result->originalAudio, &entry.result->cleanAudio,
                                          &entry.result->dialogueStem, &entry.result->musicStem,
                                          &entry.result->effectsStem})
            add(resolveFileReference(*file, caches));
    }
    return paths + queuedPaths(jobs, batchFolder);
}

QStringList CacheCleanup::queuedPaths(const std::vector<BatchJob>& jobs, const QString& batchFolder)
{
    QStringList paths;
    const auto add = [&paths](const std::optional<QUrl>& url) {
        if (url && url->isLocalFile())
            paths << url->toLocalFile();
    };
    for (const BatchJob& job : jobs) {
        paths << QDir(batchFolder).filePath(job.id.toString(QUuid::WithoutBraces).toUpper());
        add(job.sourceVideoURL);
        if (job.status.isCompleted())
            add(job.status.videoURL());
    }
    return paths;
}

int CacheCleanup::sweep(const QString& cachesFolder, const QStringList& keep, const QDateTime& before)
{
    QStringList kept;
    kept.reserve(keep.size());
    for (const QString& path : keep)
        kept << normalised(path);

    int removed = 0;
    for (const QString& name : workingFolders()) {
        const QDir folder(QDir(cachesFolder).filePath(name));
        if (!folder.exists())
            continue;
        const QFileInfoList items =
            folder.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo& item : items) {
            const QString path = normalised(item.absoluteFilePath());
            if (isUsed(path, kept) || isUsed(QDir::cleanPath(item.absoluteFilePath()), kept))
                continue;
            if (item.lastModified() >= before)
                continue;
            const bool gone = item.isDir() && !item.isSymLink() ? QDir(item.absoluteFilePath()).removeRecursively()
                                                                : QFile::remove(item.absoluteFilePath());
            if (gone)
                ++removed;
            else
                qCWarning(lcCacheCleanup, "Couldn't remove %s from the cache", qUtf8Printable(item.fileName()));
        }
    }
    if (removed > 0)
        qCInfo(lcCacheCleanup, "Removed %d unused items from the cache", removed);
    return removed;
}

} // namespace hf
