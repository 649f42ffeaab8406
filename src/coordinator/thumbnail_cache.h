#pragma once

// Pictures of videos by file location, for the rows of the batch queue. The first request for a
// location starts its picture in the background and gives nothing; `imagesChanged` tells the rows
// when a picture arrives, always later from the event loop (never inside image()). Each location is tried once in the life of the cache, whether or not a
// picture comes of it; nothing is ever evicted. Main thread only.

#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace hf {

class ThumbnailCache : public QObject {
    Q_OBJECT
    Q_PROPERTY(QHash<QUrl, QImage> images READ images NOTIFY imagesChanged)

public:
    // Makes the picture of one location; VideoThumbnailer::thumbnail in the application.
    using Generator = std::function<QCoro::Task<std::optional<QImage>>(QUrl, QSize)>;

    static constexpr QSize maxSize{240, 240};

    explicit ThumbnailCache(Generator generator = {}, QObject* parent = nullptr);

    // The one cache of the process, made on first use.
    static ThumbnailCache& shared();

    const QHash<QUrl, QImage>& images() const { return m_images; }

    // The picture of `location` when it is ready; the first call starts making it.
    std::optional<QImage> image(const QUrl& location);

signals:
    void imagesChanged();

private:
    static QCoro::Task<void> generate(QPointer<ThumbnailCache> cache, Generator generator, QUrl location);
    void store(const QUrl& location, const QImage& image);

    Generator m_generator;
    QHash<QUrl, QImage> m_images;
    QSet<QUrl> m_requested;
};

} // namespace hf
