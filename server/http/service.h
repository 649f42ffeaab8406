#pragma once

// The inner workings of HttpServer: one object that owns the database, the HTTP server, the fault
// table and the job workers. Its route handlers live in several files, one per area.

#include "http/connections.h"
#include "http/database.h"
#include "http/faults.h"
#include "http/http_server.h"

#include <httplib.h>

#include <QJsonObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace hf::engine {
class Catalogue;
}

namespace hf::server {

struct Session {
    std::string tokenHash;
    std::string accountId;
    double createdAt = 0;
    double expiresAt = 0;
};

struct Identity {
    std::string provider;
    std::string subject;
    std::string email;
    std::string name;
};

struct Job {
    std::string id;
    std::string accountId;
    std::string kind;
    std::string status;
    double duration = 0;
    std::string contentType;
    bool claimRequested = false;
    std::string claimJson;
    std::optional<double> progress;
    std::string errorCode;
    std::string errorMessage;
    double createdAt = 0;
    std::optional<double> completedAt;
    double expiresAt = 0;
    std::string uploadKey;
    std::string downloadKey;
    bool uploaded = false;
    std::optional<double> audioSeconds;
};

class Service {
public:
    explicit Service(ServerOptions options);
    ~Service();

    int start();
    void stop();
    int port() const { return m_port; }
    std::string baseUrl() const;

private:
    friend class HttpServer;

    // --- set-up (service.cpp)
    void openStore();
    void removeTemporaryFiles();
    void installHooks();
    httplib::Server::HandlerResponse beforeRoute(const httplib::Request& req, httplib::Response& res);
    void afterRoute(const httplib::Request& req, httplib::Response& res);

    // --- accounts and sessions (accounts.cpp)
    void addAccountRoutes();
    std::optional<Session> sessionFor(const std::string& token);
    // The caller's session, or a 401 answer and none. Arms the renewal header when it is due.
    std::optional<Session> requireSession(const httplib::Request& req, httplib::Response& res);
    std::string createSession(const std::string& accountId); // returns the token
    QJsonObject userJson(const std::string& accountId);
    // Signs the identity in, taking over the anonymous account of `anonymousToken` when given;
    // answers the sign-in body with a new session.
    void completeSignIn(const Identity& identity, const std::string& anonymousAccountId, httplib::Response& res);
    std::string anonymousAccountOf(const std::string& token); // "" when not an anonymous session
    void deleteAccount(const std::string& accountId);

    // --- web sign-in handoff (handoff.cpp)
    void addHandoffRoutes();

    // --- identity provider (identity_provider.cpp)
    void addIdentityRoutes();
    std::string issueIdToken(const Identity& identity, const std::string& audience, const std::string& nonce);
    // Checks signature, issuer and expiry; fills the identity and the token's nonce.
    bool verifyIdToken(const std::string& token, Identity& identity, std::string& nonce);

    // --- jobs, storage, stems (jobs.cpp)
    void addJobRoutes();
    std::optional<Job> loadJob(const std::string& id);
    std::optional<Job> ownedJob(const httplib::Request& req, httplib::Response& res, const Session& session);
    // The caller's own job for a POST that acts on it: a session, a JSON object body, the id in the
    // path. Answers the error itself and gives none when any is missing.
    std::optional<Job> jobForAction(const httplib::Request& req, httplib::Response& res);
    QJsonObject jobJson(const Job& job, const std::string& base);
    void expireDueJobs();
    void expireJob(const std::string& id);
    std::filesystem::path jobFolder(const std::string& id) const;
    void removeJobFiles(const std::string& id, bool keepInput = false);
    // An upload in progress for the job; its flag turns true when the job stops taking it.
    using UploadFlag = std::shared_ptr<std::atomic<bool>>;
    UploadFlag watchUpload(const std::string& jobId);
    void abortUploads(const std::string& jobId);
    bool uploadUnderWay(const std::string& jobId);
    double uploadWait() const;

    // --- workers (job_runner.cpp)
    enum class Task { separate, check };
    void startWorkers();
    void stopWorkers();
    void enqueue(const std::string& jobId, Task task);
    void stopJob(const std::string& jobId);
    void workerLoop();
    void runSeparation(const std::string& jobId, std::stop_token stop);
    void runCheck(const std::string& jobId, std::stop_token stop);
    void failJob(const std::string& jobId, const std::string& code, const std::string& message);
    void recoverJobs();

    // --- feedback, update feed, test controls (misc_routes.cpp)
    void addMiscRoutes();
    void addTestRoutes();

    ServerOptions m_options;
    std::unique_ptr<Database> m_db;
    BoundedServer m_http;
    std::thread m_listener;
    int m_port = 0;
    std::string m_secret; // signs identity tokens
    Faults m_faults;
    std::mutex m_jobStateMutex; // upload completion, start, cancel and promote of jobs
    std::mutex m_uploadsMutex;
    std::multimap<std::string, std::weak_ptr<std::atomic<bool>>> m_uploads;

    // workers
    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<std::pair<std::string, Task>> m_queue;
    std::map<std::string, std::stop_source> m_running;
    std::vector<std::jthread> m_workers;
    bool m_stopping = false;
    std::jthread m_sweeper;

    std::mutex m_catalogueMutex;
    std::shared_ptr<const hf::engine::Catalogue> m_catalogue;
    bool m_catalogueTried = false;
};

} // namespace hf::server

namespace hf::server {

// What a request's handler leaves for the post-routing step, on the thread that serves it.
struct RequestState {
    bool malformed = false;     // an injected fault: replace the answer's body
    std::string renewFromHash;  // the session whose token is renewed when the answer is 2xx
    std::string renewAccount;
};
RequestState& requestState();

void logLine(const std::string& line);

} // namespace hf::server
