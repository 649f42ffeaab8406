// Replacing the open video (asking first when an unexported full clean would be lost) and
// reopening a recent video with its stored result.

#include "coordinator/engine_coordinator.h"

#include "coordinator/open_failure.h"
#include "platform/texts.h"

namespace hf {

namespace {

// Lets the confirmation close before the replacement runs.
constexpr auto replacementDelay = std::chrono::milliseconds(350);

} // namespace

bool EngineCoordinator::isFullCleanRunning() const
{
    return (m_isProcessing && m_processingKind == JobKind::full) || m_isPromoting;
}

std::optional<QString> EngineCoordinator::replacementStake() const
{
    if (!m_source)
        return std::nullopt;
    if (hasUnexportedFullResult())
        return QStringLiteral("result:") + m_currentResult->id.toString();
    if (isFullCleanRunning())
        return QStringLiteral("clean:") + m_source->url.toString();
    return std::nullopt;
}

bool EngineCoordinator::askBeforeReplacing(std::function<void()> perform)
{
    if (!replacementStake())
        return false;
    setPendingReplacement(
        PendingReplacement{m_source->displayName, std::move(perform), !hasUnexportedFullResult(), replacementStake()});
    return true;
}

void EngineCoordinator::dropStaleReplacement()
{
    if (m_pendingReplacement && m_pendingReplacement->stake && m_pendingReplacement->stake != replacementStake())
        setPendingReplacement(std::nullopt);
}

void EngineCoordinator::presentFileImporter()
{
    auto present = [this, stake = replacementStake()] {
        m_importerApproval = stake;
        setImportTarget(ImportTarget::editor);
        setFileImporterPresented(true);
    };
    if (askBeforeReplacing(present))
        return;
    present();
}

void EngineCoordinator::openPickedVideo(const QUrl& url)
{
    const bool approved = m_importerApproval && *m_importerApproval == replacementStake();
    m_importerApproval.reset();
    if (!approved && askBeforeReplacing([this, url] { openVideo(url); }))
        return;
    openVideo(url);
}

void EngineCoordinator::confirmReplacement()
{
    if (!m_pendingReplacement)
        return;
    std::function<void()> perform = std::move(m_pendingReplacement->perform);
    setPendingReplacement(std::nullopt);
    spawn(runReplacement(std::move(perform), m_alive.get_token()), lcEngineCoordinator(),
          QStringLiteral("Replacement"));
}

QCoro::Task<void> EngineCoordinator::runReplacement(std::function<void()> perform, std::stop_token alive)
{
    // The wait itself is not stopped; a replacement whose coordinator went meanwhile is dropped,
    // since it would act on it.
    auto waiting = sleepFor(replacementDelay);
    co_await std::move(waiting);
    if (alive.stop_requested())
        co_return;
    if (perform)
        perform();
}

void EngineCoordinator::exportBeforeReplacing()
{
    setPendingReplacement(std::nullopt);
    setShowExportSheet(true);
}

void EngineCoordinator::openRecent(const RecentVideos::Entry& entry)
{
    const std::optional<QUrl> url = m_recents->sourceURL(entry);
    if (!url) {
        m_recents->remove(entry.id);
        setErrorMessage(text("ui.recents.unavailable",
                             "That video isn't available anymore. It may have been moved or deleted."));
        return;
    }
    const std::stop_token alive = m_alive.get_token();
    const bool changed = m_recents->sourceChangedSinceCleaned(entry, *url);
    std::optional<SeparationResult> restored = m_recents->restoredResult(entry, *url);
    if (!restored) {
        const QUrl location = *url;
        beginImport([this, location, alive] { return loadOpenedVideo(location, alive); });
        // Its earlier clean no longer fits the file: it opens as a new video, to be cleaned again.
        if (changed) {
            m_recents->forgetResult(entry.id);
            tellOnceOpened(location, text("ui.recents.changed",
                                 "\u201c%@\u201d has changed since it was cleaned, so its earlier clean no longer "
                                 "fits it. It opens as a new video: clean it again to export it.",
                                 {entry.displayName}));
        } else if (entry.resultDropped) {
            tellOnceOpened(location, text("ui.recents.dropped",
                                 "The earlier clean of \u201c%@\u201d was removed to keep Hushframe\u2019s cache "
                                 "small. It opens as a new video: clean it again to export it.",
                                 {entry.displayName}));
        }
        return;
    }
    // As for any opening, the open video stays until the stored one has been read.
    setErrorMessage(std::nullopt);
    setImporting(true);
    // A restore counts as an import: a later opening supersedes it.
    const quint64 generation = ++m_importGeneration;
    spawn(restoreRecent(std::move(*restored), entry.exported, *url, generation, alive), lcEngineCoordinator(),
          QStringLiteral("Reopening"));
}

QCoro::Task<void> EngineCoordinator::restoreRecent(SeparationResult result, bool exported, QUrl url,
                                                   quint64 generation, std::stop_token alive)
{
    std::optional<SourceVideo> video;
    std::optional<QString> failure;
    try {
        auto loading = loadOpenedVideo(url, alive);
        video = co_await std::move(loading);
    } catch (const Cancelled&) {
        co_return;
    } catch (const std::exception& e) {
        failure = describeOpenFailure(e);
    }
    if (alive.stop_requested() || generation != m_importGeneration)
        co_return;

    if (video) {
        clearSource();
        setSource(*video);
        m_recents->noteOpened(*video);
        startSourceAnalysis(*video);
        applyResult(result);
        if (exported)
            setExportedResultID(result.id);
        // The stored result may have been mixed at another level than the current setting.
        scheduleRemix();
    } else {
        setErrorMessage(failure);
    }
    setImporting(false);
}

} // namespace hf
