// Separation jobs: creation with an upload instruction for this server's own storage target, the
// storage target itself (streamed to disk), start, read, cancel, promotion, the song check request,
// expiry and the stem downloads.

#include "http/files.h"
#include "http/service.h"
#include "http/util.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <fstream>

namespace hf::server {

namespace {

constexpr double kMaxDuration = 10800;
constexpr double kPromoteTolerance = 0.25; // seconds of audio a promotion may lack (codec padding)
const char* kStems[] = {"dialogue", "music", "effects"};

const std::string kJobColumns =
    "id, account_id, kind, status, duration, content_type, claim_requested, claim_json, progress, error_code,"
    " error_message, created_at, completed_at, expires_at, upload_key, download_key, uploaded, audio_seconds";

Job jobFromRow(const DbRow& r)
{
    Job j;
    j.id = dbText(r[0]);
    j.accountId = dbText(r[1]);
    j.kind = dbText(r[2]);
    j.status = dbText(r[3]);
    j.duration = dbNumber(r[4]);
    j.contentType = dbText(r[5]);
    j.claimRequested = dbInt(r[6]) != 0;
    j.claimJson = dbText(r[7]);
    j.progress = dbOptionalNumber(r[8]);
    j.errorCode = dbText(r[9]);
    j.errorMessage = dbText(r[10]);
    j.createdAt = dbNumber(r[11]);
    j.completedAt = dbOptionalNumber(r[12]);
    j.expiresAt = dbNumber(r[13]);
    j.uploadKey = dbText(r[14]);
    j.downloadKey = dbText(r[15]);
    j.uploaded = dbInt(r[16]) != 0;
    j.audioSeconds = dbOptionalNumber(r[17]);
    return j;
}

bool isUnderWay(const std::string& status)
{
    return status == "awaiting_upload" || status == "queued" || status == "processing";
}

std::optional<double> durationFrom(const QJsonObject& body, httplib::Response& res)
{
    QJsonValue value = body.value("durationSeconds");
    double d = value.toDouble(-1);
    if (!value.isDouble() || !std::isfinite(d) || d <= 0 || d > kMaxDuration) {
        sendError(res, 400, "invalid_request", "\"durationSeconds\" must be a number above 0 and at most 10800.");
        return std::nullopt;
    }
    return d;
}

// An optional Boolean "claimCheck"; answers 400 for any other type.
std::optional<bool> claimCheckFrom(const QJsonObject& body, httplib::Response& res, bool& ok)
{
    ok = true;
    QJsonValue value = body.value("claimCheck");
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isBool()) {
        ok = false;
        sendError(res, 400, "invalid_request", "\"claimCheck\" must be true or false.");
        return std::nullopt;
    }
    return value.toBool();
}

const std::string kCheckingRecord = R"({"status":"checking"})";

} // namespace

// How long a job waits to be started, from its creation or its upload: jobs whose creation answer
// or upload was lost (with the connection or the server) are not kept for the whole job lifetime.
double Service::uploadWait() const
{
    return std::min(m_options.uploadWaitSeconds, m_options.jobTtlSeconds);
}

std::filesystem::path Service::jobFolder(const std::string& id) const
{
    return m_options.dataDir / "jobs" / id;
}

void Service::removeJobFiles(const std::string& id, bool keepInput)
{
    std::error_code ec;
    if (keepInput)
        std::filesystem::remove_all(jobFolder(id) / "stems", ec);
    else
        std::filesystem::remove_all(jobFolder(id), ec);
}

std::optional<Job> Service::loadJob(const std::string& id)
{
    if (!isValidId(id))
        return std::nullopt;
    auto row = m_db->queryOne("SELECT " + kJobColumns + " FROM jobs WHERE id = ?", {id});
    if (!row)
        return std::nullopt;
    Job job = jobFromRow(*row);
    if ((isUnderWay(job.status) || job.status == "succeeded") && job.expiresAt <= nowSeconds()) {
        expireJob(id);
        row = m_db->queryOne("SELECT " + kJobColumns + " FROM jobs WHERE id = ?", {id});
        if (!row)
            return std::nullopt;
        job = jobFromRow(*row);
    }
    return job;
}

std::optional<Job> Service::jobForAction(const httplib::Request& req, httplib::Response& res)
{
    auto session = requireSession(req, res);
    if (!session || !parseObject(req, res))
        return std::nullopt;
    return ownedJob(req, res, *session);
}

std::optional<Job> Service::ownedJob(const httplib::Request& req, httplib::Response& res, const Session& session)
{
    std::string id = req.matches[1];
    auto job = loadJob(id);
    if (!job || job->accountId != session.accountId) {
        sendError(res, 404, "not_found", "There is no such job.");
        return std::nullopt;
    }
    return job;
}

void Service::expireJob(const std::string& id)
{
    // A job waiting for its upload is kept while one is under way, however slow: a dead upload
    // ends with its connection's stall limit, and the job expires at the next sweep.
    const std::string statuses = uploadUnderWay(id) ? "('queued', 'processing', 'succeeded')"
                                                    : "('awaiting_upload', 'queued', 'processing', 'succeeded')";
    int changed = m_db->exec("UPDATE jobs SET status = 'expired', progress = NULL WHERE id = ? AND status IN "
                                 + statuses + " AND expires_at <= ?",
                             {id, nowSeconds()});
    if (changed) {
        stopJob(id);
        removeJobFiles(id);
        logLine("Job " + id + " expired");
    }
}

void Service::expireDueJobs()
{
    auto rows = m_db->query("SELECT id FROM jobs WHERE status IN ('awaiting_upload', 'queued', 'processing',"
                            " 'succeeded') AND expires_at <= ?",
                            {nowSeconds()});
    for (const auto& row : rows)
        expireJob(dbText(row[0]));
}

QJsonObject Service::jobJson(const Job& job, const std::string& base)
{
    QJsonObject o{{"id", toQ(job.id)},
                  {"kind", toQ(job.kind)},
                  {"status", toQ(job.status)},
                  {"durationSeconds", job.duration},
                  {"createdAt", toQ(isoDate(job.createdAt))},
                  {"expiresAt", toQ(isoDate(job.expiresAt))}};
    if (job.status == "processing")
        o["progress"] = job.progress.value_or(0);
    if (job.status == "failed")
        o["error"] = QJsonObject{{"code", toQ(job.errorCode)}, {"message", toQ(job.errorMessage)}};
    if (job.completedAt)
        o["completedAt"] = toQ(isoDate(*job.completedAt));
    if (job.status == "succeeded") {
        QJsonObject outputs;
        for (const char* stem : kStems)
            outputs[stem] = toQ(base + "/stems/" + job.id + "/" + stem + ".flac?key=" + job.downloadKey);
        o["outputs"] = outputs;
    }
    if (job.claimRequested && !job.claimJson.empty())
        o["claimCheck"] = QJsonDocument::fromJson(QByteArray::fromStdString(job.claimJson)).object();
    return o;
}

void Service::addJobRoutes()
{
    auto envelope = [this](const httplib::Request& req, httplib::Response& res, const std::string& id, int status) {
        auto job = loadJob(id);
        sendJson(res, status, QJsonObject{{"job", jobJson(*job, baseUrlOf(req, baseUrl()))}});
    };

    m_http.Post("/v1/jobs", [this](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        auto body = parseObject(req, res);
        if (!body)
            return;
        QString kind = body->value("kind").toString();
        if (kind != "preview" && kind != "full") {
            sendError(res, 400, "invalid_request", "\"kind\" must be \"preview\" or \"full\".");
            return;
        }
        auto duration = durationFrom(*body, res);
        if (!duration)
            return;
        std::string contentType = toStd(body->value("contentType").toString());
        bool printable = !contentType.empty() && contentType.size() <= 127;
        for (char c : contentType)
            printable = printable && c >= 0x20 && c < 0x7f;
        if (!printable) {
            sendError(res, 400, "invalid_request", "\"contentType\" must be a media type.");
            return;
        }
        bool ok;
        auto claim = claimCheckFrom(*body, res, ok);
        if (!ok)
            return;
        bool claimRequested = claim.value_or(false);

        Job job;
        job.id = "job_" + randomToken(18);
        double now = nowSeconds();
        std::string uploadKey = randomToken(24);
        m_db->exec("INSERT INTO jobs(id, account_id, kind, status, duration, content_type, claim_requested, claim_json,"
                   " created_at, expires_at, upload_key, download_key) VALUES(?, ?, ?, 'awaiting_upload', ?, ?, ?, ?, ?,"
                   " ?, ?, ?)",
                   {job.id, session->accountId, toStd(kind), *duration, contentType, std::int64_t(claimRequested),
                    claimRequested ? DbValue{kCheckingRecord} : DbValue{}, now, now + uploadWait(),
                    uploadKey, randomToken(24)});
        makePrivateFolder(jobFolder(job.id));
        logLine("Created " + toStd(kind) + " job " + job.id);

        std::string base = baseUrlOf(req, baseUrl());
        QJsonObject upload{{"url", toQ(base + "/storage/" + job.id + "?key=" + uploadKey)},
                           {"method", "PUT"},
                           {"headers", QJsonObject{{"Content-Type", toQ(contentType)}}}};
        auto created = loadJob(job.id);
        sendJson(res, 201, QJsonObject{{"job", jobJson(*created, base)}, {"upload", upload}});
    });

    m_http.Get(R"(/v1/jobs/([^/]+))", [this, envelope](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        if (auto job = ownedJob(req, res, *session))
            envelope(req, res, job->id, 200);
    });

    m_http.Post(R"(/v1/jobs/([^/]+)/start)", [this, envelope](const httplib::Request& req, httplib::Response& res) {
        auto job = jobForAction(req, res);
        if (!job)
            return;
        bool queued = false;
        {
            std::lock_guard lock(m_jobStateMutex);
            job = loadJob(job->id);
            if (job->status != "awaiting_upload") {
                sendError(res, 409, "conflict", "This job has already started.");
                return;
            }
            double now = nowSeconds();
            abortUploads(job->id); // an upload still under way no longer counts
            if (job->uploaded) {
                m_db->exec("UPDATE jobs SET status = 'queued', expires_at = ? WHERE id = ?",
                           {job->createdAt + m_options.jobTtlSeconds, job->id});
                queued = true;
            } else {
                // Nothing reached the storage target: the job cannot run.
                m_db->exec("UPDATE jobs SET status = 'failed', error_code = 'input_missing', error_message = '',"
                           " completed_at = ?, expires_at = ? WHERE id = ?",
                           {now, now + m_options.jobTtlSeconds, job->id});
                removeJobFiles(job->id);
            }
        }
        if (queued)
            enqueue(job->id, Task::separate);
        envelope(req, res, job->id, 200);
    });

    m_http.Post(R"(/v1/jobs/([^/]+)/cancel)", [this, envelope](const httplib::Request& req, httplib::Response& res) {
        auto job = jobForAction(req, res);
        if (!job)
            return;
        {
            std::lock_guard lock(m_jobStateMutex);
            job = loadJob(job->id);
            if (isUnderWay(job->status)) {
                double now = nowSeconds();
                m_db->exec("UPDATE jobs SET status = 'canceled', progress = NULL, completed_at = ?, expires_at = ?"
                           " WHERE id = ?",
                           {now, now + m_options.jobTtlSeconds, job->id});
                stopJob(job->id);
                removeJobFiles(job->id);
                logLine("Canceled job " + job->id);
            } else if (job->status != "canceled") {
                sendError(res, 409, "conflict", "This job has already ended.");
                return;
            }
        }
        envelope(req, res, job->id, 200);
    });

    m_http.Post(R"(/v1/jobs/([^/]+)/promote)", [this, envelope](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        auto body = parseObject(req, res);
        if (!body)
            return;
        auto duration = durationFrom(*body, res);
        if (!duration)
            return;
        bool ok;
        auto claim = claimCheckFrom(*body, res, ok);
        if (!ok)
            return;
        auto job = ownedJob(req, res, *session);
        if (!job)
            return;
        bool check = false;
        {
            std::lock_guard lock(m_jobStateMutex);
            job = loadJob(job->id);
            if (job->kind != "preview" || job->status != "succeeded") {
                sendError(res, 409, "conflict", "Only a finished preview can be promoted.");
                return;
            }
            if (!job->audioSeconds || *job->audioSeconds + kPromoteTolerance < *duration) {
                sendError(res, 409, "conflict", "The preview's audio does not cover the requested duration.");
                return;
            }
            check = claim.value_or(false);
            double now = nowSeconds();
            m_db->exec("UPDATE jobs SET kind = 'full', duration = ?, expires_at = ? WHERE id = ?",
                       {*duration, now + m_options.jobTtlSeconds, job->id});
            if (check)
                m_db->exec("UPDATE jobs SET claim_requested = 1, claim_json = ? WHERE id = ?",
                           {kCheckingRecord, job->id});
            logLine("Promoted preview " + job->id + " to a full job");
        }
        if (check)
            enqueue(job->id, Task::check);
        envelope(req, res, job->id, 200);
    });

    m_http.Post(R"(/v1/jobs/([^/]+)/claim-check)", [this, envelope](const httplib::Request& req,
                                                                    httplib::Response& res) {
        auto job = jobForAction(req, res);
        if (!job)
            return;
        bool runNow = false;
        {
            std::lock_guard lock(m_jobStateMutex);
            job = loadJob(job->id);
            if (!isUnderWay(job->status) && job->status != "succeeded") {
                sendError(res, 409, "conflict", "This job has ended without stems to check.");
                return;
            }
            std::string status = toStd(
                QJsonDocument::fromJson(QByteArray::fromStdString(job->claimJson)).object().value("status").toString());
            // A check that is running or has an answer stays; one that never ran or failed (re)starts.
            if (!job->claimRequested || status == "error" || status == "not_checked" || status.empty()) {
                m_db->exec("UPDATE jobs SET claim_requested = 1, claim_json = ? WHERE id = ?",
                           {kCheckingRecord, job->id});
                runNow = job->status == "succeeded";
            }
        }
        if (runNow)
            enqueue(job->id, Task::check);
        envelope(req, res, job->id, 200);
    });

    // The storage target. The upload URL's key stands in for a signature; the body streams to a
    // temporary file that replaces the input only when it arrived whole. A refusal is answered at
    // once and ends the connection: the rest of the body is never read, nor taken for a request.
    m_http.Put(R"(/storage/([^/]+))", [this](const httplib::Request& req, httplib::Response& res,
                                             const httplib::ContentReader& reader) {
        auto refuse = [&](int status, const std::string& message) {
            sendError(res, status, errorCodeForStatus(status), message);
            endConnectionAfterAnswer();
        };
        auto job = loadJob(req.matches[1]);
        if (!job) {
            refuse(404, "There is no such upload target.");
            return;
        }
        if (!constantTimeEqual(req.get_param_value("key"), job->uploadKey)) {
            refuse(403, "The upload key is not valid.");
            return;
        }
        if (job->status != "awaiting_upload") {
            refuse(409, "This job no longer takes an upload.");
            return;
        }
        if (req.get_header_value("Content-Type") != job->contentType) {
            refuse(400, "The upload must be sent with \"Content-Type: " + job->contentType + "\".");
            return;
        }
        std::uint64_t limit = std::min<std::uint64_t>(
            m_options.maxUploadBytes, (std::uint64_t(8) << 20) + std::uint64_t(std::ceil(job->duration)) * (1 << 20));
        bool hasLength = req.has_header("Content-Length");
        std::uint64_t declared = hasLength ? std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) : 0;
        if (!hasLength && !req.has_header("Transfer-Encoding")) {
            refuse(411, "The upload needs a Content-Length.");
            return;
        }
        if (declared > limit) {
            refuse(413, "The upload is larger than this job's audio can be.");
            return;
        }
        // Registered before the state is looked at, so that a start, cancel, expiry or deletion
        // from now on stops the upload where it stands.
        auto upload = watchUpload(job->id);
        job = loadJob(job->id);
        if (!job || job->status != "awaiting_upload") {
            refuse(409, "This job no longer takes an upload.");
            return;
        }

        auto folder = jobFolder(job->id);
        makePrivateFolder(folder);
        auto partial = temporaryBeside(folder / "input");
        std::uint64_t received = 0;
        bool tooLarge = false;
        bool stopped = false;
        int writeError = 0;
        bool complete = false;
        {
            PrivateFile out(partial);
            complete = out.isOpen() && reader([&](const char* data, size_t length) {
                if (upload->load()) {
                    stopped = true;
                    return false;
                }
                received += length;
                if (received > limit) {
                    tooLarge = true;
                    return false;
                }
                return out.write(data, length);
            });
            // On the disk before the job may be started from it: a power cut must not leave a
            // job whose input is shorter than what was accepted.
            if (complete)
                out.syncAndClose();
            else
                out.close();
            writeError = out.error();
        }
        std::error_code ec;
        if (stopped || upload->load()) {
            std::filesystem::remove(partial, ec);
            refuse(409, "This job no longer takes an upload.");
            logLine("Upload for job " + job->id + " stopped: the job moved on");
            return;
        }
        if (!complete || tooLarge || writeError || (hasLength && received != declared) || received == 0) {
            std::filesystem::remove(partial, ec);
            if (tooLarge)
                refuse(413, "The upload is larger than this job's audio can be.");
            else if (writeError)
                refuse(statusForWriteError(writeError), "The upload could not be stored.");
            else if (received == 0 && complete)
                refuse(400, "The upload is empty.");
            else
                refuse(400, "The upload ended before all of it arrived.");
            logLine("Upload for job " + job->id + " refused after " + std::to_string(received) + " bytes");
            return;
        }
        std::lock_guard lock(m_jobStateMutex);
        auto now = loadJob(job->id);
        if (!now || now->status != "awaiting_upload") {
            std::filesystem::remove(partial, ec);
            refuse(409, "This job no longer takes an upload.");
            return;
        }
        std::filesystem::rename(partial, folder / "input", ec);
        if (ec) {
            std::filesystem::remove(partial, ec);
            refuse(500, "The upload could not be stored.");
            return;
        }
        syncToDisk(folder);
        // The client starts the job next; one that never does expires like one never uploaded.
        m_db->exec("UPDATE jobs SET uploaded = 1, expires_at = ? WHERE id = ?", {nowSeconds() + uploadWait(), job->id});
        logLine("Stored " + std::to_string(received) + " bytes for job " + job->id);
        sendJson(res, 200, QJsonObject{{"size", double(received)}});
    });

    // Stem downloads: no session, the key in the URL is the permission; streamed from disk.
    m_http.Get(R"(/stems/([^/]+)/(dialogue|music|effects)\.flac)", [this](const httplib::Request& req,
                                                                          httplib::Response& res) {
        auto job = loadJob(req.matches[1]);
        if (!job || job->status != "succeeded") {
            sendError(res, 404, "not_found", "There is no such stem.");
            return;
        }
        if (!constantTimeEqual(req.get_param_value("key"), job->downloadKey)) {
            sendError(res, 403, "forbidden", "The download key is not valid.");
            return;
        }
        auto path = jobFolder(job->id) / "stems" / (std::string(req.matches[2]) + ".flac");
        std::error_code ec;
        auto size = std::filesystem::file_size(path, ec);
        auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
        if (ec || !*file) {
            sendError(res, 404, "not_found", "There is no such stem.");
            return;
        }
        res.set_content_provider(
            size_t(size), "audio/flac",
            [file](size_t offset, size_t length, httplib::DataSink& sink) {
                char buffer[64 * 1024];
                file->clear();
                file->seekg(std::streamoff(offset));
                size_t n = std::min(length, sizeof buffer);
                file->read(buffer, std::streamsize(n));
                auto got = file->gcount();
                if (got <= 0)
                    return false;
                return sink.write(buffer, size_t(got));
            });
    });
}

} // namespace hf::server
