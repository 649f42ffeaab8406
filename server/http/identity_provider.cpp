// An OAuth 2.0 identity provider for the desktop's Google sign-in layer: an authorize page
// (authorization code with PKCE, loopback redirect URIs only), a token endpoint (authorization_code
// and refresh_token grants) and revocation. ID tokens are JWTs signed with HS256 under a secret kept
// in the data folder; the social sign-in accepts them.

#include "http/pages.h"
#include "http/service.h"
#include "http/util.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>

namespace hf::server {

namespace {

constexpr double kCodeLifetime = 300;
constexpr double kAccessLifetime = 3600;
constexpr double kIdTokenLifetime = 3600;
const std::string kIssuer = "hushframe-server";

// Only loopback http redirect URIs, as a desktop client uses.
bool isLoopbackRedirect(const std::string& uri)
{
    const std::string scheme = "http://";
    if (uri.size() > 2048 || uri.rfind(scheme, 0) != 0)
        return false;
    std::string rest = uri.substr(scheme.size());
    std::string host = rest.substr(0, rest.find_first_of("/?#"));
    std::string name = host;
    if (!host.empty() && host.front() == '[')
        name = host.substr(0, host.find(']') + 1);
    else
        name = host.substr(0, host.find(':'));
    if (name != "127.0.0.1" && name != "localhost" && name != "[::1]")
        return false;
    std::string port = host.substr(name.size());
    if (!port.empty()) {
        if (port.front() != ':' || port.size() < 2)
            return false;
        for (size_t i = 1; i < port.size(); ++i)
            if (!std::isdigit(static_cast<unsigned char>(port[i])))
                return false;
    }
    return true;
}

std::string withQuery(const std::string& uri, const std::vector<std::pair<std::string, std::string>>& items)
{
    std::string out = uri;
    char joiner = uri.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [key, value] : items) {
        out += joiner + key + "=" + urlEncode(value);
        joiner = '&';
    }
    return out;
}

void oauthError(httplib::Response& res, int status, const std::string& error, const std::string& description)
{
    res.set_header("Cache-Control", "no-store");
    sendJson(res, status, QJsonObject{{"error", toQ(error)}, {"error_description", toQ(description)}});
}

struct AuthorizeRequest {
    std::string clientId, redirectUri, responseType, state, challenge, method, scope, nonce;

    static AuthorizeRequest from(const httplib::Request& req)
    {
        auto p = [&](const char* name) { return req.get_param_value(name); };
        return {p("client_id"), p("redirect_uri"), p("response_type"), p("state"),
                p("code_challenge"), p("code_challenge_method"), p("scope"), p("nonce")};
    }
};

} // namespace

std::string Service::issueIdToken(const Identity& identity, const std::string& audience, const std::string& nonce)
{
    double now = nowSeconds();
    QJsonObject header{{"alg", "HS256"}, {"typ", "JWT"}, {"kid", "hushframe-local"}};
    QJsonObject claims{{"iss", toQ(kIssuer)},
                       {"aud", toQ(audience)},
                       {"sub", toQ(identity.subject)},
                       {"email", toQ(identity.email)},
                       {"email_verified", true},
                       {"iat", qint64(now)},
                       {"exp", qint64(now + kIdTokenLifetime)}};
    if (!identity.name.empty())
        claims["name"] = toQ(identity.name);
    if (!nonce.empty())
        claims["nonce"] = toQ(nonce);
    std::string signingInput = base64Url(bodyOf(header)) + "." + base64Url(bodyOf(claims));
    auto mac = QMessageAuthenticationCode::hash(QByteArray::fromStdString(signingInput),
                                                QByteArray::fromStdString(m_secret), QCryptographicHash::Sha256);
    return signingInput + "." + base64Url(std::string_view(mac.constData(), size_t(mac.size())));
}

bool Service::verifyIdToken(const std::string& token, Identity& identity, std::string& nonce)
{
    if (token.size() > 8192)
        return false;
    auto firstDot = token.find('.');
    auto lastDot = token.rfind('.');
    if (firstDot == std::string::npos || lastDot == firstDot)
        return false;
    std::string signingInput = token.substr(0, lastDot);
    auto mac = QMessageAuthenticationCode::hash(QByteArray::fromStdString(signingInput),
                                                QByteArray::fromStdString(m_secret), QCryptographicHash::Sha256);
    if (!constantTimeEqual(base64Url(std::string_view(mac.constData(), size_t(mac.size()))),
                           token.substr(lastDot + 1)))
        return false;
    auto payload = QByteArray::fromBase64(QByteArray::fromStdString(token.substr(firstDot + 1, lastDot - firstDot - 1)),
                                          QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    auto document = QJsonDocument::fromJson(payload);
    if (!document.isObject())
        return false;
    QJsonObject claims = document.object();
    if (claims.value("iss").toString() != toQ(kIssuer) || claims.value("exp").toDouble() <= nowSeconds()
        || claims.value("sub").toString().isEmpty())
        return false;
    identity.subject = toStd(claims.value("sub").toString());
    identity.email = toStd(claims.value("email").toString());
    identity.name = toStd(claims.value("name").toString());
    nonce = toStd(claims.value("nonce").toString());
    return true;
}

void Service::addIdentityRoutes()
{
    // Checks an authorize request; answers an error page (bad client or redirect URI, never
    // redirected to) or an error redirect, and returns false, when it cannot go on.
    auto checkAuthorize = [](const AuthorizeRequest& a, httplib::Response& res) {
        if (a.clientId.empty() || a.clientId.size() > 256 || !isLoopbackRedirect(a.redirectUri)) {
            res.status = 400;
            res.set_content(messagePage("Sign-in error", "The sign-in request names no valid client or redirect URI."),
                            "text/html; charset=utf-8");
            return false;
        }
        auto fail = [&](const std::string& error) {
            res.status = 302;
            res.set_header("Location", withQuery(a.redirectUri, {{"error", error}, {"state", a.state}}));
            return false;
        };
        if (a.responseType != "code")
            return fail("unsupported_response_type");
        // PKCE with S256 is required: a code is only ever redeemed with its verifier.
        if (a.method != "S256" || a.challenge.size() != 43)
            return fail("invalid_request");
        return true;
    };

    auto approve = [this](const AuthorizeRequest& a, const std::string& email, const std::string& name,
                          httplib::Response& res) {
        std::string code = randomToken(32);
        std::string normalized = asciiLower(email);
        m_db->exec("INSERT INTO oauth_codes(code_hash, client_id, redirect_uri, challenge, nonce, scope, subject, email,"
                   " name, expires_at) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   {sha256Hex(code), a.clientId, a.redirectUri, a.challenge, a.nonce, a.scope,
                    "sub_" + sha256Hex(normalized).substr(0, 24), normalized, name, nowSeconds() + kCodeLifetime});
        std::vector<std::pair<std::string, std::string>> items{{"code", code}};
        if (!a.state.empty())
            items.emplace_back("state", a.state);
        if (!a.scope.empty())
            items.emplace_back("scope", a.scope);
        res.status = 302;
        res.set_header("Location", withQuery(a.redirectUri, items));
    };

    m_http.Get("/oauth/authorize", [this, checkAuthorize, approve](const httplib::Request& req, httplib::Response& res) {
        auto a = AuthorizeRequest::from(req);
        if (!checkAuthorize(a, res))
            return;
        if (m_options.testControls) {
            approve(a, req.has_param("login_hint") ? req.get_param_value("login_hint") : "tester@example.com",
                    "Test User", res);
            return;
        }
        std::vector<HiddenField> hidden{{"client_id", a.clientId},       {"redirect_uri", a.redirectUri},
                                        {"response_type", a.responseType}, {"state", a.state},
                                        {"code_challenge", a.challenge},  {"code_challenge_method", a.method},
                                        {"scope", a.scope},              {"nonce", a.nonce}};
        res.set_header("Cache-Control", "no-store");
        res.set_content(signInPage("Sign in with Google", "/oauth/authorize", hidden, ""), "text/html; charset=utf-8");
    });

    m_http.Post("/oauth/authorize", [checkAuthorize, approve](const httplib::Request& req, httplib::Response& res) {
        auto a = AuthorizeRequest::from(req);
        if (!checkAuthorize(a, res))
            return;
        if (req.get_param_value("action") != "approve") {
            res.status = 302;
            res.set_header("Location", withQuery(a.redirectUri, {{"error", "access_denied"}, {"state", a.state}}));
            return;
        }
        std::string email = req.get_param_value("email");
        if (email.find('@') == std::string::npos || email.size() > 254) {
            res.status = 400;
            res.set_content(messagePage("Sign-in error", "Enter your e-mail address."), "text/html; charset=utf-8");
            return;
        }
        approve(a, email, req.get_param_value("name").substr(0, 200), res);
    });

    m_http.Post("/oauth/token", [this](const httplib::Request& req, httplib::Response& res) {
        std::string clientId = req.get_param_value("client_id");
        std::string basic = req.get_header_value("Authorization");
        if (clientId.empty() && basic.rfind("Basic ", 0) == 0) {
            auto decoded = QByteArray::fromBase64(QByteArray::fromStdString(basic.substr(6))).toStdString();
            clientId = httplib::detail::decode_url(decoded.substr(0, decoded.find(':')), false);
        }
        if (clientId.empty()) {
            oauthError(res, 401, "invalid_client", "The client is not identified.");
            return;
        }
        std::string grantType = req.get_param_value("grant_type");
        Identity identity;
        std::string grantId, scope, nonce;
        std::string refreshToken;

        if (grantType == "authorization_code") {
            std::string code = req.get_param_value("code");
            auto row = m_db->queryOne("SELECT client_id, redirect_uri, challenge, nonce, scope, subject, email, name,"
                                      " expires_at, used FROM oauth_codes WHERE code_hash = ?",
                                      {sha256Hex(code)});
            if (!row || dbInt((*row)[9]) || dbNumber((*row)[8]) <= nowSeconds()) {
                oauthError(res, 400, "invalid_grant", "The authorization code is not valid, used or expired.");
                return;
            }
            const auto& r = *row;
            if (dbText(r[0]) != clientId || dbText(r[1]) != req.get_param_value("redirect_uri")) {
                oauthError(res, 400, "invalid_grant", "The code was issued to another client or redirect URI.");
                return;
            }
            const std::string verifier = req.get_param_value("code_verifier");
            if (dbText(r[2]).size() != 43 || verifier.size() < 43 || verifier.size() > 128
                || !constantTimeEqual(sha256Base64Url(verifier), dbText(r[2]))) {
                oauthError(res, 400, "invalid_grant", "The code verifier does not match.");
                return;
            }
            if (m_db->exec("UPDATE oauth_codes SET used = 1 WHERE code_hash = ? AND used = 0", {sha256Hex(code)}) == 0) {
                oauthError(res, 400, "invalid_grant", "The authorization code was already used.");
                return;
            }
            identity = {"google", dbText(r[5]), dbText(r[6]), dbText(r[7])};
            nonce = dbText(r[3]);
            scope = dbText(r[4]);
            grantId = randomToken(12);
            refreshToken = randomToken(32);
            m_db->exec("INSERT INTO oauth_tokens(token_hash, kind, grant_id, client_id, subject, email, name, scope)"
                       " VALUES(?, 'refresh', ?, ?, ?, ?, ?, ?)",
                       {sha256Hex(refreshToken), grantId, clientId, identity.subject, identity.email, identity.name,
                        scope});
        } else if (grantType == "refresh_token") {
            auto row = m_db->queryOne("SELECT grant_id, client_id, subject, email, name, scope FROM oauth_tokens"
                                      " WHERE token_hash = ? AND kind = 'refresh' AND revoked = 0",
                                      {sha256Hex(req.get_param_value("refresh_token"))});
            if (!row || dbText((*row)[1]) != clientId) {
                oauthError(res, 400, "invalid_grant", "The refresh token is not valid.");
                return;
            }
            grantId = dbText((*row)[0]);
            identity = {"google", dbText((*row)[2]), dbText((*row)[3]), dbText((*row)[4])};
            scope = dbText((*row)[5]);
        } else {
            oauthError(res, 400, "unsupported_grant_type", "Use authorization_code or refresh_token.");
            return;
        }

        std::string accessToken = randomToken(32);
        m_db->exec("INSERT INTO oauth_tokens(token_hash, kind, grant_id, client_id, subject, email, name, scope,"
                   " expires_at) VALUES(?, 'access', ?, ?, ?, ?, ?, ?, ?)",
                   {sha256Hex(accessToken), grantId, clientId, identity.subject, identity.email, identity.name, scope,
                    nowSeconds() + kAccessLifetime});
        QJsonObject answer{{"access_token", toQ(accessToken)},
                           {"token_type", "Bearer"},
                           {"expires_in", int(kAccessLifetime)},
                           {"id_token", toQ(issueIdToken(identity, clientId, nonce))}};
        if (!scope.empty())
            answer["scope"] = toQ(scope);
        if (!refreshToken.empty())
            answer["refresh_token"] = toQ(refreshToken);
        res.set_header("Cache-Control", "no-store");
        sendJson(res, 200, answer);
    });

    m_http.Post("/oauth/revoke", [this](const httplib::Request& req, httplib::Response& res) {
        auto row = m_db->queryOne("SELECT kind, grant_id FROM oauth_tokens WHERE token_hash = ?",
                                  {sha256Hex(req.get_param_value("token"))});
        if (!row) {
            oauthError(res, 400, "invalid_token", "The token is not known.");
            return;
        }
        if (dbText((*row)[0]) == "refresh")
            m_db->exec("UPDATE oauth_tokens SET revoked = 1 WHERE grant_id = ?", {dbText((*row)[1])});
        else
            m_db->exec("UPDATE oauth_tokens SET revoked = 1 WHERE token_hash = ?",
                       {sha256Hex(req.get_param_value("token"))});
        sendJson(res, 200, QJsonObject{});
    });
}

} // namespace hf::server
