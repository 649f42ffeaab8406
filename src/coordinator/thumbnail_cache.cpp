#include "coordinator/thumbnail_cache.h"

#include "coordinator/video_thumbnailer.h"
#include "platform/async.h"
#include "platform/logging.h"

#include <QPointer>

namespace hf {

HF_LOGGING_CATEGORY(lcThumbnailCache, "ThumbnailCache")

ThumbnailCache::ThumbnailCache(Generator generator, QObject* parent)
    : QObject(parent),
      m_generator(generator ? std::move(generator) : Generator(&VideoThumbnailer::thumbnail))
{
}

ThumbnailCache& ThumbnailCache::shared()
{
    static ThumbnailCache* cache = new ThumbnailCache();
    return *cache;
}

std::optional<QImage> ThumbnailCache::image(const QUrl& location)
{
    if (!m_images.contains(location) && !m_requested.contains(location)) {
        // Marked before the work starts, so repeated calls start it once.
        m_requested.insert(location);
        spawn(generate(QPointer<ThumbnailCache>(this), m_generator, location), lcThumbnailCache(),
              QStringLiteral("Thumbnail"));
    }
    if (auto it = m_images.constFind(location); it != m_images.constEnd())
        return *it;
    return std::nullopt;
}

QCoro::Task<void> ThumbnailCache::generate(QPointer<ThumbnailCache> cache, Generator generator, QUrl location)
{
    std::optional<QImage> image = co_await generator(location, maxSize);
    // A generator may finish without ever suspending (off-thread work that was done before it was
    // awaited, under load): the picture still arrives later, from the event loop, never inside the
    // image() call that asked for it.
    if (cache && image)
        QMetaObject::invokeMethod(
            cache.data(), [cache, location, picture = *image] { cache->store(location, picture); },
            Qt::QueuedConnection);
}

void ThumbnailCache::store(const QUrl& location, const QImage& image)
{
    if (auto it = m_images.constFind(location); it != m_images.constEnd() && *it == image)
        return;
    m_images.insert(location, image);
    emit imagesChanged();
}

} // namespace hf
