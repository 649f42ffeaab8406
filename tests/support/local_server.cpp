#include "support/local_server.h"

#include "http/http_server.h"

#include <QJsonDocument>

#include <httplib.h>

#include <stdexcept>

namespace hf::test {

LocalServer::LocalServer(Configure configure) : m_configure(std::move(configure))
{
    start();
}

LocalServer::~LocalServer()
{
    stop();
}

void LocalServer::start()
{
    hf::server::ServerOptions options;
    options.dataDir = m_data.path().toStdString();
    options.port = m_port;
    options.testControls = true;
    if (m_configure)
        m_configure(options);
    m_server = std::make_unique<hf::server::HttpServer>(options);
    m_port = m_server->start();
}

void LocalServer::stop()
{
    if (m_server) {
        m_server->stop();
        m_server.reset();
    }
}

void LocalServer::restart()
{
    stop();
    start();
}

QUrl LocalServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

int LocalServer::port() const
{
    return m_port;
}

QJsonObject LocalServer::post(const std::string& path, const QJsonObject& body)
{
    httplib::Client client("127.0.0.1", m_port);
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    auto result = client.Post(path, json.toStdString(), "application/json");
    if (!result || result->status != 200)
        throw std::runtime_error("the local server refused a test control: " + path);
    return QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object();
}

int LocalServer::addFault(const QJsonObject& fault)
{
    return post("/_test/faults", fault).value(QStringLiteral("id")).toInt();
}

void LocalServer::clearFaults()
{
    httplib::Client client("127.0.0.1", m_port);
    auto result = client.Delete("/_test/faults");
    if (!result || result->status != 200)
        throw std::runtime_error("the local server did not clear its faults");
}

void LocalServer::rejectTokens(bool reject)
{
    post("/_test/faults", QJsonObject{{QStringLiteral("rejectTokens"), reject}});
}

} // namespace hf::test
