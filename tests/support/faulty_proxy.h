#pragma once

// A proxy on 127.0.0.1 in front of a real server that passes every request through unchanged but
// for the ones it is told to answer itself, the way a misbehaving server or gateway would: a body
// trickled a byte at a time, a gigabyte of JSON, an HTML page, a gateway error. The Host header is
// passed on, so addresses the server writes into its answers point back at the proxy.

#include <QUrl>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace hf::test {

class FaultyProxy {
public:
    enum class Answer {
        trickle,        // 200, one byte every trickleInterval, never complete
        hugeWithLength, // 200, a gigabyte of spaces and then "{}", its length announced
        hugeChunked,    // the same in chunks, no length announced
        htmlPage,       // 200 with a small HTML page
        badGateway,     // 502 from a gateway (HTML body)
        unavailable,    // 503 from a gateway (HTML body)
        cutShort,       // 200 announcing 4 KiB of JSON, the connection closed after its first bytes
        silent,         // the request is taken and never answered
        redirect,       // 302 to the same path with "/moved" appended (same origin)
        emptySuccess,   // 200 with an empty body
        repeatedKeys,   // the server's answer with every top-level member written twice
        gzipFlood,      // 200, gzip-encoded: 64 MiB of spaces and letters, a few hundred KiB on the wire
        rateLimited,    // 429 with "Retry-After: 1" and the backend's error body
        stallHalfway,   // the server's answer, its length announced, held after half its body
        cutAfterThird,  // the same, the connection closed after a third of its body
        steady,         // the same, all of it, in 30 pieces 100 ms apart
        paced,          // the same, all of it, at pacedBytesPerSecond on average, in pieces 50 ms apart
    };
    // Changes the server's real answer (status and body; and headers) before it is passed on.
    using Rewrite = std::function<void(int& status, std::string& body)>;
    using Reshape = std::function<void(int& status, std::string& body, httplib::Headers& headers)>;

    explicit FaultyProxy(int targetPort);
    ~FaultyProxy();
    FaultyProxy(const FaultyProxy&) = delete;
    FaultyProxy& operator=(const FaultyProxy&) = delete;

    int port() const { return m_port; }
    QUrl baseUrl() const;

    // The next `times` requests of `method` whose path matches `pathPattern` (a regular
    // expression over the whole path) get `answer` instead of the server's.
    void replace(const std::string& method, const std::string& pathPattern, Answer answer, int times = 1);
    // The next `times` answers to such requests pass through `rewrite` on their way back.
    void rewrite(const std::string& method, const std::string& pathPattern, Rewrite rewrite, int times = 1);
    void reshape(const std::string& method, const std::string& pathPattern, Reshape reshape, int times = 1);
    // `body` compressed with zlib's `windowBits` (gzip, zlib or raw deflate) at `level` (0: stored).
    static constexpr int gzip = 15 + 16, zlib = 15, rawDeflate = -15;
    static std::string compress(const std::string& body, int windowBits, int level = 6);
    void clear();
    // How many answers were replaced so far.
    int replaced() const;
    // How many requests of `method` matching `pathPattern` arrived, replaced or passed on.
    int received(const std::string& method, const std::string& pathPattern) const;
    // The paths of those requests, in the order they arrived.
    std::vector<std::string> paths(const std::string& method, const std::string& pathPattern) const;
    // When the first answer was replaced since the last clear, on `clock`; none before one was.
    std::optional<std::chrono::steady_clock::time_point> firstReplacedAt() const;
    // The clock of firstReplacedAt(); set before the proxy is used (it is read on its threads).
    std::function<std::chrono::steady_clock::time_point()> clock = [] { return std::chrono::steady_clock::now(); };

    std::chrono::milliseconds trickleInterval{200};
    // Each piece of a paced answer goes out when the rate says it is due: a late piece is not made
    // up for by the next ones going later too.
    std::atomic<long long> pacedBytesPerSecond{4096};
    static constexpr size_t hugeBytes = size_t(1) << 30;

private:
    struct Rule {
        std::string method;
        std::regex path;
        Answer answer;
        int times;
        Reshape reshape;
    };
    void handle(const httplib::Request& request, httplib::Response& response);
    void answer(Answer answer, const httplib::Request& request, httplib::Response& response);
    void forward(const httplib::Request& request, httplib::Response& response);

    int m_targetPort;
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_generation{0};
    mutable std::mutex m_mutex;
    std::vector<Rule> m_rules;
    std::vector<std::pair<std::string, std::string>> m_received;
    int m_replaced = 0;
    std::optional<std::chrono::steady_clock::time_point> m_firstReplaced;
};

} // namespace hf::test
