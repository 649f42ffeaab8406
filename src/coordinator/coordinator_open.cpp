// Opening, importing and clearing the open video.

#include "coordinator/engine_coordinator.h"

#include "coordinator/open_failure.h"
#include "platform/texts.h"

namespace hf {

void EngineCoordinator::openVideo(const QUrl& url)
{
    if (!SourceVideo::isSupported(url)) {
        setErrorMessage(text("error.import.notAVideo", "That file isn't a video Hushframe can open."));
        return;
    }
    // Files are read with the user's own permissions: there is no access grant to take or to end,
    // so every opened video has isSecurityScoped false.
    const std::stop_token alive = m_alive.get_token();
    beginImport([this, url, alive] { return loadOpenedVideo(url, alive); });
}

QCoro::Task<SourceVideo> EngineCoordinator::loadOpenedVideo(QUrl url, std::stop_token alive)
{
    CoordinatorMedia* media = m_media;
    const double duration = co_await media->inspect(url, alive);
    co_return SourceVideo{url, url.fileName(), duration, false};
}

QCoro::Task<SourceVideo> EngineCoordinator::sourceVideo(PickedMovie movie)
{
    CoordinatorMedia* media = m_media;
    const double duration = co_await media->inspect(movie.url, m_alive.get_token());
    co_return SourceVideo{movie.url, movie.url.fileName(), duration, false};
}

void EngineCoordinator::beginImport(Loader loader)
{
    // The open video stays as it is until the new one has been read: a file that can't be opened
    // leaves it, its result and its running work untouched. A message about earlier work is done.
    setErrorMessage(std::nullopt);
    setImporting(true);
    const quint64 generation = ++m_importGeneration;
    spawn(runImport(std::move(loader), generation, m_alive.get_token()), lcEngineCoordinator(),
          QStringLiteral("Import"));
}

QCoro::Task<void> EngineCoordinator::runImport(Loader loader, quint64 generation, std::stop_token alive)
{
    std::optional<SourceVideo> video;
    std::optional<QString> failure;
    try {
        auto loading = loader();
        SourceVideo loaded = co_await std::move(loading);
        if (loaded.duration > maximumDuration)
            throw MediaError(MediaError::Case::tooLong);
        video = std::move(loaded);
    } catch (const Cancelled&) {
        co_return;
    } catch (const std::exception& e) {
        failure = describeOpenFailure(e);
    }
    if (alive.stop_requested())
        co_return;
    // A later import owns the open video now.
    if (generation != m_importGeneration)
        co_return;

    if (video) {
        clearSource();
        setSource(*video);
        m_recents->noteOpened(*video);
        startSourceAnalysis(*video);
        startAutomaticPreview();
    } else {
        setErrorMessage(failure);
    }
    setImporting(false);
}

void EngineCoordinator::clearSource()
{
    cancelProcessing();
    m_remixTask.cancel();
    m_player->unload();
    setSource(std::nullopt);
    setCurrentResult(std::nullopt);
    setErrorMessage(std::nullopt);
    m_envelopeTask.cancel();
    setOriginalEnvelope(std::nullopt);
    setStemEnvelopes(std::nullopt);
    setThumbnail(QImage());
    setOriginalWaveform({});
    setCleanWaveform({});
    setShowExportSheet(false);
}

void EngineCoordinator::startSourceAnalysis(const SourceVideo& video)
{
    m_envelopeTask.cancel();
    spawn(makeThumbnail(video, m_alive.get_token()), lcEngineCoordinator(), QStringLiteral("Thumbnail"));
    m_envelopeTask.start([this, video](std::stop_token stop) { return computeOriginalEnvelope(video, stop); });
}

QCoro::Task<void> EngineCoordinator::makeThumbnail(SourceVideo video, std::stop_token alive)
{
    auto making = m_media->thumbnail(video.url, thumbnailMaxSize);
    std::optional<QImage> image = co_await std::move(making);
    if (alive.stop_requested())
        co_return;
    if (!m_source || m_source->url != video.url)
        co_return;
    setThumbnail(image.value_or(QImage()));
    if (image)
        m_recents->setThumbnail(*image, video.url);
}

QCoro::Task<void> EngineCoordinator::computeOriginalEnvelope(SourceVideo video, std::stop_token stop)
{
    auto computing = m_media->soundtrackEnvelope(video.url, stop);
    std::optional<SoundtrackEnvelope> envelope = co_await std::move(computing);
    if (stop.stop_requested())
        co_return;
    if (!m_source || m_source->url != video.url)
        co_return;
    setOriginalEnvelope(std::move(envelope));
}

} // namespace hf
