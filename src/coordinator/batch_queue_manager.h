#pragma once

// The batch queue: videos cleaned one after another into new verified videos, without opening
// them in the editor. The queue lives in memory only and never starts by itself; start() runs the
// processing loop, which takes the pending jobs one at a time in queue order, writes each job's
// files into its own folder under the working folder ("Batch" in the caches folder) and goes on
// after a failure. Outputs stay there until exportOutputs() copies them where the user wants.
// Main thread only.

#include "coordinator/batch_job.h"
#include "coordinator/coordinator_media.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/separation_settings.h"
#include "pipeline/server_wait.h"
#include "platform/async.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace hf {

class AccountStore;
class ReviewPrompter;

class BatchQueueManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<hf::BatchJob> jobs READ jobs NOTIFY jobsChanged)
    Q_PROPERTY(bool isProcessingQueue READ isProcessingQueue NOTIFY isProcessingQueueChanged)
    Q_PROPERTY(std::optional<QUuid> activeJobId READ activeJobId NOTIFY activeJobIdChanged)
    Q_PROPERTY(double overallProgressFraction READ overallProgressFraction NOTIFY overallProgressFractionChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(int pendingJobs READ pendingJobs NOTIFY jobsChanged)
    Q_PROPERTY(int completedJobs READ completedJobs NOTIFY jobsChanged)

public:
    // The settings a job is cleaned with, read as each job starts.
    using SettingsProvider = std::function<SeparationSettings()>;

    // The suffix of every file the queue writes for the user: "Holiday (Hushframe).mov".
    static inline const QString outputSuffix = QStringLiteral(" (Hushframe)");

    // Neither `engine`, `account` nor `reviewPrompter` is owned; `account` and `reviewPrompter`
    // may be null (no usage refresh at the end of a run, no failure mark). An empty provider
    // gives the default settings.
    BatchQueueManager(SeparationEngineProtocol* engine, AccountStore* account, ReviewPrompter* reviewPrompter,
                      QString workingDirectory, SettingsProvider settingsProvider,
                      std::shared_ptr<MediaOperations> media = std::make_shared<DefaultCoordinatorMedia>(),
                      QObject* parent = nullptr);
    // Stops a running loop without touching the jobs; the files written so far stay.
    ~BatchQueueManager() override;

    // "Batch" in the user's caches folder.
    static QString defaultWorkingDirectory();

    const std::vector<BatchJob>& jobs() const { return m_jobs; }
    bool isProcessingQueue() const { return m_isProcessingQueue; }
    const std::optional<QUuid>& activeJobId() const { return m_activeJobId; }
    double overallProgressFraction() const { return m_overallProgressFraction; }
    // A queue-level message for the footer; start() clears it and nothing sets it yet.
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    const QString& workingDirectory() const { return m_workingDirectory; }

    int pendingJobs() const;
    int completedJobs() const;
    // Completed jobs whose output has not been copied out by an export yet: the work that ends
    // with the process, since the queue is not kept.
    int unexportedCompletedJobs() const;
    // The completed jobs among `jobs` (a snapshot an export copied) count as exported
    // (exportedChanged()).
    void noteExported(const std::vector<BatchJob>& jobs);

    // ---- The queue

    // Adds every movie file not queued yet as a pending job and probes its duration (a file that
    // can't be cleaned shows as failed). Other files are skipped silently. Never starts processing.
    void enqueue(const QList<QUrl>& urls);
    // Removes the job; stops the loop first when it is the active job. A job not completed is not
    // tried again: the job its tries kept on the backend is cancelled and its folder removed, at
    // once, or once the step in flight on it (a stopped run's, say) let go of it. A completed
    // job's files stay (its output may have been copied to the clipboard).
    void remove(const QUuid& id);
    void clearCompleted();
    // Stops the loop and removes every job, as remove() does.
    void clearAll();
    // Makes every failed job pending again and starts the loop.
    void retryFailed();
    // Copies the output video of every completed job, in queue order, into `folder` and returns
    // the number of files written. A file already in the folder under an output's name is
    // replaced only when `replaceExisting`; otherwise its copy fails with the file left as it is.
    // Two outputs of the same name never replace each other (the later one is written as
    // "clip (Hushframe) 2.mp4"). Each copy is written under a temporary name and renamed into
    // place. Throws FileSystemError at the first copy that fails, hf::Cancelled when the process
    // ends; the copies before it stay.
    int exportOutputs(const QString& folder, bool replaceExisting = false);
    // The same copies for a snapshot of the jobs. Touches no queue state, so it may run on a
    // worker thread while the queue goes on (the main window stays responsive for large files).
    static int exportCompletedOutputs(const std::vector<BatchJob>& jobs, const QString& folder,
                                      bool replaceExisting = false);
    // The names among the outputs those copies would write that are already in `folder`, in
    // queue order: the files an export would replace.
    static QStringList existingOutputs(const std::vector<BatchJob>& jobs, const QString& folder);

    // ---- The processing loop

    // Starts the loop when it is not running and a job is pending.
    void start();
    // Stops the loop at once: the job in progress goes back to pending and the flags drop; the
    // step in flight ends in the background, and a new start waits for it before processing.
    void stop();

    void updateOverallProgress();

    // The first wait before a job that lost the servers is tried again (5 s; it doubles with each
    // try, up to 12 times itself); tests shorten it.
    void setOutageRetryDelay(std::chrono::milliseconds delay)
    {
        m_outageBackoff.first = delay;
        m_outageBackoff.cap = delay * 12;
    }
    // The clock the waits between those tries run on.
    void setWaitClock(WaitClock clock) { m_waitClock = std::move(clock); }

signals:
    void jobsChanged();
    void isProcessingQueueChanged();
    void activeJobIdChanged();
    void overallProgressFractionChanged();
    void errorMessageChanged();
    // Outputs were noted as exported: unexportedCompletedJobs() may be less.
    void exportedChanged();

private:
    // One run of the loop, from start() to its end.
    struct Run {
        quint64 generation = 0;
        // Resolved when the run no longer works on any job (before its end step).
        SharedResult<bool> stepsEnded;
    };

    void setJobs(std::vector<BatchJob> jobs);
    void setIsProcessingQueue(bool value);
    void setActiveJobId(std::optional<QUuid> value);
    void setOverallProgressFraction(double value);
    void setErrorMessage(std::optional<QString> value);
    BatchJob* job(const QUuid& id);
    // Applies `mutate` to the first job with `id` (one notification) and recomputes the fraction;
    // nothing happens when there is no such job.
    void updateJob(const QUuid& id, const std::function<void(BatchJob&)>& mutate);

    static QCoro::Task<void> probeDuration(QPointer<BatchQueueManager> queue,
                                           std::shared_ptr<MediaOperations> media, QUuid id, QUrl url);
    void applyProbeFailure(const QUuid& id, const QString& message);

    // A removed job's work, unless it completed: the job kept for its next try is cancelled and its
    // folder removed (see discard).
    void discardWork(const BatchJob& job);
    // Cancels the job kept for `soundtrack` and removes `folder`, once `step` (the step in flight
    // on that job, if any) ended.
    static QCoro::Task<void> discard(QPointer<BatchQueueManager> queue, std::shared_ptr<SharedResult<bool>> step,
                                     std::optional<QUrl> soundtrack, QString folder);
    QCoro::Task<void> runQueue(std::shared_ptr<Run> run, std::shared_ptr<Run> previous, std::stop_token stop);
    QCoro::Task<QUrl> process(BatchJob job, std::shared_ptr<OutageBound> bound, std::stop_token stop);
    void handleFailure(const BatchJob& job, const std::exception& error);

    std::vector<BatchJob> m_jobs;
    // The output copied out by an export, by job.
    QHash<QUuid, QUrl> m_exportedOutputs;
    bool m_isProcessingQueue = false;
    std::optional<QUuid> m_activeJobId;
    double m_overallProgressFraction = 0;
    std::optional<QString> m_errorMessage;

    SeparationEngineProtocol* m_engine;
    QPointer<AccountStore> m_account;
    ReviewPrompter* m_reviewPrompter;
    QString m_workingDirectory;
    SettingsProvider m_settingsProvider;
    std::shared_ptr<MediaOperations> m_media;

    TaskSlot m_queueTask;
    std::shared_ptr<Run> m_run;
    quint64 m_runGeneration = 0;
    // The soundtrack each item's tries send, by job, from its first extraction until it ends.
    QHash<QUuid, ExtractedAudio> m_soundtracks;
    // The step working on a job's folder (at most one, a stopped run's maybe), resolved when it
    // returns, by job.
    QHash<QUuid, std::shared_ptr<SharedResult<bool>>> m_steps;
    OutageBackoff m_outageBackoff;
    WaitClock m_waitClock = WaitClock::system();
};

} // namespace hf
