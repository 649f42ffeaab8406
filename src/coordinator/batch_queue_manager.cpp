#include "coordinator/batch_queue_manager.h"

#include "backend/account_store.h"
#include "coordinator/export_temporaries.h"
#include "coordinator/open_failure.h"
#include "coordinator/recent_videos.h"
#include "coordinator/review_prompter.h"
#include "pipeline/media_error.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace hf {

HF_LOGGING_CATEGORY(lcBatchQueue, "BatchQueueManager")

BatchQueueManager::BatchQueueManager(SeparationEngineProtocol* engine, AccountStore* account,
                                     ReviewPrompter* reviewPrompter, QString workingDirectory,
                                     SettingsProvider settingsProvider,
                                     std::shared_ptr<MediaOperations> media, QObject* parent)
    : QObject(parent),
      m_engine(engine),
      m_account(account),
      m_reviewPrompter(reviewPrompter),
      m_workingDirectory(std::move(workingDirectory)),
      m_settingsProvider(std::move(settingsProvider)),
      m_media(std::move(media)),
      m_queueTask(lcBatchQueue(), QStringLiteral("Batch queue"))
{
}

BatchQueueManager::~BatchQueueManager()
{
    m_queueTask.cancel();
}

QString BatchQueueManager::defaultWorkingDirectory()
{
    return RecentVideos::defaultCachesFolder() + QStringLiteral("/Batch");
}

int BatchQueueManager::pendingJobs() const
{
    return int(std::ranges::count_if(m_jobs, [](const BatchJob& j) { return j.status.isPending(); }));
}

int BatchQueueManager::completedJobs() const
{
    return int(std::ranges::count_if(m_jobs, [](const BatchJob& j) { return j.status.isCompleted(); }));
}

int BatchQueueManager::unexportedCompletedJobs() const
{
    return int(std::ranges::count_if(m_jobs, [this](const BatchJob& j) {
        return j.status.isCompleted() && m_exportedOutputs.value(j.id) != j.status.videoURL();
    }));
}

void BatchQueueManager::noteExported(const std::vector<BatchJob>& jobs)
{
    for (const BatchJob& job : jobs)
        if (job.status.isCompleted())
            m_exportedOutputs.insert(job.id, job.status.videoURL());
    emit exportedChanged();
}

// ---------------------------------------------------------------------------------------------
// Observed fields

void BatchQueueManager::setJobs(std::vector<BatchJob> jobs)
{
    if (jobs == m_jobs)
        return;
    m_jobs = std::move(jobs);
    emit jobsChanged();
}

void BatchQueueManager::setIsProcessingQueue(bool value)
{
    if (value == m_isProcessingQueue)
        return;
    m_isProcessingQueue = value;
    emit isProcessingQueueChanged();
}

void BatchQueueManager::setActiveJobId(std::optional<QUuid> value)
{
    if (value == m_activeJobId)
        return;
    m_activeJobId = value;
    emit activeJobIdChanged();
}

void BatchQueueManager::setOverallProgressFraction(double value)
{
    if (value == m_overallProgressFraction)
        return;
    m_overallProgressFraction = value;
    emit overallProgressFractionChanged();
}

void BatchQueueManager::setErrorMessage(std::optional<QString> value)
{
    if (value == m_errorMessage)
        return;
    m_errorMessage = std::move(value);
    emit errorMessageChanged();
}

BatchJob* BatchQueueManager::job(const QUuid& id)
{
    auto it = std::ranges::find_if(m_jobs, [&](const BatchJob& j) { return j.id == id; });
    return it == m_jobs.end() ? nullptr : &*it;
}

void BatchQueueManager::updateJob(const QUuid& id, const std::function<void(BatchJob&)>& mutate)
{
    BatchJob* found = job(id);
    if (!found)
        return;
    const BatchJob before = *found;
    mutate(*found);
    if (!(*found == before))
        emit jobsChanged();
    updateOverallProgress();
}

void BatchQueueManager::updateOverallProgress()
{
    if (m_jobs.empty()) {
        setOverallProgressFraction(0);
        return;
    }
    double sum = 0;
    for (const BatchJob& j : m_jobs) {
        switch (j.status.kind()) {
        case BatchJobStatus::Kind::pending:
            break;
        case BatchJobStatus::Kind::working:
            sum += j.status.progress().fractionCompleted;
            break;
        case BatchJobStatus::Kind::completed:
        case BatchJobStatus::Kind::failed:
            sum += 1;
            break;
        }
    }
    setOverallProgressFraction(std::clamp(sum / double(m_jobs.size()), 0.0, 1.0));
}

// ---------------------------------------------------------------------------------------------
// The queue

void BatchQueueManager::enqueue(const QList<QUrl>& urls)
{
    std::vector<BatchJob> jobs = m_jobs;
    std::vector<BatchJob> added;
    for (const QUrl& url : urls) {
        if (!SourceVideo::isSupported(url))
            continue;
        const auto queued = [&](const BatchJob& j) { return j.sourceVideoURL == url; };
        if (std::ranges::any_of(jobs, queued))
            continue;
        BatchJob job;
        job.id = QUuid::createUuid();
        job.sourceVideoURL = url;
        job.addedAt = QDateTime::currentDateTimeUtc();
        jobs.push_back(job);
        added.push_back(job);
    }
    setJobs(std::move(jobs));
    QPointer<BatchQueueManager> self(this);
    for (const BatchJob& job : added)
        spawn(probeDuration(self, m_media, job.id, job.sourceVideoURL), lcBatchQueue(),
              QStringLiteral("Duration probe"));
    if (self)
        updateOverallProgress();
}

QCoro::Task<void> BatchQueueManager::probeDuration(QPointer<BatchQueueManager> queue,
                                                   std::shared_ptr<MediaOperations> media, QUuid id, QUrl url)
{
    std::optional<double> duration;
    QString failure;
    try {
        const double seconds = co_await media->inspect(url);
        duration = seconds;
    } catch (const Cancelled&) {
        co_return;
    } catch (const std::exception& e) {
        failure = describeOpenFailure(e);
    }
    if (!queue)
        co_return;
    if (duration) {
        const double seconds = *duration;
        queue->updateJob(id, [seconds](BatchJob& j) { j.duration = seconds; });
    } else {
        queue->applyProbeFailure(id, failure);
    }
}

void BatchQueueManager::applyProbeFailure(const QUuid& id, const QString& message)
{
    // A probe may end long after it started: the job may have been picked up, finished or failed
    // meanwhile, and then the loop's outcome is the one that counts.
    const BatchJob* found = job(id);
    if (!found || !found->status.isPending())
        return;
    if (m_isProcessingQueue && m_activeJobId == id)
        return;
    updateJob(id, [&](BatchJob& j) { j.status = BatchJobStatus::failed(message); });
}

void BatchQueueManager::remove(const QUuid& id)
{
    const BatchJob* found = job(id);
    if (!found)
        return;
    const BatchJob removed = *found;
    if (m_activeJobId == id)
        stop();
    std::vector<BatchJob> jobs = m_jobs;
    std::erase_if(jobs, [&](const BatchJob& j) { return j.id == id; });
    discardWork(removed);
    setJobs(std::move(jobs));
    updateOverallProgress();
}

void BatchQueueManager::discardWork(const BatchJob& job)
{
    const auto kept = m_soundtracks.constFind(job.id);
    const std::optional<QUrl> soundtrack = kept != m_soundtracks.constEnd() ? std::optional(kept->url) : std::nullopt;
    m_soundtracks.remove(job.id);
    if (job.status.isCompleted())
        return;
    spawn(discard(this, m_steps.value(job.id), soundtrack,
                  QDir(m_workingDirectory).filePath(job.id.toString(QUuid::WithoutBraces).toUpper())),
          lcBatchQueue(), QStringLiteral("Removal of an item's work"));
}

QCoro::Task<void> BatchQueueManager::discard(QPointer<BatchQueueManager> queue,
                                             std::shared_ptr<SharedResult<bool>> step,
                                             std::optional<QUrl> soundtrack, QString folder)
{
    // A stopped step still writes into the item's folder until it returns; nothing else does.
    if (step && !step->isReady()) {
        const std::stop_token unstoppable;
        co_await step->wait(unstoppable);
    }
    if (!QDir(folder).removeRecursively())
        qCWarning(lcBatchQueue, "Couldn't remove all of %s", qUtf8Printable(folder));
    // The job kept on the backend for the item's next try is cancelled, as a stopped try's is.
    if (!queue || !soundtrack)
        co_return;
    if (const std::optional<QString> kept = queue->m_engine->interruptedJob(*soundtrack))
        co_await queue->m_engine->cancel(*kept);
}

void BatchQueueManager::clearCompleted()
{
    std::vector<BatchJob> jobs = m_jobs;
    std::erase_if(jobs, [](const BatchJob& j) { return j.status.isCompleted(); });
    setJobs(std::move(jobs));
    updateOverallProgress();
}

void BatchQueueManager::clearAll()
{
    stop();
    for (const BatchJob& job : m_jobs)
        discardWork(job);
    setJobs({});
    setOverallProgressFraction(0);
}

void BatchQueueManager::retryFailed()
{
    std::vector<BatchJob> jobs = m_jobs;
    for (BatchJob& j : jobs)
        if (j.status.isFailed())
            j.status = BatchJobStatus::pending();
    setJobs(std::move(jobs));
    updateOverallProgress();
    start();
}

// ---------------------------------------------------------------------------------------------
// Export

namespace {

// Copies `source` to `destination` through a temporary file beside it, renamed into place only
// once the copy is complete: over whatever stood there when `replace`, otherwise failing with
// nothing changed when a file of that name is there. Throws hf::Cancelled when the process ends.
void copyInto(const QString& source, const QString& destination, bool replace)
{
    const QFileInfo target(destination);
    const auto failure = [&](int errorNumber) {
        return FileSystemError(text("error.file.copy", "Couldn't copy %@: %@",
                                    {target.fileName(), QString::fromLocal8Bit(std::strerror(errorNumber))}));
    };
    try {
        ExportTemporaries::placeAll({{ExportTemporaries::copyBeside(source, destination, {}), destination, replace}});
    } catch (const FileSystemError& e) {
        if (e.errorNumber() == 0)
            throw;
        throw failure(e.errorNumber());
    }
}

// The name each completed job's output is exported under, in queue order: its own, or with a
// number when an earlier output has it (case-folded for case-blind file systems).
std::vector<std::pair<QString, QString>> exportNames(const std::vector<BatchJob>& jobs)
{
    std::vector<std::pair<QString, QString>> names;   // source path, name
    QSet<QString> taken;
    for (const BatchJob& job : jobs) {
        if (!job.status.isCompleted())
            continue;
        const QFileInfo info(job.status.videoURL().fileName());
        QString name = info.fileName();
        for (int n = 2; taken.contains(name.toCaseFolded()); ++n)
            name = info.completeBaseName() + u' ' + QString::number(n)
                + (info.suffix().isEmpty() ? QString() : u'.' + info.suffix());
        taken.insert(name.toCaseFolded());
        names.emplace_back(job.status.videoURL().toLocalFile(), name);
    }
    return names;
}

} // namespace

int BatchQueueManager::exportOutputs(const QString& folder, bool replaceExisting)
{
    return exportCompletedOutputs(m_jobs, folder, replaceExisting);
}

QStringList BatchQueueManager::existingOutputs(const std::vector<BatchJob>& jobs, const QString& folder)
{
    QStringList existing;
    for (const auto& [source, name] : exportNames(jobs))
        if (QFileInfo(QDir(folder).filePath(name)).exists())
            existing << name;
    return existing;
}

int BatchQueueManager::exportCompletedOutputs(const std::vector<BatchJob>& jobs, const QString& folder,
                                              bool replaceExisting)
{
    const QDir destinationFolder(folder);
    int count = 0;
    for (const auto& [source, name] : exportNames(jobs)) {
        copyInto(source, destinationFolder.filePath(name), replaceExisting);
        ++count;
    }
    return count;
}

} // namespace hf
