// The batch queue's processing loop: one job at a time, in queue order, each cleaned in full into
// a verified video inside its own folder.

#include "coordinator/batch_queue_manager.h"

#include "backend/account_store.h"
#include "backend/api_error.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/server_wait.h"
#include "coordinator/review_prompter.h"
#include "pipeline/media_error.h"
#include "pipeline/media_progress.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>

namespace hf {

HF_DECLARE_LOGGING_CATEGORY(lcBatchQueue)

namespace {

// What the queue says while an item waits to be tried again after `error`.
QString betweenTriesText(const std::exception& error)
{
    return outageText(
        error,
        {text("batch.outage.waiting", "Hushframe couldn't reach its servers. The queue will try again in a moment."),
         text("batch.outage.serverFault",
              "Hushframe's servers ran into a problem. The queue will try again in a moment."),
         text("batch.outage.busy", "Hushframe's servers are busy. The queue will try again in a moment."),
         text("batch.outage.tooSlow",
              "The download from Hushframe's servers was too slow. The queue will try again in a moment.")});
}

// What the queue says when it paused after the last try an item may make failed with `error`.
QString pausedText(const std::exception& error)
{
    return outageText(
        error,
        {text("batch.outage.paused",
              "Hushframe couldn't reach its servers, so the queue has paused. Press Start to go on."),
         text("batch.outage.pausedFault",
              "Hushframe's servers ran into a problem, so the queue has paused. Press Start to go on."),
         text("batch.outage.pausedBusy",
              "Hushframe's servers are busy, so the queue has paused. Press Start to go on."),
         text("batch.outage.pausedTooSlow",
              "The download from Hushframe's servers was too slow, so the queue has paused. Press Start to go on.")});
}

} // namespace

void BatchQueueManager::start()
{
    if (m_isProcessingQueue || pendingJobs() == 0)
        return;
    setIsProcessingQueue(true);
    setErrorMessage(std::nullopt);
    // A stopped run may still be inside its last step; the new run waits for it (see runQueue).
    std::shared_ptr<Run> previous = m_run;
    auto run = std::make_shared<Run>();
    run->generation = ++m_runGeneration;
    m_run = run;
    m_queueTask.start([this, run, previous](std::stop_token stop) { return runQueue(run, previous, stop); });
}

void BatchQueueManager::stop()
{
    m_queueTask.cancel();
    // A running loop's message tells of a try to come, which a stopped loop won't make.
    if (m_isProcessingQueue)
        setErrorMessage(std::nullopt);
    setIsProcessingQueue(false);
    if (m_activeJobId) {
        updateJob(*m_activeJobId, [](BatchJob& j) {
            if (j.status.isWorking())
                j.status = BatchJobStatus::pending();
        });
    }
    setActiveJobId(std::nullopt);
    updateOverallProgress();
}

QCoro::Task<void> BatchQueueManager::runQueue(std::shared_ptr<Run> run, std::shared_ptr<Run> previous,
                                              std::stop_token stop)
{
    QPointer<BatchQueueManager> self(this);
    try {
        // A stopped run's step in flight still writes into its job's folder until it returns;
        // that job is pending again, so this run must not begin before the old one let go.
        if (previous && !previous->stepsEnded.isReady())
            co_await previous->stepsEnded.wait(stop);
        // Waits in a row for servers that cannot be reached; any finished job ends the row.
        int outageTries = 0;
        // The tries of one job share one bound on the time the servers may stay away.
        QUuid boundJob;
        std::shared_ptr<OutageBound> bound;
        while (self && !stop.stop_requested()) {
            const auto next = std::ranges::find_if(m_jobs, [](const BatchJob& j) { return j.status.isPending(); });
            if (next == m_jobs.end())
                break;
            const BatchJob job = *next;
            setActiveJobId(job.id);
            if (boundJob != job.id || !bound) {
                boundJob = job.id;
                bound = std::make_shared<OutageBound>();
            }
            std::optional<std::chrono::milliseconds> outageWait;
            try {
                const QUrl output = co_await process(job, bound, stop);
                if (!self || stop.stop_requested())
                    break;
                updateJob(job.id, [&output](BatchJob& j) { j.status = BatchJobStatus::completed(output); });
                m_soundtracks.remove(job.id);
                outageTries = 0;
                setErrorMessage(std::nullopt);
            } catch (const Cancelled&) {
                break;
            } catch (const std::exception& error) {
                if (!self)
                    break;
                if (!isOutage(error) || stop.stop_requested()) {
                    // Not a lost connection: the row of waits, and its message, end here.
                    outageTries = 0;
                    setErrorMessage(std::nullopt);
                    if (!stop.stop_requested())
                        m_soundtracks.remove(job.id);
                    handleFailure(job, error);
                    continue;
                }
                // The servers are out of reach: the job waits its turn again instead of failing,
                // and so does every job after it.
                qCWarning(lcBatchQueue, "Batch item %s lost the servers: %s",
                          qUtf8Printable(job.sourceVideoURL.fileName()), qUtf8Printable(describe(error)));
                updateJob(job.id, [](BatchJob& j) {
                    if (j.status.isWorking())
                        j.status = BatchJobStatus::pending();
                });
                if (outageTries >= m_outageBackoff.maxTries) {
                    setErrorMessage(pausedText(error));
                    break;
                }
                outageWait = m_outageBackoff.pauseAfter(outageTries, error, *bound, m_waitClock.now());
                ++outageTries;
                setErrorMessage(betweenTriesText(error));
            }
            if (outageWait) {
                auto waiting = m_waitClock.sleep(*outageWait, stop);
                co_await std::move(waiting);
            }
        }
    } catch (const Cancelled&) {
    }
    // Stopped while waiting for the run before: the run after this one must still wait for it.
    if (previous && !previous->stepsEnded.isReady()) {
        const std::stop_token unstoppable;
        co_await previous->stepsEnded.wait(unstoppable);
    }
    run->stepsEnded.resolve(true);

    if (!self)
        co_return;
    if (QPointer<AccountStore> account = m_account)
        co_await account->refreshUsage();
    if (!self)
        co_return;
    // After a stop and a new start, the flags belong to the new run.
    if (m_run == run) {
        setIsProcessingQueue(false);
        setActiveJobId(std::nullopt);
    }
    updateOverallProgress();
}

QCoro::Task<QUrl> BatchQueueManager::process(BatchJob job, std::shared_ptr<OutageBound> bound, std::stop_token stop)
{
    QPointer<BatchQueueManager> self(this);
    const QUuid id = job.id;
    const SeparationSettings settings = m_settingsProvider ? m_settingsProvider() : SeparationSettings{};
    std::shared_ptr<MediaOperations> media = m_media;

    // Whoever removes the job meanwhile leaves its folder to this step until it returns.
    auto step = std::make_shared<SharedResult<bool>>();
    m_steps.insert(id, step);
    const auto stepEnded = qScopeGuard([self, id, step] {
        step->resolve(true);
        if (self && self->m_steps.value(id) == step)
            self->m_steps.remove(id);
    });

    const QString folderPath = QDir(m_workingDirectory).filePath(id.toString(QUuid::WithoutBraces).toUpper());
    if (!QDir().mkpath(folderPath))
        throw FileSystemError(text("error.file.createFolder", "Couldn't create the folder %@.", {folderPath}));
    const QDir folder(folderPath);
    const QString baseName = QFileInfo(job.sourceVideoURL.fileName()).completeBaseName() + outputSuffix;

    updateJob(id, [](BatchJob& j) {
        j.status = BatchJobStatus::working({ProcessingStage::Kind::extractingAudio, 0.0, QString()});
    });

    // The tries of an item send the soundtrack its first try extracted: the job an earlier try
    // left on the backend is known by it, and is resumed instead of made again.
    const QUrl folderURL = QUrl::fromLocalFile(folderPath);
    std::optional<ExtractedAudio> kept;
    if (const auto it = m_soundtracks.constFind(id);
        it != m_soundtracks.constEnd() && QFileInfo::exists(it->url.toLocalFile()))
        kept = *it;
    if (!kept) {
        auto extracting = media->extractSoundtrack(job.sourceVideoURL, folderURL, std::nullopt, stop);
        kept = co_await std::move(extracting);
        throwIfStopped(stop);
        if (!self)
            throw Cancelled();
        m_soundtracks.insert(id, *kept);
    }
    const ExtractedAudio extracted = *kept;

    // One bar for the job: the separation, the mix and the copy into the new video each take their
    // share. Reports belong to this run: once it is stopped they are dropped, whatever the job became.
    const CleanProgressPlan plan(extracted.duration, QFileInfo(job.sourceVideoURL.toLocalFile()).size());
    const auto tell = [self, id, stop](const ProcessingProgress& progress) {
        if (!self || stop.stop_requested())
            return;
        self->updateJob(id, [&progress](BatchJob& j) { j.status = BatchJobStatus::working(progress); });
    };
    SeparationEngineProtocol::ProgressCallback report = [tell, plan](ProcessingProgress progress) {
        progress.fractionCompleted = plan.separating(progress.fractionCompleted);
        tell(progress);
    };
    // The steps after the separation report from the worker's thread, at most ten times a second;
    // a report that arrives once the job went on to its next step is dropped.
    const auto stepReports = [this, self, id, stop](ProcessingStage::Kind kind, std::function<double(double)> place) {
        return progressOnThreadOf(this, [self, id, stop, kind, place](double fraction) {
            if (!self || stop.stop_requested() || fraction >= 1.0)
                return;
            self->updateJob(id, [&](BatchJob& j) {
                if (j.status.isWorking() && j.status.progress().stage.kind() == kind)
                    j.status = BatchJobStatus::working({kind, place(fraction), QString()});
            });
        });
    };
    const SeparatedStems stems =
        co_await m_engine->separate(extracted.url, extracted.duration, JobKind::full, false, report, stop, bound);
    throwIfStopped(stop);
    if (!self)
        throw Cancelled();

    tell({ProcessingStage::Kind::mixing, plan.mixing(0), QString()});
    const QString audioExtension =
        settings.audioQuality == AudioQuality::aac ? QStringLiteral("m4a") : QStringLiteral("wav");
    const QUrl mixTarget = QUrl::fromLocalFile(folder.filePath(baseName + u'.' + audioExtension));
    const QUrl clean = co_await media->mixSeparated(
        stems.dialogueURL, stems.effectsURL, extracted.url, mixTarget, settings.audioQuality, settings.ambience, stop,
        stepReports(ProcessingStage::Kind::mixing, [plan](double f) { return plan.mixing(f); }));
    throwIfStopped(stop);
    if (!self)
        throw Cancelled();

    tell({ProcessingStage::Kind::remuxingVideo, plan.copying(0), QString()});
    const VideoDemuxerMuxer::FileType fileType =
        VideoDemuxerMuxer::outputFileType(job.sourceVideoURL, settings.audioQuality != AudioQuality::aac);
    const QUrl videoTarget =
        QUrl::fromLocalFile(folder.filePath(baseName + u'.' + VideoDemuxerMuxer::fileExtension(fileType)));
    // The check of what was written after the copy takes the last hundredth.
    const QUrl written = co_await media->remuxReporting(
        job.sourceVideoURL, clean, videoTarget, fileType, stop,
        stepReports(ProcessingStage::Kind::remuxingVideo, [plan](double f) { return plan.copying(f * 0.99); }));
    throwIfStopped(stop);

    co_await media->verifyExport(written, job.sourceVideoURL, clean, stop);
    throwIfStopped(stop);
    co_return written;
}

void BatchQueueManager::handleFailure(const BatchJob& job, const std::exception& error)
{
    const QString message = describe(error);
    qCCritical(lcBatchQueue, "Batch item %s failed: %s", qUtf8Printable(job.sourceVideoURL.fileName()),
               qUtf8Printable(message));
    updateJob(job.id, [&message](BatchJob& j) { j.status = BatchJobStatus::failed(message); });
    if (m_reviewPrompter)
        m_reviewPrompter->sessionIsSuppressed = true;
}

} // namespace hf
