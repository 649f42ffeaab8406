#pragma once

// The local server (hushframe-server) started in-process on a free loopback port with a
// temporary data folder and its test controls on, for tests of the desktop client.

#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>

namespace hf::server {
struct ServerOptions;
class HttpServer;
} // namespace hf::server

namespace hf::test {

class LocalServer {
public:
    using Configure = std::function<void(hf::server::ServerOptions&)>;

    // `configure` may change the options (catalogue folder, time limits, ...) before the start.
    explicit LocalServer(Configure configure = {});
    ~LocalServer();

    QUrl baseUrl() const;
    int port() const;
    QString dataDir() const { return m_data.path(); }

    // Stops and starts again on the same data folder and port; `loseData`: with that folder gone.
    void restart(bool loseData = false);
    void stop();

    // Fault knobs. A fault names "method" and "path" (a pattern where "*" matches one segment) and
    // one of "status" (with optional "body"), "delayMs", "drop": true, "malformed": true; "times"
    // limits how often it fires. Returns the fault's id.
    int addFault(const QJsonObject& fault);
    void clearFaults();
    void rejectTokens(bool reject);

    // An ID token of the server's identity provider for `email`, through its authorize and token
    // steps (the authorize page approves at once under test controls); empty on failure.
    QString identityToken(const QString& email = QStringLiteral("tester@example.com")) const;

private:
    // In memory where the system offers it: the server syncs every write, which a busy disk
    // shared with other work can hold up for longer than a client's limits in a test.
    QTemporaryDir m_data;
    Configure m_configure;
    std::unique_ptr<hf::server::HttpServer> m_server;
    int m_port = 0;
    void start();
    QJsonObject post(const std::string& path, const QJsonObject& body);
};

} // namespace hf::test
