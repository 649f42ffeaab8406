#include "coordinator/recent_videos.h"

#include "platform/logging.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonArray>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <limits>

namespace hf {

namespace {

// 1 January 2001, 00:00:00 UTC, in seconds since the Unix epoch.
constexpr double referenceEpoch = 978307200.0;

QString uuidText(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QUuid readUuid(const json::ObjectReader& in, const QString& key)
{
    const QString text = in.required<QString>(key);
    const QUuid id = text.size() == 36 ? QUuid::fromString(text) : QUuid();
    if (id.isNull())
        throw DecodingError(DecodingError::Kind::dataCorrupted, json::joinPath(in.path(), key),
                            QStringLiteral("Not a UUID"));
    return id;
}

QDateTime readDate(const json::ObjectReader& in, const QString& key, double seconds)
{
    // Far outside any date this application writes; also keeps the conversion below in range.
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e12)
        throw DecodingError(DecodingError::Kind::dataCorrupted, json::joinPath(in.path(), key),
                            QStringLiteral("Date out of range"));
    return dateFromReferenceSeconds(seconds);
}

// JSON cannot hold NaN or an infinity: such a value would be written as null and break the
// stored list, so the list is not saved at all.
bool allNumbersFinite(const QJsonValue& value)
{
    if (value.isDouble())
        return std::isfinite(value.toDouble());
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::all_of(array.begin(), array.end(), [](const QJsonValue& v) { return allNumbersFinite(v); });
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        return std::all_of(object.begin(), object.end(), [](const QJsonValue& v) { return allNumbersFinite(v); });
    }
    return true;
}

// The JSON form of a file's fingerprint: {"size", "modified" (a date), "duration"}.
struct FingerprintRecord {
    SourceFingerprint value;

    static FingerprintRecord fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const
    {
        out.put(QStringLiteral("size"), double(value.size));
        out.put(QStringLiteral("modified"),
                referenceSeconds(QDateTime::fromMSecsSinceEpoch(value.modified, QTimeZone::utc())));
        out.put(QStringLiteral("duration"), value.duration);
    }
};

std::optional<SourceFingerprint> readFingerprint(const json::ObjectReader& in, const QString& key)
{
    const std::optional<FingerprintRecord> record = in.optional<FingerprintRecord>(key);
    return record ? std::optional<SourceFingerprint>(record->value) : std::nullopt;
}

void writeFingerprint(json::ObjectWriter& out, const QString& key, const std::optional<SourceFingerprint>& fingerprint)
{
    if (fingerprint)
        out.put(key, FingerprintRecord{*fingerprint});
}

} // namespace

double referenceSeconds(const QDateTime& date)
{
    if (!date.isValid())
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(date.toMSecsSinceEpoch()) / 1000.0 - referenceEpoch;
}

QDateTime dateFromReferenceSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(std::llround((seconds + referenceEpoch) * 1000.0), Qt::UTC);
}

// MARK: coding

namespace {

FingerprintRecord FingerprintRecord::fromJson(const json::ObjectReader& in)
{
    FingerprintRecord r;
    r.value.size = static_cast<qint64>(in.required<double>(QStringLiteral("size")));
    r.value.modified =
        readDate(in, QStringLiteral("modified"), in.required<double>(QStringLiteral("modified"))).toMSecsSinceEpoch();
    r.value.duration = in.required<double>(QStringLiteral("duration"));
    return r;
}

} // namespace

RecentVideos::StoredResult RecentVideos::StoredResult::fromJson(const json::ObjectReader& in)
{
    StoredResult r;
    r.jobID = in.required<QString>(QStringLiteral("jobID"));
    r.originalAudio = in.required<FileReference>(QStringLiteral("originalAudio"));
    r.cleanAudio = in.required<FileReference>(QStringLiteral("cleanAudio"));
    r.dialogueStem = in.required<FileReference>(QStringLiteral("dialogueStem"));
    r.musicStem = in.required<FileReference>(QStringLiteral("musicStem"));
    r.effectsStem = in.required<FileReference>(QStringLiteral("effectsStem"));
    r.duration = in.required<double>(QStringLiteral("duration"));
    r.ambience = in.required<double>(QStringLiteral("ambience"));
    r.claimCheck = in.optional<ClaimCheck>(QStringLiteral("claimCheck"));
    if (auto seconds = in.optional<double>(QStringLiteral("expiresAt")))
        r.expiresAt = readDate(in, QStringLiteral("expiresAt"), *seconds);
    r.cleanedFrom = readFingerprint(in, QStringLiteral("cleanedFrom"));
    return r;
}

void RecentVideos::StoredResult::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("jobID"), jobID);
    out.put(QStringLiteral("originalAudio"), originalAudio);
    out.put(QStringLiteral("cleanAudio"), cleanAudio);
    out.put(QStringLiteral("dialogueStem"), dialogueStem);
    out.put(QStringLiteral("musicStem"), musicStem);
    out.put(QStringLiteral("effectsStem"), effectsStem);
    out.put(QStringLiteral("duration"), duration);
    out.put(QStringLiteral("ambience"), ambience);
    out.put(QStringLiteral("claimCheck"), claimCheck);
    if (expiresAt)
        out.put(QStringLiteral("expiresAt"), referenceSeconds(*expiresAt));
    writeFingerprint(out, QStringLiteral("cleanedFrom"), cleanedFrom);
}

RecentVideos::Entry RecentVideos::Entry::fromJson(const json::ObjectReader& in)
{
    Entry e;
    e.id = readUuid(in, QStringLiteral("id"));
    e.displayName = in.required<QString>(QStringLiteral("displayName"));
    e.duration = in.required<double>(QStringLiteral("duration"));
    e.source = in.required<FileReference>(QStringLiteral("source"));
    e.sourceKey = in.required<QString>(QStringLiteral("sourceKey"));
    e.result = in.optional<StoredResult>(QStringLiteral("result"));
    e.exported = in.required<bool>(QStringLiteral("exported"));
    e.lastOpened = readDate(in, QStringLiteral("lastOpened"), in.required<double>(QStringLiteral("lastOpened")));
    e.opened = readFingerprint(in, QStringLiteral("opened"));
    e.resultDropped = in.optional<bool>(QStringLiteral("resultDropped")).value_or(false);
    return e;
}

void RecentVideos::Entry::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("id"), uuidText(id));
    out.put(QStringLiteral("displayName"), displayName);
    out.put(QStringLiteral("duration"), duration);
    out.put(QStringLiteral("source"), source);
    out.put(QStringLiteral("sourceKey"), sourceKey);
    out.put(QStringLiteral("result"), result);
    out.put(QStringLiteral("exported"), exported);
    out.put(QStringLiteral("lastOpened"), referenceSeconds(lastOpened));
    writeFingerprint(out, QStringLiteral("opened"), opened);
    if (resultDropped)
        out.put(QStringLiteral("resultDropped"), true);
}

// MARK: the store

RecentVideos::RecentVideos(SettingsStore* defaults, QString cachesFolder, QObject* parent)
    : QObject(parent), m_defaults(defaults), m_cachesFolder(std::move(cachesFolder))
{
    load();
}

QString RecentVideos::defaultCachesFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString RecentVideos::sourceKey(const QUrl& location)
{
    if (!location.isLocalFile())
        return location.toString();
    return resolvedFilePath(location.toLocalFile());
}

QString RecentVideos::thumbnailPath(const QUuid& id) const
{
    if (m_cachesFolder.isEmpty())
        return {};
    return m_cachesFolder + QStringLiteral("/Recents/") + uuidText(id) + QStringLiteral(".jpg");
}

void RecentVideos::load()
{
    if (!m_defaults)
        return;
    const auto stored = m_defaults->json(storageKey);
    if (!stored || !stored->isArray())
        return;
    // An entry that does not decode is left out on its own; the others stay. It disappears from
    // the stored value at the next save.
    const QJsonArray array = stored->toArray();
    std::vector<Entry> entries;
    for (qsizetype i = 0; i < array.size(); ++i) {
        try {
            entries.push_back(json::decode<Entry>(array.at(i), json::joinPath(QString(), i)));
        } catch (const DecodingError&) {
        }
    }
    m_entries = std::move(entries);
}

void RecentVideos::save()
{
    if (!m_defaults)
        return;
    const QJsonValue encoded = json::encode(m_entries);
    if (!allNumbersFinite(encoded))
        return;
    m_defaults->setJson(storageKey, encoded);
}

void RecentVideos::setEntries(std::vector<Entry> entries)
{
    if (entries == m_entries)
        return;
    m_entries = std::move(entries);
    emit entriesChanged();
}

RecentVideos::Entry* RecentVideos::entryOf(const QUrl& location)
{
    const QString key = sourceKey(location);
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.sourceKey == key; });
    return it == m_entries.end() ? nullptr : &*it;
}

void RecentVideos::noteOpened(const SourceVideo& video)
{
    const QString key = sourceKey(video.url);
    std::vector<Entry> entries = m_entries;
    auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.sourceKey == key; });
    Entry entry;
    if (it != entries.end()) {
        entry = *it;
        entries.erase(it);
    } else {
        entry.id = QUuid::createUuid();
        entry.displayName = video.displayName;
        entry.source = fileReference(video.url, m_cachesFolder);
        entry.sourceKey = key;
    }
    entry.duration = video.duration;
    entry.lastOpened = QDateTime::currentDateTimeUtc();
    entry.opened = video.fingerprint ? video.fingerprint
                                     : SourceFingerprint::of(video.url.toLocalFile(), video.duration);
    entries.insert(entries.begin(), std::move(entry));

    // Only an opening trims, so a longer list read at start-up stays until the next opening.
    while (entries.size() > static_cast<size_t>(maximumEntries)) {
        const QUuid id = entries.back().id;
        entries.pop_back();
        m_thumbnails.remove(id);
        QFile::remove(thumbnailPath(id));
    }
    setEntries(std::move(entries));
    save();
}

void RecentVideos::record(const SeparationResult& result)
{
    if (result.kind != JobKind::full)
        return;
    Entry* found = entryOf(result.sourceVideoURL);
    if (!found)
        return;
    const auto index = found - m_entries.data();

    StoredResult stored;
    stored.jobID = result.jobID;
    stored.originalAudio = fileReference(result.originalAudioURL, m_cachesFolder);
    stored.cleanAudio = fileReference(result.cleanAudioURL, m_cachesFolder);
    stored.dialogueStem = fileReference(result.dialogueStemURL, m_cachesFolder);
    stored.musicStem = fileReference(result.musicStemURL, m_cachesFolder);
    stored.effectsStem = fileReference(result.effectsStemURL, m_cachesFolder);
    stored.duration = result.duration;
    stored.ambience = result.ambience;
    stored.claimCheck = result.claimCheck;
    stored.expiresAt = result.expiresAt;

    std::vector<Entry> entries = m_entries;
    Entry& entry = entries[static_cast<size_t>(index)];
    const bool sameJob = entry.result && entry.result->jobID == result.jobID;
    // A job's result was cleaned from the file as it was opened then; a re-mix or a song check
    // of the same job keeps that.
    stored.cleanedFrom = sameJob ? entry.result->cleanedFrom : entry.opened;
    entry.result = std::move(stored);
    entry.resultDropped = false;
    if (!sameJob)
        entry.exported = false;
    setEntries(std::move(entries));
    save();
    keepCacheWithinLimit();
}

void RecentVideos::markExported(const QUrl& sourceVideo)
{
    Entry* found = entryOf(sourceVideo);
    if (!found)
        return;
    std::vector<Entry> entries = m_entries;
    entries[static_cast<size_t>(found - m_entries.data())].exported = true;
    setEntries(std::move(entries));
    save();
}

void RecentVideos::setThumbnail(const QImage& image, const QUrl& sourceVideo)
{
    const Entry* found = entryOf(sourceVideo);
    if (!found)
        return;
    const QUuid id = found->id;
    m_thumbnails.insert(id, image);
    writeThumbnailJPEG(image, thumbnailPath(id));
    ++m_thumbnailRevision;
    emit thumbnailRevisionChanged();
}

std::optional<QImage> RecentVideos::thumbnail(const QUuid& id)
{
    if (auto it = m_thumbnails.constFind(id); it != m_thumbnails.constEnd())
        return *it;
    QImageReader reader(thumbnailPath(id));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    m_thumbnails.insert(id, image);
    return image;
}

void RecentVideos::remove(const QUuid& id)
{
    std::vector<Entry> entries;
    std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(entries),
                 [&](const Entry& e) { return e.id != id; });
    m_thumbnails.remove(id);
    QFile::remove(thumbnailPath(id));
    setEntries(std::move(entries));
    save();
}

void RecentVideos::removeAll()
{
    for (const Entry& entry : m_entries)
        QFile::remove(thumbnailPath(entry.id));
    m_thumbnails.clear();
    setEntries({});
    save();
}

std::vector<RecentVideos::Entry> RecentVideos::entries(const std::optional<QUrl>& excluding) const
{
    if (!excluding)
        return m_entries;
    const QString key = sourceKey(*excluding);
    std::vector<Entry> others;
    std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(others),
                 [&](const Entry& e) { return e.sourceKey != key; });
    return others;
}

std::optional<QUrl> RecentVideos::sourceURL(const Entry& entry) const
{
    auto location = resolveFileReference(entry.source, m_cachesFolder);
    if (!location || !QFileInfo::exists(location->toLocalFile()))
        return std::nullopt;
    return location;
}

std::optional<SeparationResult> RecentVideos::restoredResult(const Entry& entry, const QUrl& sourceURL) const
{
    if (!entry.result || sourceChangedSinceCleaned(entry, sourceURL))
        return std::nullopt;
    const StoredResult& stored = *entry.result;
    QUrl files[5];
    const FileReference* references[5] = {&stored.originalAudio, &stored.cleanAudio, &stored.dialogueStem,
                                          &stored.musicStem, &stored.effectsStem};
    for (int i = 0; i < 5; ++i) {
        auto location = resolveFileReference(*references[i], m_cachesFolder);
        // A result's files are working files of this application; anything outside the caches
        // folder is not one of them, and handing it on could get it replaced by a re-mix.
        if (!location || !QFileInfo::exists(location->toLocalFile())
            || !isInsideFolder(location->toLocalFile(), m_cachesFolder))
            return std::nullopt;
        files[i] = *location;
    }
    SeparationResult result;
    result.id = QUuid::createUuid();
    result.kind = JobKind::full;
    result.jobID = stored.jobID;
    result.sourceVideoURL = sourceURL;
    result.originalAudioURL = files[0];
    result.cleanAudioURL = files[1];
    result.dialogueStemURL = files[2];
    result.musicStemURL = files[3];
    result.effectsStemURL = files[4];
    result.duration = stored.duration;
    result.ambience = stored.ambience;
    result.claimCheck = stored.claimCheck;
    result.expiresAt = stored.expiresAt;
    result.coversWholeVideo = true;
    return result;
}

bool RecentVideos::writeThumbnailJPEG(const QImage& image, const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    if (image.isNull())
        return false;
    // The longer side becomes at most 240 pixels; the image is never enlarged. The arithmetic
    // follows the stored files' rule exactly (some sizes give 239).
    const int longer = std::max(image.width(), image.height());
    const double scale = static_cast<double>(thumbnailMaxPixelSize) / longer;
    const int maxPixelSize = static_cast<int>(std::min(scale, 1.0) * longer);
    const QImage fitted = longer > maxPixelSize
        ? image.scaled(maxPixelSize, maxPixelSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
        : image;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&file, "jpeg");
    writer.setQuality(80);
    if (!writer.write(fitted))
        return false;
    return file.commit();
}

bool RecentVideos::sourceChangedSinceCleaned(const Entry& entry, const QUrl& sourceURL) const
{
    if (!entry.result || !entry.result->cleanedFrom)
        return false;
    const std::optional<SourceFingerprint> now = SourceFingerprint::of(sourceURL.toLocalFile());
    return !now || !entry.result->cleanedFrom->matches(*now);
}

void RecentVideos::forgetResult(const QUuid& id)
{
    std::vector<Entry> entries = m_entries;
    bool changed = false;
    for (Entry& entry : entries) {
        if (entry.id == id && entry.result) {
            entry.result.reset();
            entry.exported = false;
            changed = true;
        }
    }
    if (!changed)
        return;
    setEntries(std::move(entries));
    save();
}

// MARK: the cache's bound

HF_LOGGING_CATEGORY(lcRecentVideos, "RecentVideos")

namespace {

constexpr qint64 defaultCacheLimit = 5'000'000'000LL;

// The bytes of the files under `path` (a file or a folder), symbolic links not followed.
qint64 bytesUnder(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.exists())
        return 0;
    if (!info.isDir())
        return info.size();
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

bool namedBy(const QString& path, const QStringList& paths)
{
    const QString clean = QDir::cleanPath(path);
    for (const QString& p : paths) {
        const QString other = QDir::cleanPath(p);
        if (other == clean || other.startsWith(clean + QLatin1Char('/')) || clean.startsWith(other + QLatin1Char('/')))
            return true;
    }
    return false;
}

} // namespace

const QStringList& RecentVideos::workingFolders()
{
    static const QStringList folders{QStringLiteral("Work"), QStringLiteral("Jobs"), QStringLiteral("Batch"),
                                     QStringLiteral("Imports"), QStringLiteral("Recents")};
    return folders;
}

qint64 RecentVideos::cacheUsage() const
{
    qint64 total = 0;
    for (const QString& name : workingFolders())
        total += bytesUnder(QDir(m_cachesFolder).filePath(name));
    return total;
}

qint64 RecentVideos::cacheLimit() const
{
    return m_cacheLimit > 0 ? m_cacheLimit : cacheLimit(cacheUsage());
}

qint64 RecentVideos::cacheLimit(qint64 usage) const
{
    if (m_cacheLimit > 0)
        return m_cacheLimit;
    QStorageInfo disk(m_cachesFolder);
    if (!disk.isValid() || !disk.isReady())
        return defaultCacheLimit;
    const qint64 quarter = (disk.bytesAvailable() + usage) / 4;
    return std::min(defaultCacheLimit, quarter);
}

void RecentVideos::keepCacheWithinLimit(const QStringList& inUse)
{
    // The cache is walked once: the bound counts the cache's own files as free space.
    qint64 used = cacheUsage();
    const qint64 limit = cacheLimit(used);
    if (used <= limit || m_entries.size() < 2)
        return;
    std::vector<Entry> entries = m_entries;
    // What the entries that keep their results still use stays.
    const auto filesOf = [this](const StoredResult& result) {
        QStringList paths;
        for (const FileReference* file : {&result.originalAudio, &result.cleanAudio, &result.dialogueStem,
                                          &result.musicStem, &result.effectsStem})
            if (auto location = resolveFileReference(*file, m_cachesFolder); location && location->isLocalFile())
                paths << location->toLocalFile();
        return paths;
    };
    bool changed = false;
    for (size_t i = entries.size() - 1; i >= 1 && used > limit; --i) {
        Entry& entry = entries[i];
        if (!entry.result)
            continue;
        const QStringList files = filesOf(*entry.result);
        entry.result.reset();
        entry.exported = false;
        entry.resultDropped = true;
        changed = true;
        QStringList kept = inUse;
        for (const Entry& other : entries)
            if (other.result)
                kept << filesOf(*other.result);
        // The files go, and the job folders they leave empty.
        for (const QString& file : files) {
            if (!isInsideFolder(file, m_cachesFolder) || namedBy(file, kept))
                continue;
            const qint64 size = QFileInfo(file).size();
            if (QFile::remove(file))
                used -= size;
            const QString folder = QFileInfo(file).absolutePath();
            if (isInsideFolder(folder, m_cachesFolder) && !namedBy(folder, kept)
                && QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
                QDir().rmdir(folder);
        }
        qCInfo(lcRecentVideos, "Dropped the clean of %s to keep the cache within %lld bytes",
               qUtf8Printable(entry.displayName), static_cast<long long>(limit));
    }
    if (!changed)
        return;
    setEntries(std::move(entries));
    save();
}

} // namespace hf
