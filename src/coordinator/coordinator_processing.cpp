// Requesting, running and cancelling a clean of the open video.

#include "coordinator/engine_coordinator.h"

#include "backend/api_error.h"
#include "pipeline/server_wait.h"
#include "platform/texts.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace hf {

namespace {

// The first 8 characters of a new UUID's text form, for working file names.
QString shortUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8);
}

ProcessingProgress readingProgress()
{
    return ProcessingProgress{ProcessingStage::Kind::extractingAudio, 0.0,
                              text("status.coordinator.reading", "Reading the soundtrack")};
}

// What the clean says while it waits to try again after `error`.
QString betweenTriesText(const std::exception& error)
{
    return outageText(
        error,
        {text("status.coordinator.outage", "Hushframe couldn't reach its servers. It will try again in a moment."),
         text("status.coordinator.serverFault",
              "Hushframe's servers ran into a problem. It will try again in a moment."),
         text("status.coordinator.busy", "Hushframe's servers are busy. It will try again in a moment."),
         text("status.coordinator.tooSlow",
              "The download from Hushframe's servers was too slow. It will try again in a moment.")});
}

ProcessingProgress mixingProgress(double fraction)
{
    return ProcessingProgress{ProcessingStage::Kind::mixing, fraction,
                              text("status.coordinator.mixing", "Mixing dialogue and ambience")};
}

} // namespace

ProcessingProgress EngineCoordinator::doneProgress()
{
    return ProcessingProgress{ProcessingStage::Kind::completed, 1.0, text("status.coordinator.done", "Done")};
}

// ---- Requesting and cancelling

void EngineCoordinator::startAutomaticPreview()
{
    if (!m_source || m_isProcessing)
        return;
    const SourceVideo video = *m_source;
    startProcessing(JobKind::preview, [this, video](std::stop_token stop) { return extractPreview(video, stop); });
}

void EngineCoordinator::startProcessing(JobKind kind, ExtractionOperation operation)
{
    m_activeTask.cancel();
    setErrorMessage(std::nullopt);
    m_activeTask.start([this, kind, operation = std::move(operation)](std::stop_token stop) {
        return runProcessing(kind, operation, stop);
    });
}

QUrl EngineCoordinator::makeJobDirectory()
{
    const QString path = QDir(m_workingDirectory).filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    if (!QDir().mkpath(path))
        throw FileSystemError(text("error.file.createFolder", "Couldn't create the folder %@.", {path}));
    return QUrl::fromLocalFile(path);
}

QCoro::Task<EngineCoordinator::Extraction> EngineCoordinator::extractPreview(SourceVideo video, std::stop_token stop)
{
    const QUrl folder = makeJobDirectory();
    const std::optional<double> maxDuration = m_previewSeconds;
    auto extracting = m_media->extractSoundtrack(video.url, folder, maxDuration, stop);
    ExtractedAudio audio = co_await std::move(extracting);
    co_return Extraction{std::move(audio), folder};
}

QCoro::Task<EngineCoordinator::Extraction> EngineCoordinator::extractFullSoundtrack(SourceVideo video,
                                                                                     std::stop_token stop)
{
    const QUrl folder = makeJobDirectory();
    auto extracting = m_media->extractSoundtrack(video.url, folder, std::nullopt, stop);
    ExtractedAudio audio = co_await std::move(extracting);
    co_return Extraction{std::move(audio), folder};
}

std::optional<SeparationResult> EngineCoordinator::promotablePreview() const
{
    if (!m_source || !m_currentResult)
        return std::nullopt;
    const SeparationResult& result = *m_currentResult;
    if (result.kind != JobKind::preview || !result.coversWholeVideo || result.sourceVideoURL != m_source->url)
        return std::nullopt;
    return result;
}

void EngineCoordinator::cleanFullVideo()
{
    if (!m_source || m_isProcessing || m_isPromoting || hasFullResult())
        return;
    spawn(requestFullClean(*m_source, m_alive.get_token()), lcEngineCoordinator(), QStringLiteral("Full clean"));
}

QCoro::Task<void> EngineCoordinator::requestFullClean(SourceVideo video, std::stop_token alive)
{
    if (alive.stop_requested())
        co_return;
    if (std::optional<SeparationResult> preview = promotablePreview()) {
        auto promoting = promotePreview(*preview, video.duration);
        co_await std::move(promoting);
        co_return;
    }
    startProcessing(JobKind::full, [this, video](std::stop_token stop) { return extractFullSoundtrack(video, stop); });
}

void EngineCoordinator::cancelProcessing()
{
    m_activeTask.cancel();
    m_songCheckTask.cancel();
    setProcessing(false);
    setProcessingKind(std::nullopt);
    setProgress(ProcessingProgress{});
}

// ---- The run

QCoro::Task<void> EngineCoordinator::runProcessing(JobKind kind, ExtractionOperation operation, std::stop_token stop)
{
    if (stop.stop_requested())
        co_return;
    setProcessing(true);
    setProcessingKind(kind);
    setProgress(readingProgress());

    bool cancelled = false;
    std::optional<QString> failure;
    // Servers out of reach are waited for, as the batch does: the same clean is tried again after
    // a growing pause (and resumes its job when the backend still has it), until Cancel, the last
    // try or the end of the time the servers may stay away, which the tries share.
    const auto tries = std::make_shared<CleanTries>();
    for (int outageTries = 0;; ++outageTries) {
        // After an outage: the pause before the next try (as long as the servers asked, and ended
        // by the bound at the latest) and what the clean says meanwhile.
        std::optional<std::chrono::milliseconds> pause;
        QString meanwhile;
        try {
            auto attempt = performProcessing(kind, operation, tries, true, stop);
            co_await std::move(attempt);
        } catch (const Cancelled&) {
            cancelled = true;
        } catch (const std::exception& e) {
            failure = describe(e);
            if (isOutage(e)) {
                failure = outageDescription(e);
                pause = m_outageBackoff.pauseAfter(outageTries, e, *tries->bound, m_waitClock.now());
                meanwhile = betweenTriesText(e);
            }
        } catch (...) {
            failure = describe(std::current_exception());
        }
        if (!pause || outageTries >= m_outageBackoff.maxTries || stop.stop_requested())
            break;
        qCWarning(lcEngineCoordinator, "Clean lost the servers (try %d): %s", outageTries + 1,
                  qUtf8Printable(*failure));
        failure.reset();
        setProgress(ProcessingProgress{m_progress.stage, m_progress.fractionCompleted, meanwhile});
        try {
            auto waiting = m_waitClock.sleep(*pause, stop);
            co_await std::move(waiting);
        } catch (const Cancelled&) {
            cancelled = true;
            break;
        }
    }

    // A stopped run leaves everything to whoever stopped it (the coordinator may be gone): even
    // a failure that raced with the stop is not reported over the idle state or a newer run.
    if (stop.stop_requested()) {
        qCInfo(lcEngineCoordinator, "Processing cancelled");
        co_return;
    }
    if (cancelled)
        qCInfo(lcEngineCoordinator, "Processing cancelled");
    else if (failure)
        handleProcessingFailure(*failure, kind);
    finishProcessing(stop);
}

QCoro::Task<void> EngineCoordinator::performProcessing(JobKind kind, ExtractionOperation operation,
                                                       std::shared_ptr<CleanTries> tries, bool retriesAfterSignIn,
                                                       std::stop_token stop)
{
    if (!m_source)
        co_return;
    const QUrl sourceURL = m_source->url;

    bool signInNeeded = false;
    try {
        // Reports of a stopped run are dropped: they would overwrite the idle state or the
        // progress of the run that replaced this one.
        QPointer<EngineCoordinator> self(this);
        // The separation's reports take its share of the bar; the mix takes the rest. The plan is
        // made once the soundtrack's length is known.
        auto plan = std::make_shared<std::optional<CleanProgressPlan>>();
        SeparationEngineProtocol::ProgressCallback report = [self, stop, plan](ProcessingProgress progress) {
            if (!self || stop.stop_requested())
                return;
            if (*plan)
                progress.fractionCompleted = (*plan)->separating(progress.fractionCompleted);
            self->setProgress(progress);
        };
        std::optional<Extraction> extracted;
        if (m_interruptedDownload && m_interruptedDownload->sourceURL == sourceURL && m_interruptedDownload->kind == kind
            && QFileInfo::exists(m_interruptedDownload->extraction.audio.url.toLocalFile())
            && m_engine->interruptedJob(m_interruptedDownload->extraction.audio.url))
            extracted = m_interruptedDownload->extraction;
        else
            m_interruptedDownload.reset();
        // The tries of a clean send the same soundtrack.
        if (!extracted && tries->extraction && QFileInfo::exists(tries->extraction->audio.url.toLocalFile()))
            extracted = tries->extraction;
        if (!extracted) {
            auto extracting = operation(stop);
            extracted = co_await std::move(extracting);
            throwIfStopped(stop);
            tries->extraction = extracted;
        }
        const Extraction extraction = *extracted;
        *plan = CleanProgressPlan(extraction.audio.duration, std::nullopt);
        std::optional<SeparatedStems> fetched;
        const bool claimCheck = kind == JobKind::full && m_settings.checkSongsAutomatically;
        try {
            auto separating = m_engine->separate(extraction.audio.url, extraction.audio.duration, kind, claimCheck,
                                                 report, stop, tries->bound);
            fetched = co_await std::move(separating);
        } catch (...) {
            if (self) {
                if (const auto jobID = m_engine->interruptedJob(extraction.audio.url))
                    m_interruptedDownload = InterruptedDownload{sourceURL, kind, extraction, *jobID};
                else
                    m_interruptedDownload.reset();
            }
            throw;
        }
        throwIfStopped(stop);
        if (self)
            m_interruptedDownload.reset();
        const SeparatedStems stems = std::move(*fetched);

        const CleanProgressPlan mixPlan = **plan;
        setProgress(mixingProgress(mixPlan.mixing(0)));
        const double ambience = m_settings.ambience;
        const QUrl cleanURL = QUrl::fromLocalFile(
            QDir(extraction.jobFolder.toLocalFile()).filePath(QStringLiteral("clean-%1.m4a").arg(shortUuid())));
        const MediaProgress mixReports = progressOnThreadOf(this, [self, stop, mixPlan](double fraction) {
            if (self && !stop.stop_requested() && fraction < 1.0)
                self->setProgress(mixingProgress(mixPlan.mixing(fraction)));
        });
        auto mixing = m_media->mixSeparated(stems.dialogueURL, stems.effectsURL, extraction.audio.url, cleanURL,
                                            AudioQuality::aac, ambience, stop, mixReports);
        const QUrl written = co_await std::move(mixing);
        // A run stopped during the mix, or while its mix came back to the main thread, must not
        // publish its result; nor may a run whose video is no longer the open one.
        throwIfStopped(stop);
        if (!m_source || m_source->url != sourceURL)
            throw Cancelled();

        SeparationResult result;
        result.id = QUuid::createUuid();
        result.kind = kind;
        result.jobID = stems.job.id;
        result.sourceVideoURL = sourceURL;
        result.originalAudioURL = extraction.audio.url;
        result.cleanAudioURL = written;
        result.dialogueStemURL = stems.dialogueURL;
        result.musicStemURL = stems.musicURL;
        result.effectsStemURL = stems.effectsURL;
        result.duration = extraction.audio.duration;
        result.ambience = ambience;
        result.claimCheck = stems.job.claimCheck;
        result.expiresAt = stems.job.expiresAt;
        // A soundtrack that starts after the picture still covers the video when it reaches its end.
        result.coversWholeVideo = kind == JobKind::full
            || extraction.audio.sourceDuration <= extraction.audio.start + extraction.audio.duration + 0.001;

        applyResult(result);
        setProgress(doneProgress());
        startUsageRefresh();
        if (kind == JobKind::full && presentsExportAfterFullClean)
            setShowExportSheet(true);
    } catch (const APIError& e) {
        if (e.kind() != APIError::Case::accountLimitReached || !retriesAfterSignIn)
            throw;
        signInNeeded = true;
    }
    if (!signInNeeded)
        co_return;

    auto asking = m_account->requireSignIn();
    const bool signedIn = co_await std::move(asking);
    throwIfStopped(stop);
    if (!signedIn)
        throw Cancelled();
    // Signed in, the clean starts over, from a new extraction.
    *tries = CleanTries{};
    auto retry = performProcessing(kind, std::move(operation), std::move(tries), false, stop);
    co_await std::move(retry);
}

void EngineCoordinator::handleProcessingFailure(const QString& description, JobKind kind)
{
    qCCritical(lcEngineCoordinator, "%s job failed: %s", kind == JobKind::full ? "full" : "preview",
               qUtf8Printable(description));
    m_reviewPrompter->sessionIsSuppressed = true;
    setProgress(ProcessingProgress{ProcessingStage::failed(description), 0.0, description});
    setErrorMessage(description);
}

void EngineCoordinator::finishProcessing(const std::stop_token& stop)
{
    if (stop.stop_requested())
        return;
    setProcessing(false);
    setProcessingKind(std::nullopt);
}

void EngineCoordinator::startUsageRefresh()
{
    spawn(m_account->refreshUsage(), lcEngineCoordinator(), QStringLiteral("Usage refresh"));
}

} // namespace hf
