// The song check of the current full result: its card, the request and the follow of a check
// that is still running on the service.

#include "coordinator/engine_coordinator.h"

#include "backend/api_client.h"
#include "backend/api_error.h"

#include <QDateTime>

namespace hf {

CopyrightCheckCard EngineCoordinator::copyrightCheckCard() const
{
    using Kind = CopyrightCheckCard::Kind;
    if (!m_currentResult || m_currentResult->kind == JobKind::preview)
        return CopyrightCheckCard::of(Kind::hidden);
    if (m_isRequestingSongCheck)
        return CopyrightCheckCard::of(Kind::checking);
    const SeparationResult& result = *m_currentResult;
    if (!result.claimCheck) {
        if (m_songCheckRefusedResultID == result.id)
            return CopyrightCheckCard::of(Kind::expired);
        if (!result.expiresAt)
            return CopyrightCheckCard::of(Kind::available);
        return CopyrightCheckCard::of(*result.expiresAt <= QDateTime::currentDateTimeUtc() ? Kind::expired
                                                                                          : Kind::available);
    }
    switch (result.claimCheck->status) {
    case ClaimCheckStatus::notChecked:
        // Nothing went wrong: the service has no songs to compare with (a local server started
        // without a catalogue), so no check was made.
        return CopyrightCheckCard::of(Kind::unavailable);
    case ClaimCheckStatus::error:
    case ClaimCheckStatus::unknown:
        return CopyrightCheckCard::of(Kind::failed);
    case ClaimCheckStatus::checking:
        return CopyrightCheckCard::of(Kind::checking);
    case ClaimCheckStatus::clear:
    case ClaimCheckStatus::match:
        break;
    }
    std::vector<CopyrightCheckCard::Song> songs = CopyrightCheckCard::songs(*result.claimCheck, m_settings.ambience);
    if (songs.empty())
        return CopyrightCheckCard::of(Kind::noSongs);
    return CopyrightCheckCard{Kind::songs, std::move(songs)};
}

void EngineCoordinator::requestSongCheck()
{
    if (!m_currentResult || m_currentResult->kind == JobKind::preview || m_isRequestingSongCheck)
        return;
    if (!m_api) {
        qCWarning(lcEngineCoordinator, "Copyright check request failed: no backend client");
        return;
    }
    setRequestingSongCheck(true);
    spawn(runSongCheckRequest(*m_currentResult, m_alive.get_token()), lcEngineCoordinator(),
          QStringLiteral("Copyright check request"));
}

QCoro::Task<void> EngineCoordinator::runSongCheckRequest(SeparationResult result, std::stop_token alive)
{
    std::optional<CloudJob> job;
    bool refused = false;
    bool cancelled = false;
    std::optional<QString> failure;
    try {
        auto requesting = m_api->startClaimCheck(result.jobID, alive);
        job = co_await std::move(requesting);
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (const APIError& e) {
        if (e.kind() == APIError::Case::server && e.code() == APIErrorCode::conflict)
            refused = true;
        else
            failure = e.localizedDescription();
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    if (alive.stop_requested())
        co_return;

    const auto isCurrent = [this, &result] { return m_currentResult && m_currentResult->id == result.id; };
    if (job) {
        updateClaimCheck(job->claimCheck, result.id);
        if (isCurrent())
            startSongCheckFollow(*m_currentResult);
    } else if (refused) {
        if (isCurrent())
            setSongCheckRefusedResultID(result.id);
    } else if (failure && !cancelled) {
        qCCritical(lcEngineCoordinator, "Copyright check request failed: %s", qUtf8Printable(*failure));
        setErrorMessage(*failure);
    }
    setRequestingSongCheck(false);
}

QCoro::Task<void> EngineCoordinator::followSongCheck(SeparationResult result,
                                                     std::chrono::steady_clock::time_point deadline,
                                                     std::stop_token stop, std::stop_token alive)
{
    // The slot's token stops when the follow is replaced or cancelled, and when the coordinator
    // goes; `alive` alone tells the latter.
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
        auto pausing = sleepFor(m_songCheckPollInterval, stop);
        co_await std::move(pausing);
        // No poll after the deadline.
        if (std::chrono::steady_clock::now() >= deadline)
            co_return;

        QPointer<APIClient> api = m_api;
        if (!api)
            co_return;
        std::optional<CloudJob> job;
        try {
            auto polling = api->job(result.jobID, stop);
            job = co_await std::move(polling);
        } catch (const Cancelled&) {
            co_return;
        } catch (const std::exception& e) {
            if (stop.stop_requested() || alive.stop_requested())
                co_return;
            qCInfo(lcEngineCoordinator, "Following the copyright check failed: %s", qUtf8Printable(describe(e)));
            continue;
        }
        if (stop.stop_requested() || alive.stop_requested())
            co_return;
        if (!m_currentResult || m_currentResult->id != result.id)
            co_return;
        if (job->claimCheck && job->claimCheck->status == ClaimCheckStatus::checking)
            continue;
        updateClaimCheck(job->claimCheck, result.id);
        co_return;
    }
}

void EngineCoordinator::updateClaimCheck(std::optional<ClaimCheck> check, const QUuid& resultID)
{
    if (!m_currentResult || m_currentResult->id != resultID)
        return;
    modifyCurrentResult([&check](SeparationResult& result) { result.claimCheck = std::move(check); });
    m_recents->record(*m_currentResult);
}

} // namespace hf
