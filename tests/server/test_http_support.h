#pragma once

// Shared pieces of the HTTP service's tests: a server on a free loopback port over a temporary
// data folder, JSON helpers, sign-in, audio fixtures made with ffmpeg, and raw-socket requests
// for bodies a well-behaved client would never send.

#include "http/http_server.h"
#include "support/test_support.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace hf::test::http {

struct LocalServer {
    hf::server::ServerOptions options;
    std::unique_ptr<hf::server::HttpServer> server;

    explicit LocalServer(hf::server::ServerOptions o) : options(std::move(o)) { start(); }
    ~LocalServer() { stop(); }

    void start()
    {
        server = std::make_unique<hf::server::HttpServer>(options);
        server->start();
    }
    void stop()
    {
        if (server)
            server->stop();
        server.reset();
    }
    int port() const { return server->port(); }
    std::string url() const { return server->baseUrl(); }
};

inline hf::server::ServerOptions optionsIn(const QTemporaryDir& dir)
{
    hf::server::ServerOptions o;
    o.dataDir = dir.path().toStdString();
    return o;
}

inline QJsonObject json(const httplib::Result& r)
{
    return r ? QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object() : QJsonObject{};
}

inline QString errorCode(const httplib::Result& r)
{
    return json(r).value("error").toObject().value("code").toString();
}

inline httplib::Headers bearer(const std::string& token)
{
    return {{"Authorization", "Bearer " + token}};
}

inline std::string signInAnonymously(httplib::Client& client)
{
    auto r = client.Post("/api/auth/sign-in/anonymous", "{}", "application/json");
    return r && r->status == 200 ? r->get_header_value("set-auth-token") : std::string();
}

inline httplib::Result postJson(httplib::Client& client, const std::string& path, const std::string& token,
                                const QJsonObject& body = {})
{
    return client.Post(path, bearer(token), QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(),
                       "application/json");
}

// The path and query of a URL handed out by the server.
inline std::string pathOf(const QString& url)
{
    QUrl u(url);
    return (u.path(QUrl::FullyEncoded) + (u.hasQuery() ? "?" + u.query(QUrl::FullyEncoded) : QString())).toStdString();
}

inline std::string challengeOf(const std::string& verifier)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

// Runs ffmpeg with a lavfi source into `path`; true on success.
inline bool makeAudio(const QString& path, const QString& source, const QStringList& extra = {"-c:a", "aac"})
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", QStringList{"-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", source} + extra
                               + QStringList{path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

inline std::string readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// Creates a job, uploads `file` by the instruction, starts it; returns the job id ("" on failure).
inline std::string runJob(httplib::Client& client, const std::string& token, const QString& file, double seconds,
                          const QString& kind = "full", bool claimCheck = false)
{
    QJsonObject body{{"kind", kind}, {"durationSeconds", seconds}, {"contentType", "audio/mp4"}};
    if (claimCheck)
        body["claimCheck"] = true;
    auto created = postJson(client, "/v1/jobs", token, body);
    if (!created || created->status != 201)
        return {};
    auto answer = json(created);
    auto upload = answer.value("upload").toObject();
    auto put = client.Put(pathOf(upload.value("url").toString()), {}, readFile(file),
                          upload.value("headers").toObject().value("Content-Type").toString().toStdString());
    std::string id = answer.value("job").toObject().value("id").toString().toStdString();
    auto started = postJson(client, "/v1/jobs/" + id + "/start", token);
    return put && put->status == 200 && started && started->status == 200 ? id : std::string();
}

// Polls the job until `done` holds for it (or the time runs out); returns the last record.
inline QJsonObject waitForJob(httplib::Client& client, const std::string& token, const std::string& id,
                              const std::function<bool(const QJsonObject&)>& done, int timeoutMs = 30000)
{
    QJsonObject job;
    waitUntil(
        [&] {
            job = json(client.Get("/v1/jobs/" + id, bearer(token))).value("job").toObject();
            return done(job);
        },
        timeoutMs);
    return job;
}

inline bool hasStatus(const QJsonObject& job, const char* status)
{
    return job.value("status").toString() == status;
}

// A plain loopback connection for requests a well-behaved client would never send: bodies past
// their limit, throttled uploads, bytes after a refusal. Every wait is bounded.
class RawConnection {
public:
    explicit RawConnection(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    ~RawConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Tells the server that nothing more comes (the end of a body sent without a length).
    void finishSending() { ::shutdown(m_fd, SHUT_WR); }

    // Sends what the socket takes within `timeoutMs`, collecting any answer meanwhile; false
    // once the server refuses more (or the time runs out).
    bool send(const std::string& data, int timeoutMs = 5000)
    {
        size_t sent = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (sent < data.size() && m_fd >= 0 && !m_sendFailed) {
            ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                m_sendFailed = true;
                break;
            }
            pollfd p{m_fd, POLLOUT | POLLIN, 0};
            ::poll(&p, 1, 20);
            collect();
            if (std::chrono::steady_clock::now() > deadline)
                return false;
        }
        collect();
        return !m_sendFailed && sent == data.size();
    }

    // Sends `total` bytes of body in chunks made by `chunk(offset, size)` until the answer's
    // head has come (or the server stops taking bytes); returns the bytes sent.
    std::uint64_t sendUntilAnswered(std::uint64_t total, const std::function<std::string(std::uint64_t, size_t)>& chunk,
                                    size_t step = 64 * 1024, int pauseMs = 0)
    {
        std::uint64_t offset = 0;
        while (offset < total && !answered() && !m_sendFailed && !m_closed) {
            size_t size = size_t(std::min<std::uint64_t>(step, total - offset));
            if (!send(chunk(offset, size)))
                break;
            offset += size;
            if (pauseMs > 0)
                wait(pauseMs);
        }
        return offset;
    }

    // Reads what comes for up to `timeoutMs` or until the server closes.
    void wait(int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_fd >= 0 && !m_closed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0)
                break;
            collect();
        }
    }
    // Waits until the answer's head has come, for up to `timeoutMs`.
    bool waitForAnswer(int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!answered() && !m_closed && std::chrono::steady_clock::now() < deadline)
            wait(20);
        return answered();
    }
    // Waits until the server has closed the connection, for up to `timeoutMs`.
    bool waitForClose(int timeoutMs)
    {
        wait(timeoutMs);
        return m_closed;
    }

    bool answered() const { return m_received.find("\r\n\r\n") != std::string::npos; }
    std::string statusLine() const { return m_received.substr(0, m_received.find("\r\n")); }
    bool closed() const { return m_closed; }
    int answerCount() const
    {
        int count = 0;
        for (size_t at = m_received.find("HTTP/1.1 "); at != std::string::npos; at = m_received.find("HTTP/1.1 ", at + 1))
            ++count;
        return count;
    }

private:
    void collect()
    {
        char buffer[16384];
        for (;;) {
            ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                m_received.append(buffer, size_t(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                m_closed = true;
            return;
        }
    }

    int m_fd = -1;
    std::string m_received;
    bool m_sendFailed = false;
    bool m_closed = false;
};

// Sends `head` and then `body` on a plain socket, half-closes it when told (so the server meets the
// end of a short body), and returns the status line of the answer ("" when none comes).
inline std::string rawExchange(int port, const std::string& head, const std::string& body, bool halfClose)
{
    RawConnection connection(port);
    if (!connection.isOpen())
        return {};
    connection.send(head + body);
    if (halfClose)
        connection.finishSending();
    connection.waitForAnswer(10000);
    return connection.statusLine();
}

// The head of a request to the server: `headers` are lines ending in CRLF.
inline std::string head(const std::string& requestLine, const std::string& headers)
{
    return requestLine + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

// Body filler for RawConnection::sendUntilAnswered.
inline std::string spaces(std::uint64_t, size_t size)
{
    return std::string(size, ' ');
}

// The chunks of a chunked body of `total` bytes of JSON-looking filler, `step` bytes a chunk.
inline std::string chunkedPiece(std::uint64_t offset, size_t size, std::uint64_t total)
{
    std::string data(size, ' ');
    if (offset == 0)
        data[0] = '[';
    char length[32];
    std::snprintf(length, sizeof length, "%zx\r\n", size);
    std::string piece = length + data + "\r\n";
    if (offset + size >= total)
        piece += "0\r\n\r\n";
    return piece;
}

} // namespace hf::test::http
