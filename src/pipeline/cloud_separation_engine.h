#pragma once

// Runs separations on the backend's separation service: create a job, upload the soundtrack,
// start, poll, download the three stems. Also promotes a finished preview and cancels jobs.

#include "backend/api_client.h"
#include "backend/job_records.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/processing.h"
#include "pipeline/separation_result.h"
#include "platform/errors.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

namespace hf {

// The ways a cloud job ends without stems, a failed stem download, and the length limit.
class SeparationError : public Error {
public:
    enum class Case { jobFailed, downloadFailed, jobExpired, jobCanceled, missingOutputs, tooLong };

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
    // report on the main thread, in order, never going backwards and never reaching 1.0.
    // Throws SeparationError, APIError, UploadError, FileSystemError, or hf::Cancelled when
    // `stop` is requested (a job still under way is then cancelled on the backend).
    virtual QCoro::Task<SeparatedStems> separate(QUrl audioFile, double duration, JobKind kind, bool claimCheck,
                                                 ProgressCallback progress, std::stop_token stop = {}) = 0;

    // Turns the finished preview `jobID` into a full clean of `duration` seconds without a new
    // upload; returns the job as the backend now describes it. Throws APIError.
    virtual QCoro::Task<CloudJob> promote(QString jobID, double duration, bool claimCheck,
                                          std::stop_token stop = {}) = 0;

    // Asks the backend to cancel the job. Never throws; the outcome only reaches the log.
    virtual QCoro::Task<void> cancel(QString jobID) = 0;
};

// The engine over the backend client, an uploader and a download session. Keeps no state between
// calls; everything about one job lives in the call that runs it. Main thread only.
class CloudSeparationEngine final : public QObject, public SeparationEngineProtocol {
    Q_OBJECT

public:
    static constexpr double maxDurationSeconds = 10800;
    static constexpr int maxConsecutivePollFailures = 5;

    // None of the pointers is owned. `workingDirectory` is the folder under which each job gets a
    // folder of its own for its stems (the "Jobs" folder of the cache).
    CloudSeparationEngine(APIClient* api, AudioUploading* uploader, QNetworkAccessManager* downloadSession,
                          QString workingDirectory, QObject* parent = nullptr);
    ~CloudSeparationEngine() override;

    QCoro::Task<SeparatedStems> separate(QUrl audioFile, double duration, JobKind kind, bool claimCheck,
                                         ProgressCallback progress, std::stop_token stop = {}) override;
    QCoro::Task<CloudJob> promote(QString jobID, double duration, bool claimCheck,
                                  std::stop_token stop = {}) override;
    QCoro::Task<void> cancel(QString jobID) override;

    const QString& workingDirectory() const { return m_workingDirectory; }

    // The wait before each poll (2 seconds); tests shorten it.
    std::chrono::milliseconds pollInterval() const { return m_pollInterval; }
    void setPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }

private:
    struct Call;

    QCoro::Task<SeparatedStems> runJob(std::shared_ptr<Call> call, QUrl audioFile, CreateJobResponse created,
                                       std::stop_token stop);
    QCoro::Task<CloudJob> waitForEnd(std::shared_ptr<Call> call, CloudJob current, std::stop_token stop);
    QCoro::Task<SeparatedStems> downloadStems(std::shared_ptr<Call> call, CloudJob job, std::stop_token stop);
    QCoro::Task<void> downloadStem(QUrl url, QString stem, QString destination, std::stop_token stop);

    QPointer<APIClient> m_api;
    AudioUploading* m_uploader;
    QPointer<QNetworkAccessManager> m_downloadSession;
    QString m_workingDirectory;
    std::chrono::milliseconds m_pollInterval{std::chrono::seconds(2)};
};

} // namespace hf
