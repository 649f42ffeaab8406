#include "platform/oauth_loopback_client.h"

#include "platform/logging.h"
#include "platform/oauth_pkce.h"
#include "platform/texts.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>

namespace hf {

HF_LOGGING_CATEGORY(lcOAuth, "OAuthClient")

namespace {

const QString redirectPath = QStringLiteral("/callback");
const QString keychainAccount = QStringLiteral("refresh-token");
constexpr qsizetype maxRequestBytes = 16 * 1024;
constexpr int requestTimeoutMs = 30'000;

QByteArray pageResponse(int status, const char* reason, const QString& title, const QString& message)
{
    const QByteArray body = "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + title.toHtmlEscaped().toUtf8()
        + "</title></head><body style=\"font-family:sans-serif;margin:3em\"><h1>" + title.toHtmlEscaped().toUtf8()
        + "</h1><p>" + message.toHtmlEscaped().toUtf8() + "</p></body></html>";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
          "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

void answer(QTcpSocket* socket, const QByteArray& response)
{
    socket->write(response);
    socket->disconnectFromHost();
}

} // namespace

OAuthError OAuthError::server(QString code, QString description)
{
    OAuthError e(Case::server);
    e.m_code = std::move(code);
    e.m_description = std::move(description);
    return e;
}

OAuthError OAuthError::network(QString description)
{
    OAuthError e(Case::network);
    e.m_description = std::move(description);
    return e;
}

QString OAuthError::localizedDescription() const
{
    switch (m_case) {
    case Case::canceled:
        return text("error.oauth.canceled", "The user canceled the sign-in flow.");
    case Case::notStarted:
        return text("error.oauth.notStarted", "The sign-in page couldn't be opened in your browser.");
    case Case::noPreviousSignIn:
        return text("error.oauth.noPreviousSignIn", "There is no previous sign-in to restore.");
    case Case::server:
        if (!m_description.isEmpty())
            return text("error.oauth.serverWithReason", "The sign-in was refused: %@", {m_description});
        return text("error.oauth.server", "The sign-in was refused (%@).", {m_code});
    case Case::network:
        return text("error.oauth.network", "The sign-in service couldn't be reached: %@", {m_description});
    case Case::invalidResponse:
        return text("error.oauth.invalidResponse", "The sign-in service sent an unexpected response.");
    }
    return {};
}

struct OAuthLoopbackClient::Pending {
    std::unique_ptr<QTcpServer> server;
    SharedResult<Redirect> result;
    QString state;
};

OAuthLoopbackClient::OAuthLoopbackClient(OAuthEndpoints endpoints, std::shared_ptr<KeychainBackend> keychain,
                                         QString keychainService, URLOpener opener, QNetworkAccessManager* network,
                                         QObject* parent)
    : QObject(parent),
      m_endpoints(std::move(endpoints)),
      m_keychain(std::move(keychain)),
      m_keychainService(std::move(keychainService)),
      m_opener(std::move(opener)),
      m_network(network)
{
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setCookieJar(nullptr);
    }
}

OAuthLoopbackClient::~OAuthLoopbackClient()
{
    if (m_pending)
        m_pending->result.fail(std::make_exception_ptr(Cancelled()));
}

void OAuthLoopbackClient::setConfiguration(std::optional<Configuration> configuration)
{
    m_configuration = std::move(configuration);
}

bool OAuthLoopbackClient::isSigningIn() const
{
    return m_pending && !m_pending->result.isReady();
}

void OAuthLoopbackClient::cancelSignIn()
{
    if (m_pending)
        m_pending->result.fail(std::make_exception_ptr(OAuthError::canceled()));
}

QCoro::Task<OAuthUser> OAuthLoopbackClient::signIn()
{
    if (!m_configuration)
        throw OAuthError::notStarted();
    cancelSignIn();

    const auto key = oauth::makeProofKey();
    const auto stateBytes = oauth::secureRandomBytes(16);
    if (!key || !stateBytes)
        throw OAuthError::notStarted();

    auto pending = std::make_shared<Pending>();
    pending->state = oauth::base64UrlNoPadding(*stateBytes);
    pending->server = std::make_unique<QTcpServer>();
    if (!pending->server->listen(QHostAddress::LocalHost, 0)) {
        qCWarning(lcOAuth, "No loopback port for the sign-in: %s", qUtf8Printable(pending->server->errorString()));
        throw OAuthError::notStarted();
    }
    const QString redirectURI =
        QStringLiteral("http://127.0.0.1:%1%2").arg(pending->server->serverPort()).arg(redirectPath);
    std::weak_ptr<Pending> weak = pending;
    QTcpServer* server = pending->server.get();
    connect(server, &QTcpServer::newConnection, this, [this, server, weak] {
        while (QTcpSocket* socket = server->nextPendingConnection())
            handleConnection(socket, weak);
    });

    QUrl authorize = m_endpoints.authorization;
    QUrlQuery query(authorize);
    query.addQueryItem(QStringLiteral("client_id"), m_configuration->clientID);
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectURI);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("scope"), QStringLiteral("openid email profile"));
    query.addQueryItem(QStringLiteral("state"), pending->state);
    query.addQueryItem(QStringLiteral("code_challenge"), key->challenge);
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    authorize.setQuery(query);

    m_pending = pending;
    if (!m_opener || !m_opener(authorize)) {
        m_pending.reset();
        throw OAuthError::notStarted();
    }

    QPointer<OAuthLoopbackClient> self(this);
    std::optional<Redirect> redirect;
    std::exception_ptr failure;
    try {
        redirect = co_await pending->result.wait();
    } catch (...) {
        failure = std::current_exception();
    }
    pending->server.reset();
    if (self && m_pending == pending)
        m_pending.reset();
    if (failure)
        std::rethrow_exception(failure);
    if (!self)
        throw Cancelled();

    if (redirect->error) {
        if (*redirect->error == u"access_denied")
            throw OAuthError::canceled();
        throw OAuthError::server(*redirect->error, QString());
    }
    if (!redirect->code || redirect->code->isEmpty() || !m_configuration)
        throw OAuthError::invalidResponse();

    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    form.addQueryItem(QStringLiteral("code"), *redirect->code);
    form.addQueryItem(QStringLiteral("client_id"), m_configuration->clientID);
    form.addQueryItem(QStringLiteral("redirect_uri"), redirectURI);
    form.addQueryItem(QStringLiteral("code_verifier"), key->verifier);
    if (m_configuration->clientSecret)
        form.addQueryItem(QStringLiteral("client_secret"), *m_configuration->clientSecret);
    if (m_configuration->serverClientID)
        form.addQueryItem(QStringLiteral("audience"), *m_configuration->serverClientID);
    const QJsonObject tokens = co_await postForm(m_endpoints.token, form);
    if (!self)
        throw Cancelled();
    co_return acceptTokens(tokens);
}

void OAuthLoopbackClient::handleConnection(QTcpSocket* socket, std::weak_ptr<Pending> weak)
{
    // The socket outlives the loopback server, so that its answer is still sent when the server
    // closes right after the redirect arrived.
    socket->setParent(this);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, weak] {
        buffer->append(socket->readAll());
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0) {
            if (buffer->size() > maxRequestBytes)
                socket->abort();
            return;
        }
        socket->disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
        const QUrl target(QString::fromLatin1(requestLine.value(1)));
        auto pending = weak.lock();
        if (requestLine.size() != 3 || requestLine[0] != "GET" || target.path() != redirectPath || !pending
            || pending->result.isReady()) {
            answer(socket, pageResponse(404, "Not Found", QStringLiteral("Not found"), QString()));
            return;
        }
        const QUrlQuery query(target);
        // Only the browser that was sent to the authorization page knows the state.
        if (query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != pending->state) {
            answer(socket, pageResponse(400, "Bad Request", QStringLiteral("Sign-in"),
                                        QStringLiteral("This sign-in link does not belong to a sign-in in progress.")));
            return;
        }
        Redirect redirect;
        if (query.hasQueryItem(QStringLiteral("code")))
            redirect.code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
        if (query.hasQueryItem(QStringLiteral("error")))
            redirect.error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
        answer(socket, pageResponse(200, "OK", text("ui.oauth.done.title", "Sign-in"),
                                    text("ui.oauth.done.message",
                                         "You can close this window and return to Hushframe.")));
        pending->result.resolve(redirect);
    });
}

QCoro::Task<QJsonObject> OAuthLoopbackClient::postForm(QUrl url, QUrlQuery form)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(requestTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!m_network)
        throw Cancelled();
    QNetworkReply* reply = m_network->post(request, form.toString(QUrl::FullyEncoded).toUtf8());
    ReplyHolder holder(reply);
    co_await awaitReply(reply);

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        throw OAuthError::network(reply->errorString());
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
    const QJsonObject body = document.isObject() ? document.object() : QJsonObject{};
    if (status.toInt() < 200 || status.toInt() > 299) {
        const QString code = body.value(QStringLiteral("error")).toString();
        if (code.isEmpty())
            throw OAuthError::server(QStringLiteral("http_%1").arg(status.toInt()), QString());
        throw OAuthError::server(code, body.value(QStringLiteral("error_description")).toString());
    }
    co_return body;
}

OAuthUser OAuthLoopbackClient::acceptTokens(const QJsonObject& answer)
{
    OAuthUser user;
    user.accessToken = answer.value(QStringLiteral("access_token")).toString();
    if (user.accessToken.isEmpty())
        throw OAuthError::invalidResponse();
    const QString idToken = answer.value(QStringLiteral("id_token")).toString();
    if (!idToken.isEmpty())
        user.idToken = idToken;
    const QString refreshToken = answer.value(QStringLiteral("refresh_token")).toString();
    if (!refreshToken.isEmpty())
        storeRefreshToken(refreshToken);
    m_currentUser = user;
    return user;
}

QCoro::Task<OAuthUser> OAuthLoopbackClient::restorePreviousSignIn()
{
    const auto refreshToken = storedRefreshToken();
    if (!m_configuration || !refreshToken)
        throw OAuthError::noPreviousSignIn();
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    form.addQueryItem(QStringLiteral("refresh_token"), *refreshToken);
    form.addQueryItem(QStringLiteral("client_id"), m_configuration->clientID);
    if (m_configuration->clientSecret)
        form.addQueryItem(QStringLiteral("client_secret"), *m_configuration->clientSecret);
    if (m_configuration->serverClientID)
        form.addQueryItem(QStringLiteral("audience"), *m_configuration->serverClientID);
    QPointer<OAuthLoopbackClient> self(this);
    std::optional<QJsonObject> tokens;
    try {
        tokens = co_await postForm(m_endpoints.token, form);
    } catch (const OAuthError& e) {
        // The grant was revoked or has lapsed: nothing is left to restore.
        if (self && e.kind() == OAuthError::Case::server && e.code() == u"invalid_grant") {
            removeRefreshToken();
            m_currentUser.reset();
        }
        throw;
    }
    if (!self)
        throw Cancelled();
    co_return acceptTokens(*tokens);
}

QCoro::Task<void> OAuthLoopbackClient::disconnect()
{
    std::optional<QString> token = storedRefreshToken();
    if (!token && m_currentUser)
        token = m_currentUser->accessToken;
    if (!token)
        co_return;
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("token"), *token);
    co_await postForm(m_endpoints.revocation, form);
}

void OAuthLoopbackClient::signOut()
{
    m_currentUser.reset();
    removeRefreshToken();
}

bool OAuthLoopbackClient::hasPreviousSignIn()
{
    return m_configuration && storedRefreshToken().has_value();
}

// ---- the refresh token in the keychain: {"clientID": ..., "refreshToken": ...}

std::optional<QString> OAuthLoopbackClient::storedRefreshToken()
{
    if (!m_didLoad) {
        m_didLoad = true;
        const auto read = readWithFallback(*m_keychain, m_keychainService, keychainAccount, [](const QByteArray& data) {
            return QJsonDocument::fromJson(data).isObject();
        });
        if (read)
            m_stored = QJsonDocument::fromJson(*read).object();
    }
    if (!m_stored || !m_configuration
        || m_stored->value(QStringLiteral("clientID")).toString() != m_configuration->clientID)
        return std::nullopt;
    const QString token = m_stored->value(QStringLiteral("refreshToken")).toString();
    if (token.isEmpty())
        return std::nullopt;
    return token;
}

void OAuthLoopbackClient::storeRefreshToken(const QString& token)
{
    if (!m_configuration)
        return;
    m_stored = QJsonObject{{QStringLiteral("clientID"), m_configuration->clientID},
                           {QStringLiteral("refreshToken"), token}};
    m_didLoad = true;
    const QByteArray data = QJsonDocument(*m_stored).toJson(QJsonDocument::Compact);
    const KeychainSave saved = saveWithFallback(*m_keychain, m_keychainService, keychainAccount, data);
    if (!saved.kept)
        qCWarning(lcOAuth, "Keychain save failed with status %d", saved.status);
}

void OAuthLoopbackClient::removeRefreshToken()
{
    m_stored.reset();
    m_didLoad = true;
    removeWithFallback(*m_keychain, m_keychainService, keychainAccount);
}

} // namespace hf
