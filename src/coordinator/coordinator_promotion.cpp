// Promoting a finished preview that covers the whole video to the full clean.

#include "coordinator/engine_coordinator.h"

#include "backend/api_error.h"

namespace hf {

namespace {

// The service's refusal to promote this job: a full clean runs instead.
bool isRefusal(const APIError& error)
{
    if (error.kind() != APIError::Case::server)
        return false;
    const APIErrorCode code = error.code();
    return code == APIErrorCode::notFound || code == APIErrorCode::invalidRequest || code == APIErrorCode::conflict;
}

} // namespace

QCoro::Task<void> EngineCoordinator::promotePreview(SeparationResult preview, double videoDuration)
{
    const std::stop_token alive = m_alive.get_token();
    setPromoting(true);
    setErrorMessage(std::nullopt);
    const bool claimCheck = m_settings.checkSongsAutomatically;

    std::optional<CloudJob> promoted;
    std::optional<QString> refusal;
    std::optional<QString> failure;
    bool cancelled = false;
    try {
        auto promoting = m_engine->promote(preview.jobID, videoDuration, claimCheck, alive);
        promoted = co_await std::move(promoting);
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (const APIError& e) {
        if (isRefusal(e))
            refusal = e.localizedDescription();
        else
            failure = e.localizedDescription();
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    if (alive.stop_requested())
        co_return;

    const bool previewIsCurrent = m_currentResult && m_currentResult->id == preview.id;

    if (cancelled) {
        setPromoting(false);
        co_return;
    }
    if (refusal) {
        qCInfo(lcEngineCoordinator, "Promoting the preview was refused (%s); running a full clean",
               qUtf8Printable(*refusal));
        if (previewIsCurrent && m_source) {
            const SourceVideo video = *m_source;
            startProcessing(JobKind::full,
                            [this, video](std::stop_token stop) { return extractFullSoundtrack(video, stop); });
        }
        setPromoting(false);
        co_return;
    }
    if (failure) {
        // A failure that arrives after the user moved on to another result or video is not shown
        // over what belongs to them.
        if (previewIsCurrent)
            handleProcessingFailure(*failure, JobKind::full);
        else
            qCWarning(lcEngineCoordinator, "Promoting an earlier preview failed: %s", qUtf8Printable(*failure));
        setPromoting(false);
        co_return;
    }
    if (!previewIsCurrent) {
        setPromoting(false);
        co_return;
    }

    // The current result may differ from `preview` by a re-mix made meanwhile: build on it.
    SeparationResult full = *m_currentResult;
    full.kind = JobKind::full;
    full.jobID = promoted->id;
    if (promoted->claimCheck)
        full.claimCheck = promoted->claimCheck;
    if (promoted->expiresAt)
        full.expiresAt = promoted->expiresAt;
    full.coversWholeVideo = true;

    setCurrentResult(full);
    m_recents->record(full);
    startSongCheckFollow(full);
    setProgress(doneProgress());
    spawn(loadOriginalWaveform(full, alive), lcEngineCoordinator(), QStringLiteral("Original waveform"));
    startUsageRefresh();
    if (presentsExportAfterFullClean)
        setShowExportSheet(true);
    setPromoting(false);
}

QCoro::Task<void> EngineCoordinator::loadOriginalWaveform(SeparationResult result, std::stop_token alive)
{
    auto loading = m_media->waveformBars(result.originalAudioURL, waveformBarCount);
    std::vector<float> bars = co_await std::move(loading);
    if (alive.stop_requested())
        co_return;
    if (m_currentResult && m_currentResult->id == result.id)
        setOriginalWaveform(std::move(bars));
}

} // namespace hf
