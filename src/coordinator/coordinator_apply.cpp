// Applying a finished result to the open video, and the analysis of its files.

#include "coordinator/engine_coordinator.h"

namespace hf {

void EngineCoordinator::applyResult(const SeparationResult& result)
{
    setCurrentResult(result);
    m_recents->record(result);
    startSongCheckFollow(result);
    m_player->load(result);
    spawn(computeResultGraphics(result, m_alive.get_token()), lcEngineCoordinator(),
          QStringLiteral("Result graphics"));
    // The level may have changed while the result was being mixed: bring it to the setting, so
    // the player and the export use the level the control shows.
    scheduleRemix();
}

QCoro::Task<void> EngineCoordinator::computeResultGraphics(SeparationResult result, std::stop_token alive)
{
    // Everything is stored only while the result is still the current one, so a slow task of an
    // earlier result never replaces what a later result (or a newly opened video) shows.
    auto isCurrent = [this, &result] { return m_currentResult && m_currentResult->id == result.id; };

    // The stems first: the lanes show nothing of the result until they are read, and the
    // soundtracks of a long video take seconds each.
    auto loadingStems = m_media->placedStemEnvelopes(result.dialogueStemURL, result.musicStemURL,
                                                     result.effectsStemURL, result.originalAudioURL);
    std::optional<StemEnvelopes> envelopes = co_await std::move(loadingStems);
    if (alive.stop_requested())
        co_return;
    if (isCurrent())
        setStemEnvelopes(std::move(envelopes));

    auto loadingClean = m_media->waveformBars(result.cleanAudioURL, waveformBarCount);
    std::vector<float> cleanBars = co_await std::move(loadingClean);
    if (alive.stop_requested())
        co_return;
    if (isCurrent())
        setCleanWaveform(std::move(cleanBars));

    if (result.kind == JobKind::full) {
        auto loadingOriginal = m_media->waveformBars(result.originalAudioURL, waveformBarCount);
        std::vector<float> originalBars = co_await std::move(loadingOriginal);
        if (alive.stop_requested())
            co_return;
        if (isCurrent())
            setOriginalWaveform(std::move(originalBars));
    }
}

void EngineCoordinator::startSongCheckFollow(const SeparationResult& result)
{
    m_songCheckTask.cancel();
    const bool stillChecking = result.kind == JobKind::full && result.claimCheck
                               && result.claimCheck->status == ClaimCheckStatus::checking;
    if (!stillChecking)
        return;
    const auto deadline = std::chrono::steady_clock::now() + m_songCheckPollLimit;
    const std::stop_token alive = m_alive.get_token();
    m_songCheckTask.start([this, result, deadline, alive](std::stop_token stop) {
        return followSongCheck(result, deadline, stop, alive);
    });
}

} // namespace hf
