#pragma once

// A scriptable HTTP server for tests, on a free port of 127.0.0.1, serving from its own threads.
// Routes can be set and changed while it runs; every request it receives is recorded.

#include <QUrl>

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hf::test {

// Routes every method of `server` to `handler`, binds it to a free port of 127.0.0.1 and serves
// from `thread`; returns once it is running, with the port. Throws when no port can be bound.
int serveOnLoopback(httplib::Server& server, std::thread& thread, const httplib::Server::Handler& handler);

class TestHttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    struct Received {
        std::string method;
        std::string path;
        std::string body;
        httplib::Headers headers;

        bool hasHeader(const std::string& name) const { return headers.find(name) != headers.end(); }
        std::string header(const std::string& name) const;
    };

    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const { return m_port; }
    QUrl baseUrl() const;

    // Answers `method` requests to exactly `path` with `handler`; a later call for the same route
    // replaces it. Unrouted requests get 404 with an empty body.
    void on(const std::string& method, const std::string& path, Handler handler);
    // Convenience: a fixed status, body and headers.
    void reply(const std::string& method, const std::string& path, int status, std::string body,
               httplib::Headers headers = {});

    std::vector<Received> received() const;
    int count(const std::string& method, const std::string& path) const;
    void clearReceived();

private:
    void dispatch(const httplib::Request& request, httplib::Response& response);

    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::tuple<std::string, std::string, Handler>> m_routes;
    std::vector<Received> m_received;
};

} // namespace hf::test
