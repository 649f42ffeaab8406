#include "pipeline/cloud_separation_engine.h"

#include "pipeline/cloud_download.h"
#include "pipeline/cloud_stem_check.h"
#include "pipeline/formatting.h"
#include "pipeline/media_error.h"
#include "pipeline/stem.h"
#include "platform/async.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace hf {

HF_LOGGING_CATEGORY(lcCloudSeparationEngine, "CloudSeparationEngine")

namespace {

constexpr double previewSeconds = 30;

double clamp01(double x)
{
    if (!(x >= 0))
        return 0;   // below 0, or not a number
    return std::min(x, 1.0);
}

// The length the stems of a job of `kind` for a soundtrack of `duration` seconds have.
double jobSeconds(JobKind kind, double duration)
{
    return (kind == JobKind::preview && duration > previewSeconds) ? previewSeconds : duration;
}

bool isTerminal(JobStatus status)
{
    return status == JobStatus::succeeded || status == JobStatus::failed || status == JobStatus::canceled
        || status == JobStatus::expired;
}

// Asks the backend to cancel a job; only the log hears how it went. Holds the client, not the
// engine, so it outlives the call (and the engine) that started it. `session`: the session of the
// account that owns the job, when it is no longer the stored one.
QCoro::Task<void> cancelJobOnBackend(QPointer<APIClient> api, QString jobID, std::optional<QString> session = {})
{
    if (!api)
        co_return;
    try {
        auto cancelling = api->cancelJob(jobID, {}, std::move(session));
        const CloudJob ignored = co_await std::move(cancelling);
        Q_UNUSED(ignored);
        qCInfo(lcCloudSeparationEngine, "Canceled job %s", qUtf8Printable(jobID));
    } catch (const Cancelled&) {
        // The client went away meanwhile: nothing left to tell.
    } catch (const std::exception& e) {
        qCInfo(lcCloudSeparationEngine, "Cancel for %s failed: %s", qUtf8Printable(jobID),
               qUtf8Printable(describe(e)));
    }
}

// One short request that fails as a network failure when it takes longer than `limit`, however
// its answer trickles in; `onSlow`, when given, hears when half of that time has gone. It runs
// under a token of its own, stopped with the caller's or when its time is up.
template<class T>
QCoro::Task<T> answerWithin(QPointer<APIClient> api, std::chrono::milliseconds limit, std::stop_token stop,
                            std::function<QCoro::Task<T>(APIClient&, std::stop_token)> request,
                            std::function<void()> onSlow = {})
{
    if (!api)
        throw Cancelled();
    std::stop_source own;
    std::stop_callback follow(stop, [&own] { own.request_stop(); });
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&own, &timedOut] {
        timedOut = true;
        own.request_stop();
    });
    timer.start(limit);
    QTimer slow;
    slow.setSingleShot(true);
    if (onSlow) {
        QObject::connect(&slow, &QTimer::timeout, &slow, onSlow);
        slow.start(limit / 2);
    }
    try {
        auto answering = request(*api, own.get_token());
        T answer = co_await std::move(answering);
        co_return answer;
    } catch (const Cancelled&) {
        if (!timedOut || stop.stop_requested())
            throw;
    }
    throw APIError::network(text("error.network.notAnswering", "The server didn't answer in time."));
}

// A job in a state this client does not know is told as an answer this version doesn't understand.
void requireKnownStatus(const CloudJob& job)
{
    if (job.status != JobStatus::unknown)
        return;
    qCWarning(lcCloudSeparationEngine, "Job %s is in a state this version doesn't know", qUtf8Printable(job.id));
    throw APIError::decoding(QStringLiteral("unknown job status"));
}

// The least time a request is given, however little is left of the time it may take: the server is
// asked once more before it is called silent.
constexpr std::chrono::milliseconds shortestAsk{std::chrono::seconds(5)};

// The most a step of a wait may be counted beyond what it asked for: a timer that fires that much
// late means the process was not running (frozen, or the machine asleep), not that the server was
// silent.
constexpr std::chrono::milliseconds runningMargin{std::chrono::seconds(2)};

} // namespace

QString SeparationError::localizedDescription() const
{
    switch (m_case) {
    case Case::jobFailed:
        if (!m_message.isEmpty())
            return text("error.job.serverMessage", "%@", {m_message});
        if (m_code == u"decode_failed")
            return text("error.job.decodeFailed",
                        "The soundtrack couldn't be decoded. Try exporting the video as MP4 or MOV.");
        if (m_code == u"too_long")
            return text("error.job.tooLong", "The soundtrack was longer than expected. Please try again.");
        if (m_code == u"input_missing")
            return text("error.job.inputMissing", "The upload didn't reach the server. Please try again.");
        if (m_code == u"timeout")
            return text("error.job.timeout", "Separation took too long and was stopped. Please try again.");
        if (m_code == u"storage_full")
            return serverOutOfSpaceText();
        if (m_code == u"dispatch_failed")
            return text("error.job.dispatchFailed",
                        "The separation service is unavailable right now. Please try again later.");
        return text("error.job.failed", "Separation failed. Please try again.");
    case Case::downloadFailed:
        if (m_stem == u"dialogue")
            return text("error.download.dialogue",
                        "Downloading the dialogue stem failed (HTTP %lld). Please try again.", {m_status});
        if (m_stem == u"music")
            return text("error.download.music", "Downloading the music stem failed (HTTP %lld). Please try again.",
                        {m_status});
        return text("error.download.effects", "Downloading the effects stem failed (HTTP %lld). Please try again.",
                    {m_status});
    case Case::jobExpired:
        return text("error.job.expired", "This job expired before it finished. Please try again.");
    case Case::jobCanceled:
        return text("error.job.canceled", "This job was canceled.");
    case Case::missingOutputs:
        return text("error.job.missingOutputs", "The job finished without any audio. Please try again.");
    case Case::tooLong:
        return text("error.media.tooLong", "Videos can be up to 3 hours long.");
    case Case::invalidStem:
        if (m_stem == u"dialogue")
            return text("error.download.invalid.dialogue",
                        "The dialogue stem that arrived isn't usable audio. Please try again.");
        if (m_stem == u"music")
            return text("error.download.invalid.music",
                        "The music stem that arrived isn't usable audio. Please try again.");
        return text("error.download.invalid.effects",
                    "The effects stem that arrived isn't usable audio. Please try again.");
    }
    return {};
}

// Everything about one separate() call. Reports go out on the main thread, in order; the fraction
// goes back only when the backend separates again from the start, and the text then says so.
// Upload events are taken only while the upload runs.
struct CloudSeparationEngine::Call {
    ProgressCallback progress;
    JobKind kind = JobKind::full;
    // What every downloaded stem must be: as long as the job, with the channels of the soundtrack.
    ExpectedStem expected;
    QString soundtrackPath;
    WaitClock clock;
    // When the last usable answer of the servers arrived in this call; none before one did.
    std::optional<std::chrono::steady_clock::time_point> lastAnswer;
    // How long the servers may stay out of reach, and where that bound stood when this call began
    // (set by an earlier try of the same work, or counted from this call's start).
    std::chrono::milliseconds outageLimit{0};
    std::chrono::steady_clock::time_point firstDeadline{};
    QPointer<APIClient> api;
    // The session the job's requests went with when they were last answered: the session of the
    // account that owns the job.
    std::optional<QString> session;
    JobStatus lastKnown = JobStatus::unknown;
    // The job was started (or found under way): from then on it may be resumed.
    bool started = false;
    bool uploading = false;
    ProcessingStage lastStage{ProcessingStage::Kind::uploading};
    double lastFraction = 0;
    // The separation's own progress as last reported, and whether it went back to the start.
    std::optional<double> lastSeparated;
    bool separatingAgain = false;
    // Since when the job has been seen waiting in the queue.
    std::optional<std::chrono::steady_clock::time_point> queuedSince;

    // The step under way moved on (a job made, the upload taken, the job started or read while it
    // runs, a stem arrived): the servers are there. A read of a job only to pick it up again is
    // not such a step.
    void answered()
    {
        lastAnswer = clock.now();
        if (api)
            session = api->tokenStore().token();
    }

    // The session that owns the job ended while it ran, and another (or none) took its place: no
    // request of this client can reach the job but with that session's own token.
    bool sessionReplaced() const { return session && (!api || api->tokenStore().token() != session); }

    // The end of the time the servers may stay out of reach. Only the answers of a started job
    // move it on: a job made or an upload taken is made again by the next try, and a try that
    // only gets that far brings the work no nearer to its end.
    std::chrono::steady_clock::time_point deadline() const
    {
        return started && lastAnswer ? *lastAnswer + outageLimit : firstDeadline;
    }

    std::chrono::milliseconds timeLeft() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline() - clock.now());
    }
    // How long a request may take that is allowed `most` (at most `full`, its own limit): never
    // past the deadline, but for the shortest ask.
    std::chrono::milliseconds askWithin(std::chrono::milliseconds most, std::chrono::milliseconds full) const
    {
        return std::clamp(std::min(most, timeLeft()), std::min(full, shortestAsk), full);
    }
    std::chrono::milliseconds askWithin(std::chrono::milliseconds full) const { return askWithin(full, full); }
    bool pastDeadline() const { return clock.now() >= deadline(); }

    void report(ProcessingStage stage, double fraction, QString message, bool mayGoBack = false)
    {
        lastFraction = mayGoBack ? clamp01(fraction) : std::max(clamp01(fraction), lastFraction);
        lastStage = stage;
        if (progress)
            progress(ProcessingProgress{std::move(stage), lastFraction, std::move(message)});
    }

    void reportUpload(double sent)
    {
        if (!uploading)
            return;
        report(ProcessingStage::Kind::uploading, clamp01(0.05 + 0.25 * sent),
               text("status.cloud.uploading", "Uploading audio (%@)", {percentText(sent)}));
    }

    // A poll failed with `failure`: the bar stays where it is, the text says why nothing moves.
    void reportPollFailure(const APIError& failure)
    {
        report(lastStage, lastFraction,
               outageText(failure,
                          {text("status.cloud.notAnswering", "The separation server isn't answering. Still trying…"),
                           text("status.cloud.brokenAnswer",
                                "The separation server sent a broken answer. Still trying…"),
                           text("status.cloud.busy", "The separation server is busy. Waiting as it asked…")}));
    }

    // A short request is taking long: the text says so until its answer (or its failure) comes.
    std::function<void()> slowReporter()
    {
        return [this] {
            report(lastStage, lastFraction,
                   text("status.cloud.slowAnswer", "The separation server is slow to answer. Still waiting…"));
        };
    }

    // What a job record says about the work: waiting or separating; nothing once it ended.
    void reportJob(const CloudJob& job)
    {
        switch (job.status) {
        case JobStatus::awaitingUpload:
        case JobStatus::queued:
        case JobStatus::unknown: {
            const auto now = clock.now();
            if (!queuedSince)
                queuedSince = now;
            const auto waited = std::chrono::duration_cast<std::chrono::minutes>(now - *queuedSince);
            if (waited >= queuedNoticeAfter)
                report(ProcessingStage::Kind::queued, 0.32,
                       text("status.stage.queuedFor", "Waiting for a separation server (%@ so far)",
                            {durationText(double(waited.count()))}));
            else
                report(ProcessingStage::Kind::queued, 0.32,
                       text("status.stage.queued", "Waiting for a separation server"));
            break;
        }
        case JobStatus::processing: {
            queuedSince.reset();
            const double p = clamp01(job.progress.value_or(0));
            // Less done than before: the backend started the separation over (after a restart of
            // its own). Bar and text go back together, and the text says so.
            const bool wentBack = lastSeparated && p < *lastSeparated;
            separatingAgain = separatingAgain || wentBack;
            lastSeparated = p;
            if (separatingAgain)
                report(ProcessingStage::Kind::separating, clamp01(0.35 + 0.55 * p),
                       text("status.cloud.separatingAgain", "Separating again from the start (%@)",
                            {percentText(p)}),
                       wentBack);
            else
                report(ProcessingStage::Kind::separating, clamp01(0.35 + 0.55 * p),
                       text("status.cloud.separating", "Separating (%@)", {percentText(p)}));
            break;
        }
        case JobStatus::succeeded:
        case JobStatus::failed:
        case JobStatus::canceled:
        case JobStatus::expired:
            break;
        }
    }
};

CloudSeparationEngine::CloudSeparationEngine(APIClient* api, AudioUploading* uploader,
                                             QNetworkAccessManager* downloadSession, QString workingDirectory,
                                             QObject* parent)
    : QObject(parent), m_api(api), m_uploader(uploader), m_downloadSession(downloadSession),
      m_workingDirectory(std::move(workingDirectory))
{
}

CloudSeparationEngine::~CloudSeparationEngine() = default;

QCoro::Task<SeparatedStems> CloudSeparationEngine::separate(QUrl audioFile, double duration, JobKind kind,
                                                            bool claimCheck, ProgressCallback progress,
                                                            std::stop_token stop, std::shared_ptr<OutageBound> bound)
{
    // Also refuses a duration that is not a number.
    if (!(duration <= maxDurationSeconds))
        throw SeparationError::tooLong();

    auto call = std::make_shared<Call>();
    call->progress = std::move(progress);
    call->kind = kind;
    call->expected.seconds = jobSeconds(kind, duration);
    call->soundtrackPath = audioFile.toLocalFile();
    call->clock = m_clock;
    call->api = m_api;
    if (m_api)
        call->session = m_api->tokenStore().token();
    if (!bound)
        bound = std::make_shared<OutageBound>();
    call->outageLimit = m_outageLimit;
    call->firstDeadline = bound->deadline.value_or(m_clock.now() + m_outageLimit);
    QPointer<CloudSeparationEngine> self(this);
    std::optional<QString> lastFailure;
    try {
        auto running = separateOnce(call, audioFile, duration, claimCheck, stop);
        SeparatedStems stems = co_await std::move(running);
        co_return stems;
    } catch (const std::exception& e) {
        if (!self || stop.stop_requested() || !isOutage(e))
            throw;
        // The servers are out of reach: the caller may try again, until the time without a usable
        // answer, over this call and those before it, is past the limit.
        const auto deadline = call->deadline();
        if (m_clock.now() < deadline) {
            bound->deadline = deadline;
            throw;
        }
        lastFailure = outageDescription(e);
    }
    qCWarning(lcCloudSeparationEngine, "The servers stayed out of reach too long: %s", qUtf8Printable(*lastFailure));
    if (const auto kept = m_interrupted.constFind(audioFile); kept != m_interrupted.constEnd()) {
        const QString jobID = kept->jobID;
        m_interrupted.remove(audioFile);
        spawn(cancelJobOnBackend(m_api, jobID), lcCloudSeparationEngine(), QStringLiteral("Cancel of a job"));
    }
    throw OutageTooLong(*lastFailure);
}

QCoro::Task<SeparatedStems> CloudSeparationEngine::separateOnce(std::shared_ptr<Call> call, QUrl audioFile,
                                                                double duration, bool claimCheck,
                                                                std::stop_token stop)
{
    const JobKind kind = call->kind;
    QPointer<CloudSeparationEngine> self(this);
    QPointer<APIClient> api = m_api;
    if (!api)
        throw Cancelled();

    // An earlier call of this soundtrack left a job that may still give its stems.
    const auto remembered = m_interrupted.constFind(audioFile);
    if (remembered != m_interrupted.constEnd() && remembered->kind == kind) {
        const QString jobID = remembered->jobID;
        // It was started, and what it had shown of its separation still holds.
        call->started = true;
        call->lastSeparated = remembered->separated;
        std::optional<SeparatedStems> resumed;
        try {
            auto resuming = resumeJob(call, audioFile, jobID, stop);
            resumed = co_await std::move(resuming);
        } catch (const Cancelled&) {
            if (self)
                giveUp(*call, audioFile, jobID, true, false);
            throw;
        } catch (const std::exception& e) {
            if (self)
                giveUp(*call, audioFile, jobID, stop.stop_requested(), isOutage(e));
            throwIfSessionEnded(*call, e);
            throw;
        }
        if (resumed)
            co_return std::move(*resumed);
        if (!self || !api)
            throw Cancelled();
        *call = Call{call->progress,    kind,           call->expected,
                     call->soundtrackPath, call->clock,    call->lastAnswer,
                     call->outageLimit,    call->firstDeadline, call->api};
    }

    call->report(ProcessingStage::Kind::uploading, 0.02, text("status.cloud.creatingJob", "Creating job"));

    CreateJobRequest request;
    request.kind = kind;
    request.durationSeconds = jobSeconds(kind, duration);
    request.contentType = QStringLiteral("audio/mp4");
    if (claimCheck && kind == JobKind::full)
        request.claimCheck = true;

    auto creating = answerWithin<CreateJobResponse>(
        api, call->askWithin(m_pollAnswerLimit), stop,
        [request](APIClient& client, std::stop_token own) { return client.createJob(request, own); },
        call->slowReporter());
    const CreateJobResponse created = co_await std::move(creating);
    if (!self)
        throw Cancelled();
    call->answered();
    qCInfo(lcCloudSeparationEngine, "Created %s job %s", kind == JobKind::full ? "full" : "preview",
           qUtf8Printable(created.job.id));
    if (created.job.kind != kind)
        throw APIError::otherJob();
    call->lastKnown = created.job.status;

    // From here on a job exists: when this call ends without it, the job is cancelled on the
    // backend, in a task of its own that a stop does not reach, or kept to be resumed.
    const QString jobID = created.job.id;
    std::optional<SeparatedStems> stems;
    try {
        stems = co_await runJob(call, audioFile, created, stop);
    } catch (const Cancelled&) {
        if (self)
            giveUp(*call, audioFile, jobID, true, false);
        else if (!isTerminal(call->lastKnown))
            spawn(cancelJobOnBackend(api, jobID), lcCloudSeparationEngine(), QStringLiteral("Cancel of a job"));
        throw;
    } catch (const std::exception& e) {
        if (self)
            giveUp(*call, audioFile, jobID, stop.stop_requested(), isOutage(e));
        throwIfSessionEnded(*call, e);
        throw;
    }
    co_return std::move(*stems);
}

void CloudSeparationEngine::throwIfSessionEnded(const Call& call, const std::exception& error)
{
    // The refusal, or the job's absence from the account that took the session's place, says
    // nothing about the job: the session it belonged to ended. With a new session in its place
    // the servers were reached and answered; without one, no session could be had.
    const auto* api = dynamic_cast<const APIError*>(&error);
    if (!api || !call.sessionReplaced())
        return;
    if (api->kind() == APIError::Case::signInRequired
        || (api->kind() == APIError::Case::server && (api->status() == 401 || api->status() == 403 || api->status() == 404))) {
        if (call.api && call.api->tokenStore().token())
            throw APIError::sessionEnded();
        throw APIError::signInRequired();
    }
}

void CloudSeparationEngine::giveUp(const Call& call, const QUrl& audioFile, const QString& jobID, bool stopped,
                                   bool outage)
{
    // A job that succeeded is remembered by its download until its stems are all here.
    if (call.lastKnown == JobStatus::succeeded)
        return;
    const auto remembered = m_interrupted.constFind(audioFile);
    const bool isRemembered = remembered != m_interrupted.constEnd() && remembered->jobID == jobID;
    if (isTerminal(call.lastKnown)) {
        if (isRemembered)
            m_interrupted.remove(audioFile);
        return;
    }
    // The servers went away while the job ran: it is likely still there, and a retry resumes it.
    if (call.started && outage && !stopped) {
        m_interrupted.insert(audioFile, Remembered{jobID, call.kind, call.lastSeparated});
        return;
    }
    if (isRemembered)
        m_interrupted.remove(audioFile);
    std::optional<QString> owner;
    if (call.sessionReplaced())
        owner = call.session;
    spawn(cancelJobOnBackend(m_api, jobID, owner), lcCloudSeparationEngine(), QStringLiteral("Cancel of a job"));
}

QCoro::Task<SeparatedStems> CloudSeparationEngine::runJob(std::shared_ptr<Call> call, QUrl audioFile,
                                                          CreateJobResponse created, std::stop_token stop)
{
    QPointer<CloudSeparationEngine> self(this);
    QPointer<APIClient> api = m_api;
    requireKnownStatus(created.job);

    // Upload events may come from any thread; each is handed to the main thread and dropped once
    // the upload has returned, so no late event can move the progress back.
    std::weak_ptr<Call> weak = call;
    AudioUploading::Progress onUpload = [weak](double sent) {
        auto deliver = [weak, sent] {
            if (auto c = weak.lock())
                c->reportUpload(sent);
        };
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || QThread::currentThread() == app->thread())
            deliver();
        else
            QMetaObject::invokeMethod(app, deliver, Qt::QueuedConnection);
    };
    struct UploadWindow {
        std::shared_ptr<Call> call;
        explicit UploadWindow(std::shared_ptr<Call> c) : call(std::move(c)) { call->uploading = true; }
        ~UploadWindow() { call->uploading = false; }
    };
    {
        UploadWindow window(call);
        co_await m_uploader->upload(audioFile, created.upload, onUpload, stop);
    }
    if (!self || !api)
        throw Cancelled();
    throwIfStopped(stop);
    call->answered();

    const QString createdID = created.job.id;
    auto starting = answerWithin<CloudJob>(
        api, call->askWithin(m_pollAnswerLimit), stop,
        [createdID](APIClient& client, std::stop_token own) { return client.startJob(createdID, own); },
        call->slowReporter());
    const CloudJob started = co_await std::move(starting);
    if (!self)
        throw Cancelled();
    call->answered();
    if (started.kind != call->kind)
        throw APIError::otherJob();
    requireKnownStatus(started);
    call->lastKnown = started.status;
    call->started = true;
    call->reportJob(started);
    auto finishing = finishJob(call, audioFile, started, stop);
    SeparatedStems stems = co_await std::move(finishing);
    co_return stems;
}

QCoro::Task<SeparatedStems> CloudSeparationEngine::finishJob(std::shared_ptr<Call> call, QUrl audioFile,
                                                             CloudJob started, std::stop_token stop)
{
    auto waiting = waitForEnd(call, std::move(started), stop);
    const CloudJob ended = co_await std::move(waiting);
    switch (ended.status) {
    case JobStatus::succeeded: {
        auto downloading = downloadRemembering(call, audioFile, ended, false, stop);
        SeparatedStems stems = co_await std::move(downloading);
        co_return stems;
    }
    case JobStatus::failed:
        if (ended.error)
            throw SeparationError::jobFailed(ended.error->code, ended.error->message);
        throw SeparationError::jobFailed(QStringLiteral("unknown"), QString());
    case JobStatus::canceled:
        throw SeparationError::jobCanceled();
    default:
        throw SeparationError::jobExpired();
    }
}

QCoro::Task<std::optional<SeparatedStems>> CloudSeparationEngine::resumeJob(std::shared_ptr<Call> call,
                                                                            QUrl audioFile, QString jobID,
                                                                            std::stop_token stop)
{
    QPointer<CloudSeparationEngine> self(this);
    QPointer<APIClient> api = m_api;
    if (!api)
        throw Cancelled();
    std::optional<CloudJob> read;
    try {
        auto reading = poll(jobID, call->askWithin(m_pollAnswerLimit), stop);
        read = co_await std::move(reading);
    } catch (const APIError& e) {
        // Not found by the account that took the place of the job's own says nothing of the job.
        if (e.kind() != APIError::Case::server || e.code() != APIErrorCode::notFound || call->sessionReplaced())
            throw;
    }
    if (!self)
        throw Cancelled();
    if (!read) {
        // Gone from the backend: a new job takes its place.
        m_interrupted.remove(audioFile);
        co_return std::nullopt;
    }
    const CloudJob job = std::move(*read);
    if (job.kind != call->kind)
        throw APIError::otherJob();
    requireKnownStatus(job);
    call->lastKnown = job.status;
    // The stems of a job past its expiry may already be gone, whatever its status still says.
    const bool expired = job.expiresAt && *job.expiresAt <= QDateTime::currentDateTimeUtc();
    switch (job.status) {
    case JobStatus::succeeded:
        if (expired)
            break;
        call->started = true;
        {
            qCInfo(lcCloudSeparationEngine, "Resuming the download of job %s", qUtf8Printable(jobID));
            auto downloading = downloadRemembering(call, audioFile, job, true, stop);
            SeparatedStems stems = co_await std::move(downloading);
            co_return stems;
        }
    case JobStatus::queued:
    case JobStatus::processing:
        if (expired)
            break;
        call->started = true;
        {
            qCInfo(lcCloudSeparationEngine, "Resuming job %s", qUtf8Printable(jobID));
            call->reportJob(job);
            auto finishing = finishJob(call, audioFile, job, stop);
            SeparatedStems stems = co_await std::move(finishing);
            co_return stems;
        }
    case JobStatus::awaitingUpload:
    case JobStatus::unknown:
        // Never started: nothing of it is worth keeping.
        spawn(cancelJobOnBackend(api, jobID), lcCloudSeparationEngine(), QStringLiteral("Cancel of a job"));
        break;
    case JobStatus::failed:
    case JobStatus::canceled:
    case JobStatus::expired:
        break;
    }
    m_interrupted.remove(audioFile);
    co_return std::nullopt;
}

QCoro::Task<CloudJob> CloudSeparationEngine::poll(QString id, std::optional<std::chrono::milliseconds> limit,
                                                  std::stop_token stop)
{
    auto reading = answerWithin<CloudJob>(m_api, limit.value_or(m_pollAnswerLimit), stop,
                                          [id](APIClient& client, std::stop_token own) { return client.job(id, own); });
    CloudJob job = co_await std::move(reading);
    co_return job;
}

QCoro::Task<CloudJob> CloudSeparationEngine::waitForEnd(std::shared_ptr<Call> call, CloudJob current,
                                                        std::stop_token stop)
{
    using std::chrono::milliseconds;
    QPointer<CloudSeparationEngine> self(this);
    const WaitClock clock = m_clock;
    int failures = 0;
    // Polls that fail, or answer too slowly, count against the time since the last usable answer:
    // however the server fails, the wait without one is bounded. That time is counted step by
    // step, each step (a wait, a poll) at most as long as it can last while this process runs, so
    // time the process was frozen or the machine slept is not counted as the server's silence.
    milliseconds silence{0};
    auto mark = clock.now();
    auto count = [&](milliseconds most) {
        const auto now = clock.now();
        silence += std::min(std::chrono::duration_cast<milliseconds>(now - mark), most + runningMargin);
        mark = now;
    };
    milliseconds pause = m_pollInterval;
    while (!isTerminal(current.status)) {
        // The wait comes before every poll; a failed poll does not shorten it.
        auto sleeping = clock.sleep(pause, stop);
        co_await std::move(sleeping);
        if (!self || !m_api)
            throw Cancelled();
        throwIfStopped(stop);
        count(pause);
        pause = m_pollInterval;
        const QString id = current.id;
        std::optional<CloudJob> polled;
        std::optional<APIError> failure;
        // The server is asked again before it is called silent, with at least a short poll's time.
        const milliseconds limit = call->askWithin(m_unansweredLimit - silence, m_pollAnswerLimit);
        try {
            auto polling = poll(id, limit, stop);
            polled = co_await std::move(polling);
        } catch (const APIError& e) {
            if (!isOutage(e))
                throw;
            failure = e;
        }
        if (!self)
            throw Cancelled();
        count(limit);
        if (failure) {
            ++failures;
            qCInfo(lcCloudSeparationEngine, "Poll failed (%ld): %s", long(failures),
                   qUtf8Printable(failure->kind() == APIError::Case::network ? failure->description()
                                                                             : failure->localizedDescription()));
            if (failures >= maxConsecutivePollFailures || silence >= m_unansweredLimit || call->pastDeadline())
                throw *failure;
            // A server that asked for a pause gets it, as far as the wait may still go on.
            if (const auto asked = failure->retryAfter())
                pause = std::max(pause, std::min({milliseconds(*asked), m_unansweredLimit - silence, call->timeLeft()}));
            call->reportPollFailure(*failure);
            continue;
        }
        // The answer names this job (the client checked its id); it must also be of its kind.
        if (polled->kind != call->kind)
            throw APIError::otherJob();
        requireKnownStatus(*polled);
        current = std::move(*polled);
        call->lastKnown = current.status;
        call->answered();
        failures = 0;
        silence = milliseconds::zero();
        call->reportJob(current);
    }
    co_return current;
}

QCoro::Task<SeparatedStems> CloudSeparationEngine::downloadRemembering(std::shared_ptr<Call> call, QUrl audioFile,
                                                                      CloudJob job, bool keepPresent,
                                                                      std::stop_token stop)
{
    // The job's stems stay on the backend for a while: a download that did not complete is
    // remembered, so that a retry fetches what is missing instead of separating again.
    QPointer<CloudSeparationEngine> self(this);
    const QString id = job.id;
    m_interrupted.insert(audioFile, Remembered{id, call->kind, call->lastSeparated});
    auto downloading = downloadStems(call, std::move(job), keepPresent, stop);
    SeparatedStems stems = co_await std::move(downloading);
    if (self)
        m_interrupted.remove(audioFile);
    co_return stems;
}

std::optional<QString> CloudSeparationEngine::interruptedJob(const QUrl& audioFile) const
{
    const auto it = m_interrupted.constFind(audioFile);
    if (it == m_interrupted.constEnd())
        return std::nullopt;
    return it->jobID;
}

QCoro::Task<SeparatedStems> CloudSeparationEngine::downloadStems(std::shared_ptr<Call> call, CloudJob job,
                                                                 bool keepPresent, std::stop_token stop)
{
    QPointer<CloudSeparationEngine> self(this);
    if (!job.outputs) {
        // One more read: the outputs may be listed a moment after the job ended.
        if (!m_api)
            throw Cancelled();
        const QString id = job.id;
        auto reading = poll(id, call->askWithin(m_pollAnswerLimit), stop);
        CloudJob reread = co_await std::move(reading);
        if (!self)
            throw Cancelled();
        if (reread.kind != call->kind)
            throw APIError::otherJob();
        job = std::move(reread);
        if (!job.outputs)
            throw SeparationError::missingOutputs();
    }

    // The job's id names its folder: only an opaque identifier may do that.
    if (!isSafeIdentifier(job.id))
        throw APIError::invalidResponse();
    const QString folder = QDir(m_workingDirectory).filePath(job.id);
    if (!QDir().mkpath(folder))
        throw FileSystemError(text("error.file.createFolder", "Couldn't create the folder %@.", {folder}));

    struct Item {
        Stem stem;
        QUrl url;
        const char* key;
        const char* english;
        // The same with the share of the stem that arrived.
        const char* arrivedKey;
        const char* arrivedEnglish;
    };
    const Item items[] = {
        {Stem::dialogue, job.outputs->dialogue, "status.cloud.downloadingDialogue", "Downloading dialogue",
         "status.cloud.downloadingDialogueShare", "Downloading dialogue (%@)"},
        {Stem::music, job.outputs->music, "status.cloud.downloadingMusic", "Downloading music",
         "status.cloud.downloadingMusicShare", "Downloading music (%@)"},
        {Stem::effects, job.outputs->effects, "status.cloud.downloadingEffects", "Downloading effects",
         "status.cloud.downloadingEffectsShare", "Downloading effects (%@)"},
    };
    QUrl files[3];
    for (int i = 0; i < 3; ++i) {
        call->report(ProcessingStage::Kind::downloading, std::min(0.9 + 0.03 * i, 1.0),
                     text(items[i].key, items[i].english));
        // A stem of a long video takes a while: its share of the bar fills as its bytes arrive,
        // with its percent in the text (reported once per whole percent).
        const Item item = items[i];
        auto lastShown = std::make_shared<QString>();
        DownloadProgress arriving = [call, i, item, lastShown](qint64 written, qint64 total) {
            if (total <= 0)
                return;
            const double share = clamp01(double(written) / double(total));
            QString message = text(item.arrivedKey, item.arrivedEnglish, {percentText(share)});
            if (message == *lastShown)
                return;
            *lastShown = message;
            call->report(ProcessingStage::Kind::downloading, std::min(0.9 + 0.03 * (i + share), 1.0),
                         std::move(message));
        };
        const QString raw = rawValue(items[i].stem);
        const QString destination = QDir(folder).filePath(raw + QStringLiteral(".flac"));
        if (keepPresent && QFileInfo(destination).isFile()) {
            files[i] = QUrl::fromLocalFile(destination);
            continue;
        }
        const QUrl url = items[i].url;
        auto fetching = downloadStem(call, url, raw, destination, stop, std::move(arriving));
        co_await std::move(fetching);
        if (!self)
            throw Cancelled();
        call->answered();
        files[i] = QUrl::fromLocalFile(destination);
    }
    co_return SeparatedStems{files[0], files[1], files[2], job};
}

QCoro::Task<void> CloudSeparationEngine::downloadStem(std::shared_ptr<Call> call, QUrl url, QString stem,
                                                      QString destination, std::stop_token stop,
                                                      DownloadProgress progress)
{
    // Only web addresses from the server are fetched.
    if (!isWebUrl(url))
        throw SeparationError::downloadFailed(stem, 0);
    QNetworkAccessManager* session = m_downloadSession;
    if (!session)
        throw Cancelled();
    // The stem arrives under a name of its own and takes its place only once it proved to be the
    // audio it should be: an error page or a cut-off file never becomes a stem.
    const QString incoming = QFileInfo(destination).dir().filePath(u'.' + stem + QStringLiteral(".incoming"));
    ReplyLimits limits;
    limits.minBytesPerSecond = m_minDownloadRate;
    limits.rateWindow = m_downloadRateWindow;
    // Bytes arriving keep this try going (the rate rule above), but they are no usable answer:
    // what arrived of a stem is lost when the try fails, so they do not move the bound of the
    // work. Until the bound (and the shortest ask of a download begun at it) the rate rule alone
    // judges the download. Past it, the download goes on only while it keeps up with the least
    // rate, behind it by at most one shortest ask's worth. The judge counts from the download's
    // start with nothing arrived, but bytes that arrive ahead of the rate earn no credit: a stem
    // that came fast and then stops falls behind as soon as one that kept the rate exactly would,
    // one shortest ask after its last bytes. A long stem that arrives at that rate is not cut
    // whatever small delays it meets (the bytes after a delay make it up); one that stalls,
    // trickles or arrives too slowly ends within one shortest ask of the bound.
    const auto begun = call->clock.now();
    const std::chrono::milliseconds span = std::min(m_pollAnswerLimit, shortestAsk);
    auto judged = std::make_shared<LeastRate>(m_minDownloadRate, span, begun);
    DownloadProgress counting = [call, judged, progress = std::move(progress)](qint64 written, qint64 total) {
        judged->arrived(call->clock.now(), written);
        if (progress)
            progress(written, total);
    };
    std::stop_source own;
    std::stop_callback follow(stop, [&own] { own.request_stop(); });
    const auto latest = [call, begun, span] { return std::max(call->deadline(), begun + span); };
    // Past the bound the download was cut: it stalled, or arrived below the least rate.
    std::optional<bool> cutStalled;
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    const auto arm = [&bound, call](std::chrono::steady_clock::time_point at) {
        bound.start(std::max(std::chrono::milliseconds(0),
                             std::chrono::ceil<std::chrono::milliseconds>(at - call->clock.now())));
    };
    QObject::connect(&bound, &QTimer::timeout, &bound, [&] {
        const auto now = call->clock.now();
        if (now < latest()) {
            arm(latest());
            return;
        }
        if (const auto behind = judged->fallsBehindAt(); now < behind) {
            arm(behind);
            return;
        }
        cutStalled = judged->stalled(now);
        own.request_stop();
    });
    arm(latest());
    // (Tasks and work are named before they are awaited: GCC 12 mishandles temporaries in a
    // co_await expression that throws.)
    auto downloading = downloadToFile(session, url, incoming, own.get_token(), std::chrono::seconds(60), limits,
                                      std::move(counting));
    std::optional<int> answered;
    try {
        answered = co_await std::move(downloading);
    } catch (const Cancelled&) {
        if (!cutStalled || stop.stop_requested())
            throw;
    }
    bound.stop();
    if (!answered && !*cutStalled)
        throw APIError::tooSlow();
    if (!answered)
        throw APIError::network(text("error.network.timedOut", "The request timed out."));
    const int status = *answered;
    if (status < 200 || status > 299) {
        QFile::remove(incoming);
        throw SeparationError::downloadFailed(stem, status);
    }
    const QString audioPath = call->soundtrackPath;
    ExpectedStem expected = call->expected;
    auto check = [incoming, audioPath, expected]() mutable {
        if (!expected.channels && !audioPath.isEmpty())
            expected.channels = soundtrackChannels(audioPath);
        return stemMatches(incoming, expected);
    };
    auto checking = runOffThread(stop, std::move(check));
    bool usable = false;
    try {
        usable = co_await std::move(checking);
    } catch (...) {
        QFile::remove(incoming);
        throw;
    }
    if (!usable) {
        QFile::remove(incoming);
        throw SeparationError::invalidStem(stem);
    }
    QFile::remove(destination);
    if (!QFile::rename(incoming, destination)) {
        QFile::remove(incoming);
        throw FileSystemError(text("error.file.move", "Couldn't move the file to %@.", {destination}));
    }
}

QCoro::Task<CloudJob> CloudSeparationEngine::promote(QString jobID, double duration, bool claimCheck,
                                                     std::stop_token stop)
{
    PromoteJobRequest request;
    request.durationSeconds = duration;
    if (claimCheck)
        request.claimCheck = true;
    QPointer<APIClient> api = m_api;
    if (!api)
        throw Cancelled();
    CloudJob job = co_await api->promoteJob(jobID, request, stop);
    qCInfo(lcCloudSeparationEngine, "Promoted preview %s to the full clean", qUtf8Printable(jobID));
    co_return job;
}

QCoro::Task<void> CloudSeparationEngine::cancel(QString jobID)
{
    // A cancelled job gives no stems: the next call for its soundtrack makes a new one.
    for (auto it = m_interrupted.begin(); it != m_interrupted.end();)
        it = it->jobID == jobID ? m_interrupted.erase(it) : std::next(it);
    co_await cancelJobOnBackend(m_api, jobID);
}

} // namespace hf
