// The workers that run separations and song checks, one job at a time each. Every state change
// they make is conditional on the state they expect, so a cancel, an expiry or an account deletion
// that lands meanwhile always wins.

#include "http/service.h"
#include "http/files.h"
#include "http/util.h"

#include "engine/engine.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <thread>

namespace hf::server {

namespace {

// One separation uses its share of the machine's cores unless told otherwise.
hf::engine::SeparationOptions separationOptions(const ServerOptions& options)
{
    hf::engine::SeparationOptions result;
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    result.threads = options.threads > 0 ? options.threads : std::max(1, cores / std::max(1, options.workers));
    return result;
}
const char* kProvider = "hushframe-local";
}

void Service::startWorkers()
{
    {
        std::lock_guard lock(m_queueMutex);
        m_stopping = false;
    }
    for (int i = 0; i < std::max(1, m_options.workers); ++i)
        m_workers.emplace_back([this] { workerLoop(); });
    m_sweeper = std::jthread([this](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        while (!stop.stop_requested()) {
            {
                std::unique_lock lock(mutex);
                wake.wait_for(lock, stop, std::chrono::milliseconds(500), [] { return false; });
            }
            if (stop.stop_requested())
                break;
            try {
                expireDueJobs();
            } catch (const std::exception& e) {
                logLine(std::string("Expiry sweep failed: ") + e.what());
            }
        }
    });
}

void Service::stopWorkers()
{
    {
        std::lock_guard lock(m_queueMutex);
        m_stopping = true;
        for (auto& [id, source] : m_running)
            source.request_stop();
    }
    m_queueChanged.notify_all();
    m_workers.clear(); // joins
    if (m_sweeper.joinable()) {
        m_sweeper.request_stop();
        m_sweeper.join();
    }
    std::lock_guard lock(m_queueMutex);
    m_queue.clear();
}

void Service::enqueue(const std::string& jobId, Task task)
{
    {
        std::lock_guard lock(m_queueMutex);
        m_queue.emplace_back(jobId, task);
    }
    m_queueChanged.notify_one();
}

void Service::stopJob(const std::string& jobId)
{
    abortUploads(jobId);
    std::lock_guard lock(m_queueMutex);
    if (auto it = m_running.find(jobId); it != m_running.end())
        it->second.request_stop();
}

Service::UploadFlag Service::watchUpload(const std::string& jobId)
{
    auto flag = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(m_uploadsMutex);
    std::erase_if(m_uploads, [](const auto& entry) { return entry.second.expired(); });
    m_uploads.emplace(jobId, flag);
    return flag;
}

bool Service::uploadUnderWay(const std::string& jobId)
{
    std::lock_guard lock(m_uploadsMutex);
    auto [first, last] = m_uploads.equal_range(jobId);
    return std::any_of(first, last, [](const auto& entry) { return !entry.second.expired(); });
}

void Service::abortUploads(const std::string& jobId)
{
    std::lock_guard lock(m_uploadsMutex);
    auto [first, last] = m_uploads.equal_range(jobId);
    for (auto it = first; it != last; ++it)
        if (auto flag = it->second.lock())
            flag->store(true);
}

void Service::workerLoop()
{
    for (;;) {
        std::pair<std::string, Task> item;
        std::stop_token token;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueChanged.wait(lock, [this] {
                if (m_stopping)
                    return true;
                for (const auto& [id, task] : m_queue)
                    if (!m_running.contains(id))
                        return true;
                return false;
            });
            if (m_stopping)
                return;
            // The first queued item whose job is not already being worked on.
            auto it = std::find_if(m_queue.begin(), m_queue.end(),
                                   [this](const auto& entry) { return !m_running.contains(entry.first); });
            item = *it;
            m_queue.erase(it);
            token = m_running[item.first].get_token();
        }
        try {
            if (item.second == Task::separate)
                runSeparation(item.first, token);
            else
                runCheck(item.first, token);
        } catch (const std::exception& e) {
            logLine("Job " + item.first + " worker failed: " + e.what());
        }
        {
            std::lock_guard lock(m_queueMutex);
            m_running.erase(item.first);
        }
        m_queueChanged.notify_all();
    }
}

void Service::failJob(const std::string& jobId, const std::string& code, const std::string& message)
{
    double now = nowSeconds();
    int changed = m_db->exec("UPDATE jobs SET status = 'failed', progress = NULL, error_code = ?, error_message = ?,"
                             " completed_at = ?, expires_at = ? WHERE id = ? AND status = 'processing'",
                             {code, message, now, now + m_options.jobTtlSeconds, jobId});
    if (changed) {
        removeJobFiles(jobId);
        logLine("Job " + jobId + " failed: " + code);
    }
}

void Service::runSeparation(const std::string& jobId, std::stop_token stop)
{
    auto job = loadJob(jobId);
    if (!job || job->status != "queued")
        return;
    if (m_db->exec("UPDATE jobs SET status = 'processing', progress = 0 WHERE id = ? AND status = 'queued'", {jobId})
        == 0)
        return;
    logLine("Separating job " + jobId);
    auto folder = jobFolder(jobId);
    try {
        auto info = hf::engine::probeAudio(folder / "input", stop);
        // The declared length bounds the work; audio that runs on past it is refused.
        if (info.durationSeconds > job->duration + std::max(1.0, job->duration * 0.01)) {
            failJob(jobId, "too_long", "");
            return;
        }
        m_db->exec("UPDATE jobs SET audio_seconds = ? WHERE id = ?", {info.durationSeconds, jobId});
        double reported = 0;
        hf::engine::separateStems(
            folder / "input", folder / "stems",
            [&](double fraction) {
                if (fraction - reported < 0.01 && fraction < 1)
                    return;
                reported = fraction;
                m_db->exec("UPDATE jobs SET progress = ? WHERE id = ? AND status = 'processing'",
                           {std::clamp(fraction, 0.0, 1.0), jobId});
            },
            stop, separationOptions(m_options));
        // The engine writes under the process's umask: the stems are made private like the rest.
        using std::filesystem::perms;
        std::error_code ec;
        // They are on the disk, names and all, before the job is reported as succeeded.
        for (const auto& entry : std::filesystem::directory_iterator(folder / "stems", ec)) {
            std::filesystem::permissions(entry.path(), perms::owner_read | perms::owner_write, ec);
            syncToDisk(entry.path());
        }
        std::filesystem::permissions(folder / "stems", perms::owner_all, ec);
        syncToDisk(folder / "stems");
        double now = nowSeconds();
        int changed = m_db->exec("UPDATE jobs SET status = 'succeeded', progress = NULL, completed_at = ?,"
                                 " expires_at = ? WHERE id = ? AND status = 'processing'",
                                 {now, now + m_options.jobTtlSeconds, jobId});
        if (!changed) {
            removeJobFiles(jobId); // ended meanwhile (canceled, expired, deleted)
            return;
        }
        logLine("Job " + jobId + " succeeded");
        auto done = loadJob(jobId);
        if (done && done->claimRequested)
            enqueue(jobId, Task::check);
    } catch (const hf::engine::Cancelled&) {
        // Canceled, expired, deleted or the server is stopping: whoever stopped it has set the
        // state. A job that ended must not keep what the engine wrote after its files were removed.
        auto now = loadJob(jobId);
        if (!now || (now->status != "processing" && now->status != "queued"))
            removeJobFiles(jobId);
    } catch (const hf::engine::EngineError& e) {
        logLine("Separation of job " + jobId + " failed: " + e.what());
        if (stop.stop_requested())
            return;
        using Kind = hf::engine::EngineError::Kind;
        failJob(jobId,
                e.kind() == Kind::outOfSpace     ? "storage_full"
                : e.kind() == Kind::outputFailed ? "separation_failed"
                                                 : "decode_failed",
                "");
    } catch (const std::exception& e) {
        logLine("Separation of job " + jobId + " failed: " + e.what());
        if (!stop.stop_requested())
            failJob(jobId, "internal", "");
    }
}

void Service::runCheck(const std::string& jobId, std::stop_token stop)
{
    auto job = loadJob(jobId);
    if (!job || job->status != "succeeded" || !job->claimRequested)
        return;
    auto record = [&](const QJsonObject& check) {
        m_db->exec("UPDATE jobs SET claim_json = ? WHERE id = ? AND status = 'succeeded'", {bodyOf(check), jobId});
    };
    try {
        std::shared_ptr<const hf::engine::Catalogue> catalogue;
        {
            std::lock_guard lock(m_catalogueMutex);
            if (!m_catalogueTried && !m_options.catalogueDir.empty()) {
                m_catalogueTried = true;
                try {
                    m_catalogue = hf::engine::Catalogue::load(m_options.catalogueDir, stop);
                    logLine("Song catalogue loaded: " + std::to_string(m_catalogue->entries().size()) + " recordings");
                } catch (const hf::engine::EngineError& e) {
                    logLine(std::string("Song catalogue could not be loaded: ") + e.what());
                } catch (const hf::engine::Cancelled&) {
                    m_catalogueTried = false;
                    throw;
                }
            }
            catalogue = m_catalogue;
        }
        if (!catalogue) {
            record(QJsonObject{{"status", "not_checked"}, {"provider", kProvider}});
            return;
        }
        auto folder = jobFolder(jobId);
        auto found = catalogue->identify(folder / "input", stop);
        auto report = catalogue->verdicts(found.songs, folder / "stems" / "dialogue.flac",
                                          folder / "stems" / "effects.flac", stop);
        QJsonArray matches, songs;
        for (const auto& verdict : report.songs) {
            const auto& song = verdict.song;
            QJsonArray ranges;
            for (const auto& stretch : song.stretches) {
                QJsonObject match{{"title", toQ(song.title)}, {"score", stretch.score}, {"offsetSeconds", stretch.start}};
                if (!song.artist.empty())
                    match["artist"] = toQ(song.artist);
                matches.append(match);
                ranges.append(QJsonObject{{"start", stretch.start}, {"end", stretch.end}});
            }
            QJsonObject entry{{"title", toQ(song.title)},
                              {"score", song.score},
                              {"ranges", ranges},
                              {"verdict", toQ(std::string(hf::engine::verdictName(verdict.verdict)))}};
            if (!song.artist.empty())
                entry["artist"] = toQ(song.artist);
            songs.append(entry);
        }
        record(QJsonObject{{"status", songs.isEmpty() ? "clear" : "match"},
                           {"provider", kProvider},
                           {"checkedSegments", qint64(found.checkedSegments)},
                           {"matches", matches},
                           {"clearWithoutAmbience", report.clearWithoutAmbience},
                           {"songs", songs}});
        logLine("Song check of job " + jobId + " found " + std::to_string(songs.size()) + " songs");
    } catch (const hf::engine::Cancelled&) {
    } catch (const std::exception& e) {
        logLine("Song check of job " + jobId + " failed: " + e.what());
        record(QJsonObject{{"status", "error"}, {"provider", kProvider}});
    }
}

void Service::recoverJobs()
{
    double now = nowSeconds();
    m_db->exec("DELETE FROM sessions WHERE expires_at <= ?", {now});
    m_db->exec("DELETE FROM handoffs WHERE expires_at <= ? AND (code_expires_at IS NULL OR code_expires_at <= ?)",
               {now, now});
    m_db->exec("DELETE FROM oauth_codes WHERE expires_at <= ?", {now});

    // Separations cut off by the last stop start again from their upload.
    int restarted = m_db->exec("UPDATE jobs SET status = 'queued', progress = NULL WHERE status = 'processing'");
    if (restarted)
        logLine("Restarting " + std::to_string(restarted) + " interrupted separations");
    for (const auto& row : m_db->query("SELECT id FROM jobs WHERE status = 'queued' ORDER BY created_at"))
        enqueue(dbText(row[0]), Task::separate);
    for (const auto& row : m_db->query("SELECT id FROM jobs WHERE status = 'succeeded' AND claim_requested = 1 AND"
                                       " claim_json = ? ORDER BY created_at",
                                       {std::string(R"({"status":"checking"})")}))
        enqueue(dbText(row[0]), Task::check);
}

} // namespace hf::server
