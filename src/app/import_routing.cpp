#include "app/import_routing.h"

#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/texts.h"

namespace hf {

ImportRouter::ImportRouter(EngineCoordinator& coordinator, BatchQueueManager& batch, std::function<void()> showQueue)
    : m_coordinator(coordinator), m_batch(batch), m_showQueue(std::move(showQueue))
{
}

bool ImportRouter::isImportable(const QUrl& url)
{
    return url.isLocalFile() && SourceVideo::isSupported(url);
}

void ImportRouter::importerFinished(const PickOutcome& outcome)
{
    if (outcome.error) {
        m_coordinator.setErrorMessage(*outcome.error);
        return;
    }
    if (!outcome.urls)
        return;
    const bool toQueue = m_coordinator.importTarget() == ImportTarget::queue;
    m_coordinator.setImportTarget(ImportTarget::editor);
    if (!toQueue && outcome.urls->size() == 1) {
        // The question, when one was due, came before the chooser opened.
        m_coordinator.openPickedVideo(outcome.urls->first());
        return;
    }
    // A name typed into the chooser passes its filter: such files are refused as dropped ones are.
    routeImportableURLs(*outcome.urls, toQueue);
}

void ImportRouter::routeImportedURLs(const QList<QUrl>& urls, bool toQueue)
{
    if (urls.isEmpty())
        return;
    if (toQueue || urls.size() > 1) {
        m_batch.enqueue(urls);
        if (m_showQueue)
            m_showQueue();
        return;
    }
    const QUrl url = urls.first();
    EngineCoordinator* coordinator = &m_coordinator;
    if (m_coordinator.askBeforeReplacing([coordinator, url] { coordinator->openVideo(url); }))
        return;
    m_coordinator.openVideo(url);
}

void ImportRouter::filterImportableURLs(const QList<QUrl>& urls)
{
    routeImportableURLs(urls, false);
}

void ImportRouter::routeImportableURLs(const QList<QUrl>& urls, bool toQueue)
{
    if (urls.isEmpty())
        return;
    QList<QUrl> kept;
    for (const QUrl& url : urls)
        if (isImportable(url))
            kept << url;
    if (kept.isEmpty()) {
        m_coordinator.setErrorMessage(text("error.import.notAVideo", "That file isn't a video Hushframe can open."));
        return;
    }
    routeImportedURLs(kept, toQueue);
}

} // namespace hf
