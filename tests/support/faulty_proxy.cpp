#include "support/faulty_proxy.h"

#include "support/test_http_server.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include <zlib.h>

namespace hf::test {

namespace {

const char* const htmlPage = "<!DOCTYPE html><html><head><title>Welcome</title></head>"
                             "<body><p>This page is served in place of the file.</p></body></html>";

bool sameName(const std::string& a, const char* b)
{
    const std::string other(b);
    return a.size() == other.size() && std::equal(a.begin(), a.end(), other.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// The type of the huge answers. Written with its character set, which keeps the server from
// compressing it: the client is to meet a gigabyte on the wire.
const char* const hugeType = "application/json; charset=utf-8";
// 64 MiB of spaces and letters and then "{}", gzip-encoded, made once.
// 64 MiB of spaces and "{}", gzip-encoded, made once.
const std::string& gzipFloodBody()
{
    static const std::string body = [] {
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        // Spaces with a letter every KiB (from a simple generator), so that it inflates about 250
        // times over and comes in many pieces, as a real flood does.
        std::string spaces(1 << 20, ' ');
        std::uint32_t state = 1;
        std::string out;
        char buffer[64 * 1024];
        const auto feed = [&](const std::string& in, int flush) {
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
            z.avail_in = uInt(in.size());
            do {
                z.next_out = reinterpret_cast<Bytef*>(buffer);
                z.avail_out = sizeof buffer;
                deflate(&z, flush);
                out.append(buffer, sizeof buffer - z.avail_out);
            } while (z.avail_out == 0);
        };
        for (int i = 0; i < 64; ++i) {
            for (size_t at = 0; at < spaces.size(); at += 128) {
                state = state * 1664525u + 1013904223u;
                spaces[at] = char('a' + (state >> 24) % 26);
            }
            feed(spaces, Z_NO_FLUSH);
        }
        feed("{}", Z_FINISH);
        deflateEnd(&z);
        return out;
    }();
    return body;
}

// Headers the client computes for itself, and what the server side of httplib adds for its own use.
bool passesOn(const std::string& name)
{
    static const char* const dropped[] = {"Content-Length", "Transfer-Encoding", "Connection", "Accept-Encoding",
                                          "REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};
    return std::none_of(std::begin(dropped), std::end(dropped),
                        [&](const char* d) { return sameName(name, d); });
}

} // namespace

FaultyProxy::FaultyProxy(int targetPort) : m_targetPort(targetPort)
{
    m_port = serveOnLoopback(m_server, m_thread, [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
}

FaultyProxy::~FaultyProxy()
{
    m_stopping = true;
    m_server.stop();
    if (m_thread.joinable())
        m_thread.join();
}

QUrl FaultyProxy::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void FaultyProxy::replace(const std::string& method, const std::string& pathPattern, Answer answer, int times)
{
    std::lock_guard lock(m_mutex);
    m_rules.push_back(Rule{method, std::regex(pathPattern), answer, times, {}});
}

void FaultyProxy::rewrite(const std::string& method, const std::string& pathPattern, Rewrite rewrite, int times)
{
    reshape(method, pathPattern, [rewrite = std::move(rewrite)](int& status, std::string& body, httplib::Headers&) {
        rewrite(status, body);
    }, times);
}

void FaultyProxy::reshape(const std::string& method, const std::string& pathPattern, Reshape reshape, int times)
{
    std::lock_guard lock(m_mutex);
    m_rules.push_back(Rule{method, std::regex(pathPattern), Answer::htmlPage, times, std::move(reshape)});
}

std::string FaultyProxy::compress(const std::string& body, int windowBits, int level)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(body.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = uInt(body.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::optional<std::chrono::steady_clock::time_point> FaultyProxy::firstReplacedAt() const
{
    std::lock_guard lock(m_mutex);
    return m_firstReplaced;
}

std::vector<std::string> FaultyProxy::paths(const std::string& method, const std::string& pathPattern) const
{
    const std::regex pattern(pathPattern);
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& [m, path] : m_received)
        if (m == method && std::regex_match(path, pattern))
            out.push_back(path);
    return out;
}

void FaultyProxy::clear()
{
    std::lock_guard lock(m_mutex);
    m_rules.clear();
    m_received.clear();
    ++m_generation;
    m_replaced = 0;
    m_firstReplaced.reset();
}

int FaultyProxy::replaced() const
{
    std::lock_guard lock(m_mutex);
    return m_replaced;
}

int FaultyProxy::received(const std::string& method, const std::string& pathPattern) const
{
    const std::regex pattern(pathPattern);
    std::lock_guard lock(m_mutex);
    return int(std::count_if(m_received.begin(), m_received.end(), [&](const auto& r) {
        return r.first == method && std::regex_match(r.second, pattern);
    }));
}

void FaultyProxy::handle(const httplib::Request& request, httplib::Response& response)
{
    std::optional<Answer> chosen;
    Reshape rewrite;
    {
        std::lock_guard lock(m_mutex);
        m_received.emplace_back(request.method, request.path);
        for (auto it = m_rules.begin(); it != m_rules.end(); ++it) {
            if (it->method != request.method || !std::regex_match(request.path, it->path))
                continue;
            if (it->reshape)
                rewrite = it->reshape;
            else
                chosen = it->answer;
            if (!m_firstReplaced)
                m_firstReplaced = clock();
            ++m_replaced;
            if (--it->times <= 0)
                m_rules.erase(it);
            break;
        }
    }
    if (chosen == Answer::repeatedKeys) {
        forward(request, response);
        std::string& body = response.body;
        if (body.size() > 2 && body.front() == '{' && body.back() == '}') {
            const std::string members = body.substr(1, body.size() - 2);
            body = '{' + members + ',' + members + '}';
        }
        return;
    }
    if (chosen) {
        answer(*chosen, request, response);
        return;
    }
    forward(request, response);
    if (rewrite) {
        std::string body = response.body;
        const std::string type = response.get_header_value("Content-Type");
        rewrite(response.status, body, response.headers);
        std::string contentType = type.empty() ? "application/json" : type;
        // A body encoded by the rewrite goes out as it is, not compressed once more (see hugeType).
        if (response.has_header("Content-Encoding") && contentType.find("charset") == std::string::npos)
            contentType += "; charset=utf-8";
        response.set_content(body, contentType);
    }
}

void FaultyProxy::answer(Answer answer, const httplib::Request& request, httplib::Response& response)
{
    switch (answer) {
    case Answer::trickle:
        response.status = 200;
        response.set_content_provider(1024 * 1024, "application/json",
                                      [this](size_t, size_t, httplib::DataSink& sink) {
                                          if (m_stopping)
                                              return false;
                                          std::this_thread::sleep_for(trickleInterval);
                                          return !m_stopping && sink.is_writable() && sink.write(" ", 1);
                                      });
        return;
    case Answer::hugeWithLength:
    case Answer::hugeChunked: {
        response.status = 200;
        auto provide = [this](size_t offset, httplib::DataSink& sink) {
            if (m_stopping)
                return false;
            if (offset >= hugeBytes) {
                sink.write("{}", 2);
                sink.done();
                return true;
            }
            static const std::string spaces(64 * 1024, ' ');
            const size_t n = std::min(spaces.size(), hugeBytes - offset);
            return sink.write(spaces.data(), n);
        };
        if (answer == Answer::hugeWithLength)
            response.set_content_provider(hugeBytes + 2, hugeType,
                                          [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                              return provide(offset, sink);
                                          });
        else
            response.set_chunked_content_provider(hugeType, provide);
        return;
    }
    case Answer::htmlPage:
        response.status = 200;
        response.set_content(htmlPage, "text/html; charset=utf-8");
        return;
    case Answer::badGateway:
        response.status = 502;
        response.set_content("<html><body><h1>502 Bad Gateway</h1></body></html>", "text/html");
        return;
    case Answer::unavailable:
        response.status = 503;
        response.set_content("<html><body><h1>503 Service Unavailable</h1></body></html>", "text/html");
        return;
    case Answer::cutShort:
        response.status = 200;
        response.set_content_provider(4096, "application/json", [](size_t offset, size_t, httplib::DataSink& sink) {
            // Returning false drops the connection, the rest of the announced body unsent.
            return offset == 0 && sink.write("{\"job\":{\"id\":\"", 14);
        });
        return;
    case Answer::silent:
    {
        // Held until the proxy is cleared or stopped, so that no worker stays taken for long.
        const int generation = m_generation;
        for (int waited = 0; !m_stopping && m_generation == generation && waited < 120000; waited += 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
        response.status = 504;
        return;
    case Answer::emptySuccess:
        response.status = 200;
        response.set_content("", "application/json");
        return;
    case Answer::repeatedKeys:
        return;
    case Answer::gzipFlood:
        response.status = 200;
        response.set_header("Content-Encoding", "gzip");
        response.set_content(gzipFloodBody(), hugeType);
        return;
    case Answer::rateLimited:
        response.status = 429;
        response.set_header("Retry-After", "1");
        response.set_content(R"({"error":{"code":"rate_limited","message":"Too many requests."}})", "application/json");
        return;
    case Answer::stallHalfway:
    case Answer::cutAfterThird:
    case Answer::steady: {
        forward(request, response);
        auto body = std::make_shared<std::string>(std::move(response.body));
        const size_t parts = answer == Answer::steady ? 1 : answer == Answer::stallHalfway ? 2 : 3;
        const size_t sent = (body->size() + parts - 1) / parts;
        const std::string type = response.get_header_value("Content-Type");
        response.headers.erase("Content-Type");
        const int generation = m_generation;
        response.set_content_provider(body->size(), type, [=, this](size_t offset, size_t, httplib::DataSink& sink) {
            if (answer == Answer::steady)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (offset < sent)
                return sink.write(body->data() + offset, std::min(sent - offset, answer == Answer::steady ? sent / 30 + 1 : sent));
            // A stall is held as a silent answer is; returning false drops the connection.
            while (answer == Answer::stallHalfway && !m_stopping && m_generation == generation)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return false;
        });
        return;
    }
    case Answer::paced: {
        forward(request, response);
        auto body = std::make_shared<std::string>(std::move(response.body));
        const std::string type = response.get_header_value("Content-Type");
        response.headers.erase("Content-Type");
        const auto rate = std::max<long long>(1, pacedBytesPerSecond);
        const auto begun = std::chrono::steady_clock::now();
        response.set_content_provider(body->size(), type, [=, this](size_t offset, size_t, httplib::DataSink& sink) {
            const size_t piece = std::max<size_t>(1, size_t(rate / 20));
            const auto due = begun + std::chrono::microseconds((long long)(offset + piece) * 1000000 / rate);
            std::this_thread::sleep_until(due);
            return !m_stopping && sink.write(body->data() + offset, std::min(piece, body->size() - offset));
        });
        return;
    }
    case Answer::redirect:
        response.status = 302;
        response.set_header("Location", request.path + "/moved");
        response.set_content("", "text/plain");
        return;
    }
}

void FaultyProxy::forward(const httplib::Request& request, httplib::Response& response)
{
    httplib::Client client("127.0.0.1", m_targetPort);
    client.set_read_timeout(120, 0);
    client.set_write_timeout(120, 0);
    httplib::Request out;
    out.method = request.method;
    out.path = request.target.empty() ? request.path : request.target;
    for (const auto& [name, value] : request.headers)
        if (passesOn(name))
            out.headers.emplace(name, value);
    out.body = request.body;
    const httplib::Result result = client.send(out);
    if (!result) {
        response.status = 502;
        response.set_content("<html><body><h1>502 Bad Gateway</h1></body></html>", "text/html");
        return;
    }
    response.status = result->status;
    for (const auto& [name, value] : result->headers)
        if (passesOn(name) && !sameName(name, "Content-Type"))
            response.headers.emplace(name, value);
    response.set_content(result->body, result->get_header_value("Content-Type"));
}

} // namespace hf::test
