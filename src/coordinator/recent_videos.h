#pragma once

// The last 12 opened videos, most recent first, each with a reference to its file, its stored full
// result and a small thumbnail, kept across launches. The list is stored as JSON under
// "hf_recent_videos" after every change; thumbnails are JPEG files in the caches folder's
// "Recents", named after the entry's id.
//
// Confined to the main thread; every operation (including its small file work) runs synchronously
// and reports nothing: a failure leaves the list or the thumbnail as it best can.

#include "coordinator/file_reference.h"
#include "backend/job_records.h"
#include "backend/song_check_records.h"
#include "pipeline/separation_result.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/json.h"
#include "platform/settings_store.h"

#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>
#include <vector>

namespace hf {

class RecentVideos : public QObject {
    Q_OBJECT

public:
    using FileReference = hf::FileReference;

    // The persisted form of a full result.
    struct StoredResult {
        QString jobID;
        FileReference originalAudio;
        FileReference cleanAudio;
        FileReference dialogueStem;
        FileReference musicStem;
        FileReference effectsStem;
        double duration = 0;
        double ambience = 0;
        std::optional<ClaimCheck> claimCheck;
        std::optional<QDateTime> expiresAt;   // kept and handed back as it is, never acted on
        // The video's file as it was when it was opened for this clean; none in older lists.
        std::optional<SourceFingerprint> cleanedFrom;

        static StoredResult fromJson(const json::ObjectReader& in);
        void toJson(json::ObjectWriter& out) const;
        bool operator==(const StoredResult&) const = default;
    };

    struct Entry {
        QUuid id;                 // names the thumbnail file
        QString displayName;      // as when the entry was made
        double duration = 0;      // refreshed at every opening
        FileReference source;
        QString sourceKey;        // identifies the video (see sourceKey())
        std::optional<StoredResult> result;
        bool exported = false;
        QDateTime lastOpened;
        // The video's file as it was at its latest opening.
        std::optional<SourceFingerprint> opened;
        // Its full result was dropped to keep the cache within its bound; it needs a clean again.
        bool resultDropped = false;

        static Entry fromJson(const json::ObjectReader& in);
        void toJson(json::ObjectWriter& out) const;
        bool operator==(const Entry&) const = default;
    };

    static constexpr int maximumEntries = 12;
    static constexpr int thumbnailMaxPixelSize = 240;
    static inline const QString storageKey = QStringLiteral("hf_recent_videos");

    Q_PROPERTY(std::vector<hf::RecentVideos::Entry> entries READ entries NOTIFY entriesChanged)
    Q_PROPERTY(qint64 thumbnailRevision READ thumbnailRevision NOTIFY thumbnailRevisionChanged)

    // Loads the saved list from `defaults`; with none, the list lives in memory only. Working files
    // and thumbnails are looked for under `cachesFolder`.
    explicit RecentVideos(SettingsStore* defaults, QString cachesFolder = defaultCachesFolder(),
                          QObject* parent = nullptr);

    // The user's cache folder, where every working folder of the application lives.
    static QString defaultCachesFolder();

    const std::vector<Entry>& entries() const { return m_entries; }
    qint64 thumbnailRevision() const { return m_thumbnailRevision; }
    const QString& cachesFolder() const { return m_cachesFolder; }

    // Puts the video's entry at the front (making it when new) and keeps at most 12 entries.
    void noteOpened(const SourceVideo& video);
    // Stores a full result in its source video's entry; previews and unknown videos are ignored.
    // A result of another job than the one stored clears `exported`.
    void record(const SeparationResult& result);
    void markExported(const QUrl& sourceVideo);
    void setThumbnail(const QImage& image, const QUrl& sourceVideo);
    std::optional<QImage> thumbnail(const QUuid& id);
    void remove(const QUuid& id);
    void removeAll();

    // The entries other than the one of `location`, in list order (all with no location).
    std::vector<Entry> entries(const std::optional<QUrl>& excluding) const;
    // The entry's video file when its reference resolves and a file is there.
    std::optional<QUrl> sourceURL(const Entry& entry) const;
    // A full result rebuilt from the entry's stored one (with a new id), when every one of its
    // five files is still there inside the caches folder and the video's file is still the one
    // that was cleaned.
    std::optional<SeparationResult> restoredResult(const Entry& entry, const QUrl& sourceURL) const;
    // Whether the entry has a stored result and the file at `sourceURL` is no longer the one it
    // was cleaned from (other size, modification time or duration).
    bool sourceChangedSinceCleaned(const Entry& entry, const QUrl& sourceURL) const;
    // Drops the stored result of the entry `id` (its video changed since it was cleaned).
    void forgetResult(const QUuid& id);

    // The most the caches folder's working files may take, in bytes: 5 GB, or a quarter of the
    // space its disk has free (the cache's own files counted as free) when that is less.
    qint64 cacheLimit() const;
    // A bound of its own instead (a small one for a test); 0 returns to the default.
    void setCacheLimit(qint64 bytes) { m_cacheLimit = bytes; }
    // While the working files take more than cacheLimit(), drops the stored results of the
    // oldest entries first, never the newest one (the open video's), and deletes their files
    // (those inside the caches folder that no path of `inUse` names or holds). Such an entry keeps
    // `resultDropped` until it is cleaned again. Called after every stored result and at start.
    void keepCacheWithinLimit(const QStringList& inUse = {});
    // The bytes the working files under the caches folder take.
    qint64 cacheUsage() const;
    // cacheLimit() while the working files take `usage` bytes.
    qint64 cacheLimit(qint64 usage) const;
    // The working folders under the caches folder, by name.
    static const QStringList& workingFolders();

    // The identity of a file location: its path standardized, with symbolic links resolved.
    static QString sourceKey(const QUrl& location);

    QString thumbnailPath(const QUuid& id) const;

signals:
    void entriesChanged();
    void thumbnailRevisionChanged();

private:
    void load();
    void save();
    void trim();
    void setEntries(std::vector<Entry> entries);
    Entry* entryOf(const QUrl& location);
    static bool writeThumbnailJPEG(const QImage& image, const QString& path);

    SettingsStore* m_defaults;
    QString m_cachesFolder;
    std::vector<Entry> m_entries;
    QHash<QUuid, QImage> m_thumbnails;
    qint64 m_thumbnailRevision = 0;
    qint64 m_cacheLimit = 0;
};

// Seconds since 1 January 2001, 00:00:00 UTC: how dates are stored in the recent videos' JSON.
double referenceSeconds(const QDateTime& date);
QDateTime dateFromReferenceSeconds(double seconds);

} // namespace hf
