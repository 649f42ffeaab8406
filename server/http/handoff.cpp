// The web sign-in handoff: the app starts a handoff with the S256 challenge of a secret verifier,
// the user signs in on this server's page, the page sends the browser back to the app's URL scheme
// with a one-time code, and the app redeems the code with the verifier for a session.

#include "http/pages.h"
#include "http/service.h"
#include "http/util.h"

namespace hf::server {

namespace {

constexpr double kHandoffLifetime = 600;
constexpr double kCodeLifetime = 300;
const std::string kCallback = "hushframe-direct://auth/callback";

bool isChallenge(const std::string& s)
{
    if (s.size() != 43)
        return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'))
            return false;
    return true;
}

bool isVerifier(const std::string& s)
{
    if (s.size() < 43 || s.size() > 128)
        return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '~'))
            return false;
    return true;
}

void redirectToApp(httplib::Response& res, const std::string& query)
{
    res.status = 302;
    res.set_header("Location", kCallback + "?" + query);
    res.set_header("Cache-Control", "no-store");
}

} // namespace

void Service::addHandoffRoutes()
{
    m_http.Post("/v1/auth/handoff", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = parseObject(req, res);
        if (!body)
            return;
        QString provider = body->value("provider").toString();
        std::string challenge = toStd(body->value("codeChallenge").toString());
        if (provider != "apple" && provider != "google") {
            sendError(res, 400, "invalid_request", "\"provider\" must be \"apple\" or \"google\".");
            return;
        }
        if (!isChallenge(challenge)) {
            sendError(res, 400, "invalid_request", "\"codeChallenge\" must be an S256 code challenge.");
            return;
        }
        std::string id = randomToken(24);
        std::string anonymous = anonymousAccountOf(bearerToken(req));
        m_db->exec("INSERT INTO handoffs(id, provider, challenge, anonymous_account, expires_at, state)"
                   " VALUES(?, ?, ?, ?, ?, 'pending')",
                   {id, toStd(provider), challenge, anonymous.empty() ? DbValue{} : DbValue{anonymous},
                    nowSeconds() + kHandoffLifetime});
        sendJson(res, 200, QJsonObject{{"url", toQ(baseUrlOf(req, baseUrl()) + "/auth/handoff/" + id)}});
    });

    // Approves a pending handoff for the e-mail given and sends the browser back with a code.
    auto approve = [this](const std::string& id, std::string email, const std::string& name,
                          httplib::Response& res) {
        std::string code = randomToken(32);
        email = asciiLower(std::move(email));
        int changed = m_db->exec("UPDATE handoffs SET state = 'approved', code_hash = ?, code_expires_at = ?,"
                                 " email = ?, name = ? WHERE id = ? AND state = 'pending' AND expires_at > ?",
                                 {sha256Hex(code), nowSeconds() + kCodeLifetime, email, name, id, nowSeconds()});
        if (changed == 0)
            redirectToApp(res, "error=already_used");
        else
            redirectToApp(res, "code=" + urlEncode(code));
    };

    // The page, or (when the handoff cannot go on) straight back to the app with the reason.
    auto pendingHandoff = [this](const std::string& id, httplib::Response& res) -> bool {
        auto row = isValidId(id) ? m_db->queryOne("SELECT state, expires_at FROM handoffs WHERE id = ?", {id})
                                 : std::nullopt;
        if (!row) {
            res.status = 404;
            res.set_content(messagePage("Sign-in", "This sign-in link is not valid."), "text/html; charset=utf-8");
            return false;
        }
        if (dbText((*row)[0]) != "pending") {
            redirectToApp(res, dbText((*row)[0]) == "denied" ? "error=access_denied" : "error=already_used");
            return false;
        }
        if (dbNumber((*row)[1]) <= nowSeconds()) {
            redirectToApp(res, "error=expired");
            return false;
        }
        return true;
    };

    m_http.Get(R"(/auth/handoff/([^/]+))", [this, approve, pendingHandoff](const httplib::Request& req,
                                                                            httplib::Response& res) {
        std::string id = req.matches[1];
        if (!pendingHandoff(id, res))
            return;
        if (m_options.testControls) {
            std::string hint = req.has_param("login_hint") ? req.get_param_value("login_hint") : "tester@example.com";
            approve(id, hint, "Test User", res);
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(signInPage("Sign in to Hushframe", "/auth/handoff/" + id, {}, ""), "text/html; charset=utf-8");
    });

    m_http.Post(R"(/auth/handoff/([^/]+))", [this, approve, pendingHandoff](const httplib::Request& req,
                                                                             httplib::Response& res) {
        std::string id = req.matches[1];
        if (!pendingHandoff(id, res))
            return;
        if (req.get_param_value("action") != "approve") {
            m_db->exec("UPDATE handoffs SET state = 'denied' WHERE id = ? AND state = 'pending'", {id});
            redirectToApp(res, "error=access_denied");
            return;
        }
        std::string email = req.get_param_value("email");
        if (email.find('@') == std::string::npos || email.size() > 254) {
            res.status = 400;
            res.set_content(signInPage("Sign in to Hushframe", "/auth/handoff/" + id, {}, "Enter your e-mail address."),
                            "text/html; charset=utf-8");
            return;
        }
        approve(id, email, req.get_param_value("name").substr(0, 200), res);
    });

    m_http.Post("/v1/auth/handoff/redeem", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = parseObject(req, res);
        if (!body)
            return;
        std::string code = toStd(body->value("code").toString());
        std::string verifier = toStd(body->value("codeVerifier").toString());
        if (code.empty() || code.size() > 256 || !isVerifier(verifier)) {
            sendError(res, 400, "invalid_request", "Send \"code\" and a \"codeVerifier\" of 43 to 128 characters.");
            return;
        }
        auto row = m_db->queryOne("SELECT id, provider, challenge, anonymous_account, state, code_expires_at, email,"
                                  " name FROM handoffs WHERE code_hash = ?",
                                  {sha256Hex(code)});
        if (!row) {
            sendError(res, 400, "invalid_request", "This sign-in code is not valid.");
            return;
        }
        const auto& r = *row;
        if (dbText(r[4]) != "approved") {
            sendError(res, 400, "invalid_request", "This sign-in code was already used.");
            return;
        }
        if (dbNumber(r[5]) <= nowSeconds()) {
            sendError(res, 400, "invalid_request", "This sign-in code has expired. Please sign in again.");
            return;
        }
        if (!constantTimeEqual(sha256Base64Url(verifier), dbText(r[2]))) {
            sendError(res, 400, "invalid_request", "The code verifier does not match this sign-in.");
            return;
        }
        if (m_db->exec("UPDATE handoffs SET state = 'redeemed' WHERE id = ? AND state = 'approved'", {dbText(r[0])})
            == 0) {
            sendError(res, 400, "invalid_request", "This sign-in code was already used.");
            return;
        }
        Identity identity{dbText(r[1]), "web:" + dbText(r[6]), dbText(r[6]), dbText(r[7])};
        completeSignIn(identity, dbText(r[3]), res);
    });
}

} // namespace hf::server
