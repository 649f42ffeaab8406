#include "support/test_http_server.h"

#include <chrono>
#include <stdexcept>

namespace hf::test {

std::string TestHttpServer::Received::header(const std::string& name) const
{
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

int serveOnLoopback(httplib::Server& server, std::thread& thread, const httplib::Server::Handler& handler)
{
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Delete(".*", handler);
    server.Patch(".*", handler);
    const int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0)
        throw std::runtime_error("test server could not bind a port");
    thread = std::thread([&server] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port;
}

TestHttpServer::TestHttpServer()
{
    m_port = serveOnLoopback(m_server, m_thread, [this](const httplib::Request& request, httplib::Response& response) {
        dispatch(request, response);
    });
}

TestHttpServer::~TestHttpServer()
{
    m_server.stop();
    if (m_thread.joinable())
        m_thread.join();
}

QUrl TestHttpServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void TestHttpServer::on(const std::string& method, const std::string& path, Handler handler)
{
    std::lock_guard lock(m_mutex);
    for (auto& [m, p, h] : m_routes) {
        if (m == method && p == path) {
            h = std::move(handler);
            return;
        }
    }
    m_routes.emplace_back(method, path, std::move(handler));
}

void TestHttpServer::reply(const std::string& method, const std::string& path, int status, std::string body,
                           httplib::Headers headers)
{
    on(method, path, [status, body = std::move(body), headers = std::move(headers)](const httplib::Request&,
                                                                                     httplib::Response& response) {
        response.status = status;
        for (const auto& [name, value] : headers)
            response.set_header(name, value);
        if (!body.empty())
            response.set_content(body, "application/json");
    });
}

std::vector<TestHttpServer::Received> TestHttpServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

int TestHttpServer::count(const std::string& method, const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const auto& r : m_received)
        n += (r.method == method && r.path == path) ? 1 : 0;
    return n;
}

void TestHttpServer::clearReceived()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
}

void TestHttpServer::dispatch(const httplib::Request& request, httplib::Response& response)
{
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        m_received.push_back({request.method, request.path, request.body, request.headers});
        for (const auto& [m, p, h] : m_routes) {
            if (m == request.method && p == request.path) {
                handler = h;
                break;
            }
        }
    }
    if (handler)
        handler(request, response);
    else
        response.status = 404;
}

} // namespace hf::test
