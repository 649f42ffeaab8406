#include "http/service.h"

#include "http/connections.h"
#include "http/files.h"
#include "http/util.h"

#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <limits>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hf::server {

namespace {
thread_local RequestState t_requestState;
std::mutex g_logMutex;

// Bodies other than uploads are read whole into memory: they may not run past the JSON limit by
// more than a little framing (chunk sizes) before the read stops.
constexpr std::uint64_t kBodyReadLimit = kMaxJsonBody + 64 * 1024;

const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS accounts(id TEXT PRIMARY KEY, email TEXT, name TEXT,"
    " anonymous INTEGER NOT NULL, created_at REAL NOT NULL)",
    "CREATE TABLE IF NOT EXISTS identities(provider TEXT NOT NULL, subject TEXT NOT NULL,"
    " account_id TEXT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, PRIMARY KEY(provider, subject))",
    "CREATE TABLE IF NOT EXISTS sessions(token_hash TEXT PRIMARY KEY,"
    " account_id TEXT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    " created_at REAL NOT NULL, expires_at REAL NOT NULL)",
    "CREATE TABLE IF NOT EXISTS anonymous_signins(address TEXT NOT NULL, at REAL NOT NULL)",
    "CREATE TABLE IF NOT EXISTS handoffs(id TEXT PRIMARY KEY, provider TEXT NOT NULL, challenge TEXT NOT NULL,"
    " anonymous_account TEXT, expires_at REAL NOT NULL, state TEXT NOT NULL, code_hash TEXT,"
    " code_expires_at REAL, email TEXT, name TEXT)",
    "CREATE TABLE IF NOT EXISTS oauth_codes(code_hash TEXT PRIMARY KEY, client_id TEXT NOT NULL,"
    " redirect_uri TEXT NOT NULL, challenge TEXT, nonce TEXT, scope TEXT, subject TEXT NOT NULL, email TEXT,"
    " name TEXT, expires_at REAL NOT NULL, used INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS oauth_tokens(token_hash TEXT PRIMARY KEY, kind TEXT NOT NULL,"
    " grant_id TEXT NOT NULL, client_id TEXT NOT NULL, subject TEXT NOT NULL, email TEXT, name TEXT, scope TEXT,"
    " expires_at REAL, revoked INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS jobs(id TEXT PRIMARY KEY, account_id TEXT NOT NULL, kind TEXT NOT NULL,"
    " status TEXT NOT NULL, duration REAL NOT NULL, content_type TEXT NOT NULL, claim_requested INTEGER NOT NULL,"
    " claim_json TEXT, progress REAL, error_code TEXT, error_message TEXT, created_at REAL NOT NULL,"
    " completed_at REAL, expires_at REAL NOT NULL, upload_key TEXT NOT NULL, download_key TEXT NOT NULL,"
    " uploaded INTEGER NOT NULL DEFAULT 0, audio_seconds REAL)",
    "CREATE INDEX IF NOT EXISTS jobs_by_account ON jobs(account_id)",
    "CREATE INDEX IF NOT EXISTS sessions_by_account ON sessions(account_id)",
};

// Text from a request as it may stand in a log line: control characters, spaces and bytes
// outside ASCII are escaped, so that no request can write a line of its own.
std::string escapedForLog(const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

// Paths whose segments are capabilities are logged without them.
std::string loggablePath(const std::string& path)
{
    for (const char* prefix : {"/auth/handoff/"})
        if (path.rfind(prefix, 0) == 0)
            return std::string(prefix) + "...";
    return escapedForLog(path);
}

} // namespace

RequestState& requestState()
{
    return t_requestState;
}

void logLine(const std::string& line)
{
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "hushframe-server: %s\n", line.c_str());
    std::fflush(stderr);
}

Service::Service(ServerOptions options) : m_options(std::move(options)) {}

Service::~Service()
{
    stop();
}

std::string Service::baseUrl() const
{
    std::string host = m_options.host;
    if (host == "0.0.0.0" || host.empty())
        host = "127.0.0.1";
    if (host.find(':') != std::string::npos && host.front() != '[')
        host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(m_port);
}

void Service::openStore()
{
    if (m_options.dataDir.empty())
        throw std::runtime_error("a data folder is required");
    // The folder holds the job keys, e-mails and names, uploads, stems and feedback: only its
    // owner may enter it, whatever the umask.
    makePrivateFolder(m_options.dataDir);
    makePrivateFolder(m_options.dataDir / "jobs");
    makePrivateFolder(m_options.dataDir / "feedback");

    // SQLite creates its files under the umask, and its journal files with the database's mode:
    // the database is made private before SQLite first opens it.
    auto database = m_options.dataDir / "server.sqlite";
    int fd = ::open(database.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot open the database " + database.string());
    ::fchmod(fd, 0600);
    ::close(fd);
    for (const char* suffix : {"-wal", "-shm"})
        ::chmod((database.string() + suffix).c_str(), 0600);
    m_db = std::make_unique<Database>(database);
    for (const char* statement : kSchema)
        m_db->exec(statement);

    auto secretFile = m_options.dataDir / "identity-secret";
    std::ifstream in(secretFile);
    std::getline(in, m_secret);
    if (m_secret.size() < 32) {
        m_secret = randomToken(32);
        if (int error = writeFileDurably(secretFile, m_secret + "\n"))
            throw std::runtime_error("cannot write " + secretFile.string() + ": "
                                     + std::generic_category().message(error));
    }
}

void Service::removeTemporaryFiles()
{
    // Left by a stop that cut an upload, a separation or a write short (a kill, a power cut).
    auto sweep = [](const std::filesystem::path& folder) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (isTemporaryName(entry.path().filename().string()) && entry.is_regular_file(ec))
                std::filesystem::remove(entry.path(), ec);
    };
    sweep(m_options.dataDir);
    sweep(m_options.dataDir / "feedback");
    std::error_code ec;
    for (const auto& job : std::filesystem::directory_iterator(m_options.dataDir / "jobs", ec)) {
        if (!job.is_directory(ec))
            continue;
        sweep(job.path());
        sweep(job.path() / "stems");
    }
}

httplib::Server::HandlerResponse Service::beforeRoute(const httplib::Request& req, httplib::Response& res)
{
    t_requestState = {};
    using HR = httplib::Server::HandlerResponse;

    if (m_options.testControls && req.path.rfind("/_test/", 0) != 0) {
        if (auto fault = m_faults.take(req.method, req.path)) {
            if (fault->delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
            if (fault->drop) {
                dropCurrentConnection();
                res.status = 500;
                return HR::Handled;
            }
            if (fault->status) {
                if (fault->body.empty())
                    sendError(res, fault->status, errorCodeForStatus(fault->status), "Injected fault.");
                else {
                    res.status = fault->status;
                    res.set_content(fault->body, "application/json");
                }
                return HR::Handled;
            }
            if (fault->malformed)
                t_requestState.malformed = true;
        }
    }

    // Only the storage target takes large bodies (streamed); JSON and form bodies stay small, are
    // sent whole with their length, and are not compressed (a small compressed body can unpack to
    // any size). The read itself is bounded too (kBodyReadLimit), for a body sent without a length.
    if (req.path.rfind("/storage/", 0) != 0) {
        auto length = req.get_header_value_count("Content-Length")
                          ? std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10)
                          : 0ull;
        std::string encoding = req.get_header_value("Content-Encoding");
        if (req.has_header("Transfer-Encoding") || length > kMaxJsonBody) {
            sendError(res, 413, "invalid_request", "The request body is too large.");
            endConnectionAfterAnswer();
            return HR::Handled;
        }
        if (!encoding.empty() && asciiLower(encoding) != "identity") {
            sendError(res, 415, "invalid_request", "Request bodies must not be compressed.");
            endConnectionAfterAnswer();
            return HR::Handled;
        }
    }
    return HR::Unhandled;
}

void Service::afterRoute(const httplib::Request& req, httplib::Response& res)
{
    auto& state = t_requestState;
    if (!state.renewFromHash.empty() && res.status >= 200 && res.status < 300) {
        // Renew only while the old session still exists (sign-out and deletion end it).
        try {
            if (m_db->queryOne("SELECT 1 FROM sessions WHERE token_hash = ?", {state.renewFromHash})) {
                std::string token = createSession(state.renewAccount);
                m_db->exec("UPDATE sessions SET expires_at = MIN(expires_at, ?) WHERE token_hash = ?",
                           {nowSeconds() + 300, state.renewFromHash});
                res.set_header("set-auth-token", token);
            }
        } catch (const std::exception& e) {
            logLine(std::string("Session renewal failed: ") + e.what());
        }
    }
    if (state.malformed) {
        res.content_provider_ = nullptr;
        res.content_length_ = 0;
        res.headers.erase("Content-Length");
        res.headers.erase("Content-Type");
        res.headers.erase("Content-Encoding");
        res.set_content("{\"job\": {\"id\": [truncated", "application/json");
    }
    if (connectionEnding()) {
        res.headers.erase("Keep-Alive");
        res.headers.erase("Connection");
        res.set_header("Connection", "close");
    }
    state = {};
    logLine(escapedForLog(req.method) + " " + loggablePath(req.path) + " " + std::to_string(res.status));
}

void Service::installHooks()
{
    m_http.set_payload_max_length(m_options.maxUploadBytes + 1);
    m_http.set_read_timeout(60);
    m_http.set_write_timeout(60);
    m_http.bodyLimit = [](const httplib::Request& req) {
        return req.path.rfind("/storage/", 0) == 0 ? std::numeric_limits<std::uint64_t>::max() : kBodyReadLimit;
    };
    m_http.set_pre_routing_handler([this](const auto& req, auto& res) { return beforeRoute(req, res); });
    m_http.set_post_routing_handler([this](const auto& req, auto& res) { afterRoute(req, res); });
    m_http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (bodyOverLimit()) {
            sendError(res, 413, "invalid_request", "The request body is too large.");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!res.body.empty() || res.content_provider_)
            return httplib::Server::HandlerResponse::Unhandled;
        std::string message = res.status == 404 ? "There is no such endpoint."
                              : res.status == 405 ? "That method is not allowed here."
                              : res.status == 413 ? "The request body is too large."
                                                  : "The request could not be handled.";
        sendError(res, res.status, errorCodeForStatus(res.status), message);
        return httplib::Server::HandlerResponse::Handled;
    }));
    m_http.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        logLine("Handler for " + escapedForLog(req.method) + " " + loggablePath(req.path) + " failed: " + what);
        sendError(res, 500, "internal", "The server ran into a problem.");
    });
}

int Service::start()
{
    openStore();
    installHooks();
    addAccountRoutes();
    addHandoffRoutes();
    addIdentityRoutes();
    addJobRoutes();
    addMiscRoutes();
    if (m_options.testControls)
        addTestRoutes();

    // One server per port: the library's default would let a second server bind a busy port
    // (SO_REUSEPORT) and share its requests. SO_REUSEADDR alone only lets a restart reuse the
    // port while the last run's closed connections linger.
    m_http.set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    errno = 0;
    if (m_options.port == 0)
        m_port = m_http.bind_to_any_port(m_options.host);
    else
        m_port = m_http.bind_to_port(m_options.host, m_options.port) ? m_options.port : -1;
    if (m_port <= 0) {
        const int error = errno;
        const std::string where = m_options.host + ":" + std::to_string(m_options.port);
        if (error == EADDRINUSE)
            throw std::runtime_error("cannot listen on " + where + ": the port is already in use (is another server"
                                     " running there?)");
        throw std::runtime_error("cannot listen on " + where + (error ? ": " + std::string(std::strerror(error)) : ""));
    }

    removeTemporaryFiles();
    recoverJobs();
    startWorkers();
    ConnectionLimits limits;
    limits.headTime = std::chrono::milliseconds(std::llround(m_options.headSeconds * 1000));
    m_http.startConnections(limits);
    m_listener = std::thread([this] { m_http.listen_after_bind(); });
    // A stop that came before the listener runs would be missed and leave it serving forever, so
    // the server is only handed out once it serves.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_http.is_running()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the listener did not start serving");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return m_port;
}

void Service::stop()
{
    if (m_listener.joinable()) {
        m_http.stop();
        m_listener.join();
    }
    stopWorkers();
}

HttpServer::HttpServer(ServerOptions options) : m_service(std::make_unique<Service>(std::move(options))) {}
HttpServer::~HttpServer() = default;

int HttpServer::start()
{
    return m_service->start();
}

void HttpServer::stop()
{
    m_service->stop();
}

int HttpServer::port() const
{
    return m_service->port();
}

std::string HttpServer::baseUrl() const
{
    return m_service->baseUrl();
}

} // namespace hf::server
