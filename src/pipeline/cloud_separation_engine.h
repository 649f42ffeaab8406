#pragma once

// Runs separations on the backend's separation service: create a job, upload the soundtrack,
// start, poll, download the three stems. Also promotes a finished preview and cancels jobs.

#include "backend/api_client.h"
#include "backend/job_records.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/cloud_download.h"
#include "pipeline/processing.h"
#include "pipeline/separation_result.h"
#include "pipeline/server_wait.h"
#include "platform/errors.h"

#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace hf {

// The ways a cloud job ends without stems, a failed stem download, and the length limit.
class SeparationError : public Error {
public:
    enum class Case { jobFailed, downloadFailed, jobExpired, jobCanceled, missingOutputs, tooLong, invalidStem };

    static SeparationError jobFailed(QString code, QString message)
    {
        SeparationError e(Case::jobFailed);
        e.m_code = std::move(code);
        e.m_message = std::move(message);
        return e;
    }
    // `stem` is the stem's raw value; `status` 0 when the answer was not HTTP.
    static SeparationError downloadFailed(QString stem, qint64 status)
    {
        SeparationError e(Case::downloadFailed);
        e.m_stem = std::move(stem);
        e.m_status = status;
        return e;
    }
    static SeparationError jobExpired() { return SeparationError(Case::jobExpired); }
    static SeparationError jobCanceled() { return SeparationError(Case::jobCanceled); }
    static SeparationError missingOutputs() { return SeparationError(Case::missingOutputs); }
    static SeparationError tooLong() { return SeparationError(Case::tooLong); }
    // A downloaded stem (its raw value) is not audio of the soundtrack's length and channels.
    static SeparationError invalidStem(QString stem)
    {
        SeparationError e(Case::invalidStem);
        e.m_stem = std::move(stem);
        return e;
    }

    Case errorCase() const { return m_case; }
    const QString& code() const { return m_code; }
    const QString& message() const { return m_message; }
    const QString& stem() const { return m_stem; }
    qint64 status() const { return m_status; }

    QString localizedDescription() const override;
    bool operator==(const SeparationError& other) const
    {
        return m_case == other.m_case && m_code == other.m_code && m_message == other.m_message
            && m_stem == other.m_stem && m_status == other.m_status;
    }

private:
    explicit SeparationError(Case c) : m_case(c) {}

    Case m_case;
    QString m_code;
    QString m_message;
    QString m_stem;
    qint64 m_status = 0;
};

// How the coordinator and the batch queue run, promote and cancel cloud jobs.
class SeparationEngineProtocol {
public:
    using ProgressCallback = std::function<void(const ProcessingProgress&)>;

    virtual ~SeparationEngineProtocol() = default;

    // Runs one job from creation to downloaded stems. `duration` is the soundtrack's length in
    // seconds; `claimCheck` asks for a song check (full jobs only). `progress` receives every
    // report on the main thread, in order, never reaching 1.0 and never going backwards but when
    // the backend separates again from the start, which the report's text says. When an earlier
    // call of the same file and kind left a job that is still on the backend, that job is resumed
    // instead of uploading and separating again.
    // Throws SeparationError, APIError, UploadError, FileSystemError, or hf::Cancelled when
    // `stop` is requested. A job the call gives up on is cancelled on the backend; one that lost
    // the servers while it ran is kept to be resumed. `bound` is the time the servers may stay out
    // of reach, shared with the calls before and after this one that try the same work again;
    // none: this call alone.
    virtual QCoro::Task<SeparatedStems> separate(QUrl audioFile, double duration, JobKind kind, bool claimCheck,
                                                 ProgressCallback progress, std::stop_token stop = {},
                                                 std::shared_ptr<OutageBound> bound = {}) = 0;

    // Turns the finished preview `jobID` into a full clean of `duration` seconds without a new
    // upload; returns the job as the backend now describes it. Throws APIError.
    virtual QCoro::Task<CloudJob> promote(QString jobID, double duration, bool claimCheck,
                                          std::stop_token stop = {}) = 0;

    // Asks the backend to cancel the job, which is no longer kept to be resumed (interruptedJob).
    // Never throws; the outcome only reaches the log.
    virtual QCoro::Task<void> cancel(QString jobID) = 0;

    // The job of an earlier separate() call of `audioFile` that ended before its stems all arrived
    // while the job may still be on the backend (its stems not all downloaded, or the servers out
    // of reach while it ran); a new call for the same file and kind resumes it. None when there is
    // none or the engine does not keep track.
    virtual std::optional<QString> interruptedJob(const QUrl& audioFile) const
    {
        Q_UNUSED(audioFile);
        return std::nullopt;
    }
};

// The engine over the backend client, an uploader and a download session. Keeps no state between
// calls; everything about one job lives in the call that runs it. Main thread only.
class CloudSeparationEngine final : public QObject, public SeparationEngineProtocol {
    Q_OBJECT

public:
    static constexpr double maxDurationSeconds = 10800;
    static constexpr int maxConsecutivePollFailures = 5;
    // A job waiting in the queue this long has its wait told.
    static constexpr std::chrono::minutes queuedNoticeAfter{1};

    // None of the pointers is owned. `workingDirectory` is the folder under which each job gets a
    // folder of its own for its stems (the "Jobs" folder of the cache).
    CloudSeparationEngine(APIClient* api, AudioUploading* uploader, QNetworkAccessManager* downloadSession,
                          QString workingDirectory, QObject* parent = nullptr);
    ~CloudSeparationEngine() override;

    QCoro::Task<SeparatedStems> separate(QUrl audioFile, double duration, JobKind kind, bool claimCheck,
                                         ProgressCallback progress, std::stop_token stop = {},
                                         std::shared_ptr<OutageBound> bound = {}) override;
    QCoro::Task<CloudJob> promote(QString jobID, double duration, bool claimCheck,
                                  std::stop_token stop = {}) override;
    QCoro::Task<void> cancel(QString jobID) override;
    std::optional<QString> interruptedJob(const QUrl& audioFile) const override;

    const QString& workingDirectory() const { return m_workingDirectory; }

    // The wait before each poll (2 seconds); tests shorten it.
    std::chrono::milliseconds pollInterval() const { return m_pollInterval; }
    void setPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }
    // The waits between polls and the time they measure run on this clock.
    void setWaitClock(WaitClock clock) { m_clock = std::move(clock); }
    // The longest one short request (creating, starting or reading the job) may take (15 s), and,
    // while a job runs, the longest time without a usable answer (60 s) before the call fails as a
    // network failure. Only time this process ran counts: a freeze or a suspend is not silence.
    void setServerSilenceLimits(std::chrono::milliseconds perPoll, std::chrono::milliseconds total)
    {
        m_pollAnswerLimit = perPoll;
        m_unansweredLimit = total;
    }
    // How long the calls of one piece of work (those sharing an OutageBound) may go on failing for
    // servers out of reach (2 minutes), counted from the last usable answer of a started job, or
    // from the first call: a failure past it is final (OutageTooLong), and the job is given up. No
    // wait of a call goes on past it by more than one request's limit.
    void setOutageLimit(std::chrono::milliseconds limit) { m_outageLimit = limit; }
    // A stem download fails when it falls more than `window`'s worth behind `bytesPerSecond` on
    // average (4 KiB/s, 30 s by default), however long the whole download takes.
    void setDownloadMinimumRate(qint64 bytesPerSecond, std::chrono::milliseconds window)
    {
        m_minDownloadRate = bytesPerSecond;
        m_downloadRateWindow = window;
    }

private:
    struct Call;

    QCoro::Task<SeparatedStems> separateOnce(std::shared_ptr<Call> call, QUrl audioFile, double duration,
                                             bool claimCheck, std::stop_token stop);
    QCoro::Task<SeparatedStems> runJob(std::shared_ptr<Call> call, QUrl audioFile, CreateJobResponse created,
                                       std::stop_token stop);
    // The remembered job of `audioFile`, followed to its stems; none when it is gone (ended
    // without stems, expired, unknown to the backend) and a new job must be made.
    QCoro::Task<std::optional<SeparatedStems>> resumeJob(std::shared_ptr<Call> call, QUrl audioFile, QString jobID,
                                                         std::stop_token stop);
    QCoro::Task<SeparatedStems> finishJob(std::shared_ptr<Call> call, QUrl audioFile, CloudJob started,
                                          std::stop_token stop);
    // One read of the job that fails as a network failure when it takes longer than `limit`
    // (the short-request limit when none).
    QCoro::Task<CloudJob> poll(QString id, std::optional<std::chrono::milliseconds> limit, std::stop_token stop);
    // The call could not finish job `jobID`: keeps it to be resumed when the servers went away
    // while it ran, else cancels it on the backend (best effort) unless it already ended.
    void giveUp(const Call& call, const QUrl& audioFile, const QString& jobID, bool stopped, bool outage);
    // `error` ended the call after the session that owns its job was replaced: throws that the
    // session ended (APIError::sessionEnded, or APIError::signInRequired when no new session took
    // its place) when it is what `error` tells.
    static void throwIfSessionEnded(const Call& call, const std::exception& error);
    QCoro::Task<CloudJob> waitForEnd(std::shared_ptr<Call> call, CloudJob current, std::stop_token stop);
    // `keepPresent`: a stem already in the job's folder (checked when it was accepted) is kept.
    QCoro::Task<SeparatedStems> downloadStems(std::shared_ptr<Call> call, CloudJob job, bool keepPresent,
                                              std::stop_token stop);
    // `progress` hears of the stem's bytes as they arrive.
    QCoro::Task<void> downloadStem(std::shared_ptr<Call> call, QUrl url, QString stem, QString destination,
                                   std::stop_token stop, DownloadProgress progress = {});
    QCoro::Task<SeparatedStems> downloadRemembering(std::shared_ptr<Call> call, QUrl audioFile, CloudJob job,
                                                    bool keepPresent, std::stop_token stop);

    QPointer<APIClient> m_api;
    AudioUploading* m_uploader;
    QPointer<QNetworkAccessManager> m_downloadSession;
    QString m_workingDirectory;
    std::chrono::milliseconds m_pollInterval{std::chrono::seconds(2)};
    qint64 m_minDownloadRate = 4096;
    std::chrono::milliseconds m_downloadRateWindow{std::chrono::seconds(30)};
    WaitClock m_clock = WaitClock::system();
    std::chrono::milliseconds m_pollAnswerLimit{std::chrono::seconds(15)};
    std::chrono::milliseconds m_unansweredLimit{std::chrono::seconds(60)};
    std::chrono::milliseconds m_outageLimit{std::chrono::minutes(2)};
    // Jobs that may still give their stems, by the soundtrack sent (see interruptedJob).
    struct Remembered {
        QString jobID;
        JobKind kind;
        // The separation's progress as last reported to the call that left it.
        std::optional<double> separated;
    };
    QHash<QUrl, Remembered> m_interrupted;
};

} // namespace hf
