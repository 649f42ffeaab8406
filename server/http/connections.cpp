#include "http/connections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <limits>

namespace hf::server {

namespace {

using Clock = std::chrono::steady_clock;

// Runs httplib's per-connection task on the accepting thread: all it does here is hand the
// socket to the gathering thread.
class InlineQueue final : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

std::string addressOf(const sockaddr_storage& address, int& port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    }
    return text;
}

// One request's reads and writes on a connection whose head was gathered already.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, std::string buffered, const ConnectionLimits& limits, const std::atomic<bool>& stopping)
        : m_fd(fd), m_buffer(std::move(buffered)), m_limits(limits), m_stopping(stopping)
    {
    }

    bool is_readable() const override
    {
        return m_offset < m_buffer.size() || wait(POLLIN, readDeadline());
    }
    bool is_writable() const override { return wait(POLLOUT, Clock::now() + m_limits.stallTime); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (failed)
            return -1;
        size_t want = size;
        if (m_inBody) {
            if (m_bodyRead >= m_bodyLimit) {
                // A body that ends right at its limit (its sender closed) is whole; a byte more is past it.
                const int next = peekBeyondLimit();
                if (next == 0)
                    return 0;
                overLimit = next > 0;
                failed = true;
                return -1;
            }
            want = size_t(std::min<std::uint64_t>(want, m_bodyLimit - m_bodyRead));
        }
        if (m_offset < m_buffer.size()) {
            size_t n = std::min(want, m_buffer.size() - m_offset);
            std::memcpy(ptr, m_buffer.data() + m_offset, n);
            m_offset += n;
            if (m_inBody)
                m_bodyRead += n;
            return ssize_t(n);
        }
        // The head was gathered whole: a parser that wants more of it gets nothing.
        if (!m_inBody) {
            failed = true;
            return -1;
        }
        for (;;) {
            if (!wait(POLLIN, readDeadline())) {
                failed = true;
                return -1;
            }
            ssize_t n = ::recv(m_fd, ptr, want, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (n < 0) {
                failed = true;
                return -1;
            }
            m_bodyRead += std::uint64_t(n);
            return n;
        }
    }

    // A failed read leaves the answer to be written (a 413, say); a failed write ends the writing.
    ssize_t write(const char* ptr, size_t size) override
    {
        for (;;) {
            if (m_writeFailed || !wait(POLLOUT, Clock::now() + m_limits.stallTime)) {
                m_writeFailed = failed = true;
                return -1;
            }
            ssize_t n = ::send(m_fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (n < 0)
                m_writeFailed = failed = true;
            return n;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            ip = addressOf(address, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            ip = addressOf(address, port);
    }
    socket_t socket() const override { return m_fd; }

    // The head is read: what follows is the body, with its bound, as the head states it.
    void startBody(std::uint64_t limit, bool timed, std::uint64_t declared, bool chunked)
    {
        m_declared = declared;
        m_chunked = chunked;
        m_inBody = true;
        m_bodyLimit = limit;
        m_bodyRead = 0;
        if (timed)
            m_bodyDeadline = Clock::now() + m_limits.boundedBodyTime;
    }

    // Whether the body was read to its end (a chunked one is never known to be).
    bool bodyConsumed() const { return !m_chunked && m_bodyRead >= m_declared; }

    // Bytes already received that belong to the next request.
    std::string leftover() const { return m_buffer.substr(m_offset); }

    bool failed = false; // a read or a write failed: the connection serves no further request
    bool overLimit = false;
    bool endAfterAnswer = false;

private:
    // At the body's limit: 1 when a further byte comes, 0 when the sender closed, -1 when the
    // read failed or timed out.
    int peekBeyondLimit()
    {
        if (m_offset < m_buffer.size())
            return 1;
        for (;;) {
            if (!wait(POLLIN, readDeadline()))
                return -1;
            char c;
            const ssize_t n = ::recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            return n > 0 ? 1 : n == 0 ? 0 : -1;
        }
    }

    Clock::time_point readDeadline() const
    {
        return std::min(Clock::now() + m_limits.stallTime, m_bodyDeadline);
    }

    // Waits in short slices, so that a stopping server is noticed.
    bool wait(short events, Clock::time_point deadline) const
    {
        for (;;) {
            if (m_stopping)
                return false;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{m_fd, events, 0};
            int r = ::poll(&p, 1, int(std::min<long long>(left, 200)));
            if (r > 0)
                return true; // ready, or an error or hang-up the next call reports
            if (r < 0 && errno != EINTR)
                return false;
        }
    }

    int m_fd;
    bool m_writeFailed = false;
    std::string m_buffer;
    size_t m_offset = 0;
    const ConnectionLimits& m_limits;
    const std::atomic<bool>& m_stopping;
    bool m_inBody = false;
    std::uint64_t m_declared = 0;
    bool m_chunked = false;
    std::uint64_t m_bodyLimit = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t m_bodyRead = 0;
    Clock::time_point m_bodyDeadline = Clock::time_point::max();
};

thread_local ConnectionStream* t_current = nullptr;

bool headComplete(const std::string& buffer)
{
    // The head ends at the first empty line, as the parser sees it: a line that is just CRLF.
    return buffer.find("\n\r\n") != std::string::npos;
}

void answerAndClose(int fd, const char* status)
{
    std::string answer = std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
}

} // namespace

// A connection waiting for its next head, or (draining) being read to its end before it closes.
struct BoundedServer::Waiting {
    int fd = -1;
    std::string buffer;
    Clock::time_point deadline;
    int served = 0;
    bool draining = false;
    std::uint64_t drained = 0;
};

BoundedServer::BoundedServer()
{
    new_task_queue = [] { return new InlineQueue; };
}

BoundedServer::~BoundedServer()
{
    stop();
}

void BoundedServer::startConnections(const ConnectionLimits& limits)
{
    m_limits = limits;
    // The answers' Keep-Alive header tells clients the same bounds.
    set_keep_alive_max_count(size_t(std::max(1, limits.requestsPerConnection)));
    set_keep_alive_timeout(std::max<time_t>(1, time_t(limits.headTime.count() / 1000)));
    m_stopping = false;
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_workers = std::make_unique<httplib::ThreadPool>(size_t(std::max(1, limits.workers)));
    m_gatherer = std::thread([this] { gatherLoop(); });
}

void BoundedServer::stop()
{
    httplib::Server::stop();
    if (!m_gatherer.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        std::uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
    }
    m_gatherer.join();
    m_workers->shutdown();
    m_workers.reset();
    std::lock_guard lock(m_mutex);
    for (auto& waiting : m_incoming)
        ::close(waiting.fd);
    m_incoming.clear();
    ::close(m_wake);
    m_wake = -1;
}

bool BoundedServer::process_and_close_socket(socket_t sock)
{
    adopt(Waiting{sock, {}, Clock::now() + m_limits.headTime});
    return true;
}

void BoundedServer::adopt(Waiting waiting)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping && m_wake >= 0) {
            m_incoming.push_back(std::move(waiting));
            std::uint64_t one = 1;
            (void)!::write(m_wake, &one, sizeof one);
            return;
        }
    }
    ::close(waiting.fd);
}

void BoundedServer::gatherLoop()
{
    std::vector<Waiting> waiting;
    std::vector<pollfd> polled;
    char chunk[16 * 1024];
    while (!m_stopping) {
        auto now = Clock::now();
        auto next = now + std::chrono::seconds(1);
        polled.assign(1, pollfd{m_wake, POLLIN, 0});
        for (const auto& w : waiting) {
            polled.push_back(pollfd{w.fd, POLLIN, 0});
            next = std::min(next, w.deadline);
        }
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        if (::poll(polled.data(), polled.size(), int(std::clamp<long long>(timeout, 0, 1000))) < 0 && errno != EINTR)
            break;
        if (m_stopping)
            break;

        std::vector<Waiting> ready;
        now = Clock::now();
        for (size_t i = 0; i < waiting.size(); ++i) {
            Waiting& w = waiting[i];
            short revents = polled[i + 1].revents;
            bool done = false;
            if (revents) {
                ssize_t n = ::recv(w.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    ::close(w.fd);
                    done = true;
                } else if (n > 0 && w.draining) {
                    w.drained += std::uint64_t(n);
                    if (w.drained > m_limits.drainBytes) {
                        ::close(w.fd);
                        done = true;
                    }
                } else if (n > 0) {
                    w.buffer.append(chunk, size_t(n));
                    if (headComplete(w.buffer)) {
                        ready.push_back(std::move(w));
                        done = true;
                    } else if (w.buffer.size() > m_limits.headBytes) {
                        answerAndClose(w.fd, "431 Request Header Fields Too Large");
                        done = true;
                    }
                }
            }
            if (!done && w.deadline <= now) {
                if (w.draining || w.buffer.empty())
                    ::close(w.fd);
                else
                    answerAndClose(w.fd, "408 Request Timeout");
                done = true;
            }
            if (done)
                w.fd = -1;
        }
        std::erase_if(waiting, [](const Waiting& w) { return w.fd < 0; });

        std::uint64_t count;
        while (::read(m_wake, &count, sizeof count) > 0) {
        }
        {
            std::lock_guard lock(m_mutex);
            for (auto& w : m_incoming) {
                // A kept-alive connection may hold its next request already.
                if (!w.draining && headComplete(w.buffer)) {
                    ready.push_back(std::move(w));
                    continue;
                }
                if (waiting.size() >= m_limits.maxWaiting) {
                    // Full: the connection closest to its deadline (the slowest) makes room.
                    auto oldest = std::min_element(waiting.begin(), waiting.end(), [](const auto& a, const auto& b) {
                        return a.deadline < b.deadline;
                    });
                    ::close(oldest->fd);
                    waiting.erase(oldest);
                }
                waiting.push_back(std::move(w));
            }
            m_incoming.clear();
        }
        for (auto& w : ready) {
            int fd = w.fd;
            int served = w.served;
            m_workers->enqueue([this, fd, served, buffer = std::move(w.buffer)]() mutable {
                serve(fd, std::move(buffer), served);
            });
        }
    }
    for (auto& w : waiting)
        ::close(w.fd);
}

void BoundedServer::serve(int fd, std::string buffered, int served)
{
    if (m_stopping) {
        ::close(fd);
        return;
    }
    ConnectionStream stream(fd, std::move(buffered), m_limits, m_stopping);
    const bool last = served + 1 >= m_limits.requestsPerConnection;
    bool closedByClient = false;
    bool headParsed = false;
    t_current = &stream;
    bool ok = process_request(stream, last, closedByClient, [&](httplib::Request& req) {
        headParsed = true;
        std::uint64_t limit = bodyLimit ? bodyLimit(req) : std::numeric_limits<std::uint64_t>::max();
        stream.startBody(limit, limit != std::numeric_limits<std::uint64_t>::max(),
                         req.has_header("Content-Length")
                             ? std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10)
                             : 0,
                         req.has_header("Transfer-Encoding"));
    });
    t_current = nullptr;

    if (m_stopping) {
        ::close(fd);
        return;
    }
    // A head the parser refused may not have been read to its end, and a body the handler left
    // unread (answered before it was needed) would be taken for the next request: after either,
    // nothing more on the connection is trusted.
    if (ok && headParsed && stream.bodyConsumed() && !last && !closedByClient && !stream.failed && !stream.endAfterAnswer) {
        adopt(Waiting{fd, stream.leftover(), Clock::now() + m_limits.headTime, served + 1});
        return;
    }
    closeGently(fd);
}

void BoundedServer::closeGently(int fd)
{
    // The answer is out: say so, then read what the client still sends until it closes (or the
    // time or byte budget runs out), so that it is not cut off by a reset before it reads the answer.
    ::shutdown(fd, SHUT_WR);
    Waiting w{fd, {}, Clock::now() + m_limits.drainTime};
    w.draining = true;
    adopt(std::move(w));
}

void endConnectionAfterAnswer()
{
    if (t_current)
        t_current->endAfterAnswer = true;
}

bool connectionEnding()
{
    return t_current && (t_current->endAfterAnswer || t_current->failed || !t_current->bodyConsumed());
}

bool bodyOverLimit()
{
    return t_current && t_current->overLimit;
}

void dropCurrentConnection()
{
    if (t_current) {
        ::shutdown(t_current->socket(), SHUT_RDWR);
        t_current->failed = true;
        t_current->endAfterAnswer = true;
    }
}

} // namespace hf::server
