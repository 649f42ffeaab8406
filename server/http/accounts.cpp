// Accounts and sessions: anonymous and social sign-in, the session check, sign-out, the account
// and its deletion. Session tokens are random; only their SHA-256 digests are stored.

#include "http/service.h"
#include "http/util.h"

#include <QJsonDocument>

namespace hf::server {

std::optional<Session> Service::sessionFor(const std::string& token)
{
    if (token.empty() || token.size() > 512 || m_faults.rejectTokens)
        return std::nullopt;
    auto row = m_db->queryOne(
        "SELECT token_hash, account_id, created_at, expires_at FROM sessions WHERE token_hash = ? AND expires_at > ?",
        {sha256Hex(token), nowSeconds()});
    if (!row)
        return std::nullopt;
    return Session{dbText((*row)[0]), dbText((*row)[1]), dbNumber((*row)[2]), dbNumber((*row)[3])};
}

std::optional<Session> Service::requireSession(const httplib::Request& req, httplib::Response& res)
{
    std::string token = bearerToken(req);
    if (token.empty()) {
        sendError(res, 401, "unauthorized", "Sign in to continue.");
        return std::nullopt;
    }
    auto session = sessionFor(token);
    if (!session) {
        sendError(res, 401, "unauthorized", "The session is not valid.");
        return std::nullopt;
    }
    if (nowSeconds() - session->createdAt >= m_options.sessionRefreshSeconds) {
        requestState().renewFromHash = session->tokenHash;
        requestState().renewAccount = session->accountId;
    }
    return session;
}

std::string Service::createSession(const std::string& accountId)
{
    std::string token = randomToken(32);
    double now = nowSeconds();
    m_db->exec("INSERT INTO sessions(token_hash, account_id, created_at, expires_at) VALUES(?, ?, ?, ?)",
               {sha256Hex(token), accountId, now, now + m_options.sessionTtlSeconds});
    return token;
}

QJsonObject Service::userJson(const std::string& accountId)
{
    auto row = m_db->queryOne("SELECT id, email, name, anonymous FROM accounts WHERE id = ?", {accountId});
    if (!row)
        return {};
    QJsonObject user{{"id", toQ(dbText((*row)[0]))}, {"isAnonymous", dbInt((*row)[3]) != 0}};
    if (!dbText((*row)[1]).empty())
        user["email"] = toQ(dbText((*row)[1]));
    if (!dbText((*row)[2]).empty())
        user["name"] = toQ(dbText((*row)[2]));
    return user;
}

std::string Service::anonymousAccountOf(const std::string& token)
{
    auto session = sessionFor(token);
    if (!session)
        return {};
    auto row = m_db->queryOne("SELECT anonymous FROM accounts WHERE id = ?", {session->accountId});
    return row && dbInt((*row)[0]) ? session->accountId : std::string();
}

void Service::completeSignIn(const Identity& identity, const std::string& anonymousAccountId, httplib::Response& res)
{
    std::string accountId;
    m_db->transaction([&] {
        auto linked = m_db->queryOne("SELECT account_id FROM identities WHERE provider = ? AND subject = ?",
                                     {identity.provider, identity.subject});
        bool anonymousAlive = !anonymousAccountId.empty()
                              && m_db->queryOne("SELECT 1 FROM accounts WHERE id = ? AND anonymous = 1",
                                                {anonymousAccountId});
        if (linked) {
            accountId = dbText((*linked)[0]);
            if (anonymousAlive && anonymousAccountId != accountId) {
                // The anonymous account's work moves over to the account signed in to.
                m_db->exec("UPDATE jobs SET account_id = ? WHERE account_id = ?", {accountId, anonymousAccountId});
                m_db->exec("DELETE FROM accounts WHERE id = ?", {anonymousAccountId});
            }
        } else if (anonymousAlive) {
            accountId = anonymousAccountId; // the anonymous account becomes this identity's account
            m_db->exec("UPDATE accounts SET anonymous = 0, email = ?, name = ? WHERE id = ?",
                       {identity.email, identity.name, accountId});
            m_db->exec("DELETE FROM sessions WHERE account_id = ?", {accountId});
            m_db->exec("INSERT INTO identities(provider, subject, account_id) VALUES(?, ?, ?)",
                       {identity.provider, identity.subject, accountId});
        } else {
            accountId = "usr_" + randomToken(15);
            m_db->exec("INSERT INTO accounts(id, email, name, anonymous, created_at) VALUES(?, ?, ?, 0, ?)",
                       {accountId, identity.email, identity.name, nowSeconds()});
            m_db->exec("INSERT INTO identities(provider, subject, account_id) VALUES(?, ?, ?)",
                       {identity.provider, identity.subject, accountId});
        }
        if (!identity.email.empty())
            m_db->exec("UPDATE accounts SET email = ?, name = COALESCE(NULLIF(?, ''), name) WHERE id = ?",
                       {identity.email, identity.name, accountId});
    });
    std::string token = createSession(accountId);
    res.set_header("set-auth-token", token);
    sendJson(res, 200, QJsonObject{{"token", toQ(token)}, {"user", userJson(accountId)}});
    logLine("Signed in with " + identity.provider);
}

void Service::deleteAccount(const std::string& accountId)
{
    auto jobs = m_db->query("SELECT id FROM jobs WHERE account_id = ?", {accountId});
    m_db->transaction([&] {
        m_db->exec("DELETE FROM jobs WHERE account_id = ?", {accountId});
        m_db->exec("DELETE FROM accounts WHERE id = ?", {accountId});
    });
    for (const auto& row : jobs) {
        stopJob(dbText(row[0]));
        removeJobFiles(dbText(row[0]));
    }
}

void Service::addAccountRoutes()
{
    m_http.Post("/api/auth/sign-in/anonymous", [this](const httplib::Request& req, httplib::Response& res) {
        if (!parseObject(req, res))
            return;
        double now = nowSeconds();
        std::string address = req.remote_addr;
        bool limited = false;
        m_db->transaction([&] {
            m_db->exec("DELETE FROM anonymous_signins WHERE at < ?", {now - m_options.anonymousWindowSeconds});
            auto count = m_db->queryOne("SELECT COUNT(*) FROM anonymous_signins WHERE address = ?", {address});
            if (dbInt((*count)[0]) >= m_options.anonymousLimit) {
                limited = true;
                return;
            }
            m_db->exec("INSERT INTO anonymous_signins(address, at) VALUES(?, ?)", {address, now});
        });
        if (limited) {
            sendError(res, 429, "rate_limited", "Too many new accounts from this network. Try again later.");
            return;
        }
        std::string accountId = "anon_" + randomToken(15);
        m_db->exec("INSERT INTO accounts(id, anonymous, created_at) VALUES(?, 1, ?)", {accountId, now});
        std::string token = createSession(accountId);
        res.set_header("set-auth-token", token);
        sendJson(res, 200, QJsonObject{{"token", toQ(token)}, {"user", userJson(accountId)}});
    });

    m_http.Post("/api/auth/sign-in/social", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = parseObject(req, res);
        if (!body)
            return;
        QString provider = body->value("provider").toString();
        QJsonObject idToken = body->value("idToken").toObject();
        if ((provider != "google" && provider != "apple") || !idToken.value("token").isString()) {
            sendError(res, 400, "invalid_request",
                      "Send \"provider\" (\"google\" or \"apple\") and \"idToken\" with its \"token\".");
            return;
        }
        Identity identity;
        std::string tokenNonce;
        if (!verifyIdToken(toStd(idToken.value("token").toString()), identity, tokenNonce)) {
            sendError(res, 401, "unauthorized", "The identity token is not valid.");
            return;
        }
        if (idToken.contains("nonce") && toStd(idToken.value("nonce").toString()) != tokenNonce) {
            sendError(res, 401, "unauthorized", "The identity token was issued for another nonce.");
            return;
        }
        identity.provider = toStd(provider);
        completeSignIn(identity, anonymousAccountOf(bearerToken(req)), res);
    });

    m_http.Get("/api/auth/get-session", [this](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        sendJson(res, 200,
                 QJsonObject{{"session", QJsonObject{{"expiresAt", toQ(isoDate(session->expiresAt))}}},
                             {"user", userJson(session->accountId)}});
    });

    m_http.Post("/api/auth/sign-out", [this](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        m_db->exec("DELETE FROM sessions WHERE token_hash = ?", {session->tokenHash});
        sendJson(res, 200, QJsonObject{{"success", true}});
    });

    m_http.Get("/v1/me", [this](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        auto counts = m_db->queryOne(
            "SELECT COUNT(*), COALESCE(SUM(CASE WHEN status = 'succeeded' THEN duration END), 0) FROM jobs"
            " WHERE account_id = ?",
            {session->accountId});
        QJsonObject usage{{"jobs", double(dbInt((*counts)[0]))}, {"secondsProcessed", dbNumber((*counts)[1])}};
        sendJson(res, 200, QJsonObject{{"user", userJson(session->accountId)}, {"usage", usage}});
    });

    m_http.Delete("/v1/account", [this](const httplib::Request& req, httplib::Response& res) {
        auto session = requireSession(req, res);
        if (!session)
            return;
        deleteAccount(session->accountId);
        logLine("Deleted an account");
        sendJson(res, 200, QJsonObject{{"deleted", true}});
    });
}

} // namespace hf::server
