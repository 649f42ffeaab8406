#include "support/local_server.h"

#include "http/http_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUrlQuery>

#include <httplib.h>

#include <stdexcept>

namespace hf::test {

namespace {

QString dataTemplate()
{
    const QFileInfo memory(QStringLiteral("/dev/shm"));
    const QString folder = memory.isDir() && memory.isWritable() ? memory.filePath() : QDir::tempPath();
    return folder + QStringLiteral("/hf-local-server-XXXXXX");
}

} // namespace

LocalServer::LocalServer(Configure configure) : m_data(dataTemplate()), m_configure(std::move(configure))
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
    // Each test's server separates on two threads, not on every core of the machine: beside the
    // rest of the suite, a test takes about the cores the suite counts it as taking.
    options.threads = 2;
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

void LocalServer::restart(bool loseData)
{
    stop();
    if (loseData)
        QDir(m_data.path()).removeRecursively();   // the server makes its folder again
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

QString LocalServer::identityToken(const QString& email) const
{
    const QString verifier = QString(43, u'v');
    const QString challenge = QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    httplib::Client client("127.0.0.1", m_port);
    const std::string redirect = "http://127.0.0.1:9/callback";
    httplib::Params params{{"client_id", "desktop"},
                           {"redirect_uri", redirect},
                           {"response_type", "code"},
                           {"state", "s"},
                           {"code_challenge", challenge.toStdString()},
                           {"code_challenge_method", "S256"},
                           {"login_hint", email.toStdString()}};
    auto authorize = client.Get("/oauth/authorize", params, httplib::Headers{});
    if (!authorize || authorize->status != 302)
        return {};
    const QUrl location(QString::fromStdString(authorize->get_header_value("Location")));
    const QString code = QUrlQuery(location).queryItemValue(QStringLiteral("code"));
    httplib::Params form{{"grant_type", "authorization_code"},
                         {"code", code.toStdString()},
                         {"client_id", "desktop"},
                         {"redirect_uri", redirect},
                         {"code_verifier", verifier.toStdString()}};
    auto token = client.Post("/oauth/token", form);
    if (!token || token->status != 200)
        return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(token->body))
        .object()
        .value(QStringLiteral("id_token"))
        .toString();
}

} // namespace hf::test
