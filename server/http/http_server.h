#pragma once

// The local server's HTTP service: accounts and sessions, the web sign-in handoff, an OAuth 2.0
// identity provider, separation jobs with their storage target and stem downloads, the song check,
// the feedback endpoint and the update feed. State lives in SQLite and files under `dataDir`, so a
// new server on the same folder carries on where the last one stopped.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace hf::server {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;                        // 0 picks a free port
    std::filesystem::path dataDir;       // required
    std::filesystem::path catalogueDir;  // reference recordings of the song check; empty: none
    bool testControls = false;           // fault injection and click-free authorize pages
    std::string feedbackToken;           // when set, feedback must carry it in "X-Tellu-Token"
    int anonymousLimit = 20;             // anonymous sign-ins per client address per window
    double anonymousWindowSeconds = 3600;
    double jobTtlSeconds = 24 * 3600;    // a job expires this long after it ends (or is created)
    double uploadWaitSeconds = 3600;     // a job not started this long after its creation (or its
                                         // upload) expires, unless an upload is under way
    double sessionTtlSeconds = 30 * 24 * 3600;
    double sessionRefreshSeconds = 24 * 3600; // older sessions are renewed ("set-auth-token")
    int workers = 1;                     // separations and song checks running at once
    int threads = 0;                     // threads per separation; 0: the machine's cores / workers
    std::uint64_t maxUploadBytes = std::uint64_t(16) << 30;
    double headSeconds = 10;             // a request's line and headers must arrive within this
};

class Service;

class HttpServer {
public:
    explicit HttpServer(ServerOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Opens the data folder, binds and starts serving on a thread of its own; returns the port.
    // Throws std::runtime_error when the folder or the port cannot be had.
    int start();
    // Stops serving and the workers; running separations are picked up again by the next start.
    void stop();

    int port() const;
    std::string baseUrl() const; // "http://HOST:PORT"

private:
    std::unique_ptr<Service> m_service;
};

} // namespace hf::server
