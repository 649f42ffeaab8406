#pragma once

#include "backend/account_records.h"
#include "backend/api_error.h"
#include "backend/job_records.h"
#include "backend/session_token_store.h"
#include "platform/json.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace hf {

template<class T>
class SharedResult;

// An HTTP answer as the request core returns it: the body and the response (status, headers).
struct APIResponse {
    QByteArray body;
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers;

    // A header's value, looked up case-insensitively; none when absent.
    std::optional<QByteArray> header(QByteArrayView name) const;
    // The session token in the "set-auth-token" header: trimmed of spaces and tabs (not
    // newlines); none when absent or blank.
    std::optional<QString> renewedToken() const;
};

// The application's one client of its HTTP JSON backend. Every call goes through one request core
// that attaches the session token, keeps the stored token current from the "set-auth-token"
// header, repairs a lapsed session once through a shared silent re-authentication, and turns every
// failure into an APIError (or hf::Cancelled when the caller's own token stops it).
// Main thread only.
class APIClient : public QObject {
    Q_OBJECT

public:
    // `session` is the network session of every backend request (see makeEphemeralNetworkSession);
    // neither it nor `tokenStore` is owned.
    APIClient(QUrl baseURL, QNetworkAccessManager* session, SessionTokenStore* tokenStore,
              QObject* parent = nullptr);
    ~APIClient() override;

    const QUrl& baseURL() const { return m_baseURL; }
    SessionTokenStore& tokenStore() const { return *m_tokenStore; }

    // The request core. `path` begins with "/" and is appended to the base URL; callers
    // percent-encode any segment that comes from data.
    QCoro::Task<APIResponse> send(QString method, QString path, std::optional<QByteArray> body,
                                  bool authenticated, bool allowReauth, bool attachTokenIfPresent,
                                  std::stop_token stop = {});

    // Generic send-and-decode of an authenticated call: the answer body decoded as `T`.
    template<class T>
    QCoro::Task<T> send(QString method, QString path, std::optional<QByteArray> body = std::nullopt,
                        std::stop_token stop = {});

    // The shared silent re-authentication: at most one runs at a time and every caller waits for
    // the same one. Returns whether a session was started (the starter also requires a stored
    // token afterwards); throws what the re-authenticator throws.
    QCoro::Task<bool> reauthenticate(std::stop_token stop = {});

    // Starts a new session without user interaction and says whether it did. Installed by the
    // account state; it holds the account state weakly.
    std::function<QCoro::Task<bool>()> silentReauthenticator;
    // Told that the session was lost for good. Installed by the account state.
    std::function<void()> onSessionInvalidated;

    // ---- Backend operations ----
    // Session endpoints live under "/api/auth", the application's under "/v1". Job ids are
    // percent-encoded into their paths, and only safe identifiers are accepted.

    // The stored session, or none: no token (nothing is sent), a rejected session, or an answer
    // that does not decode.
    QCoro::Task<std::optional<AuthSession>> getSession(std::stop_token stop = {});
    // A new anonymous account; HTTP 429 becomes APIError::accountLimitReached.
    QCoro::Task<std::optional<APIUser>> signInAnonymously(std::stop_token stop = {});
    // Sign-in with a provider's identity token; a stored anonymous token rides along.
    QCoro::Task<std::optional<APIUser>> signInSocial(SocialSignInRequest request, std::stop_token stop = {});
    // Ends the session on the server when there is one, and always clears the stored token.
    // Never throws (but for the caller's own cancellation).
    QCoro::Task<void> signOut(std::stop_token stop = {});
    QCoro::Task<AccountUsage> account(std::stop_token stop = {});
    QCoro::Task<void> deleteAccount(std::stop_token stop = {});

    QCoro::Task<CreateJobResponse> createJob(CreateJobRequest request, std::stop_token stop = {});
    QCoro::Task<CloudJob> startJob(QString id, std::stop_token stop = {});
    // `session`: sent with that session token in place of the stored one (the session of the
    // account that owns the job, since replaced), which its refusal leaves alone.
    QCoro::Task<CloudJob> cancelJob(QString id, std::stop_token stop = {}, std::optional<QString> session = {});
    QCoro::Task<CloudJob> startClaimCheck(QString id, std::stop_token stop = {});
    QCoro::Task<CloudJob> job(QString id, std::stop_token stop = {});
    QCoro::Task<CloudJob> promoteJob(QString id, PromoteJobRequest request, std::stop_token stop = {});

    // The web sign-in's code exchange: the page to open, then the redeem that stores the token.
    QCoro::Task<QUrl> startHandoff(AuthProvider provider, QString codeChallenge, std::stop_token stop = {});
    QCoro::Task<std::optional<APIUser>> redeemHandoff(QString code, QString codeVerifier, std::stop_token stop = {});

    // Decodes the body of a 2xx answer as the generic call does, logging every failure: a body
    // that is not well-formed JSON (empty, cut, a key named twice) is the server's fault
    // (APIError::brokenAnswer); well-formed JSON that does not fit `T` is APIError::decoding.
    template<class T>
    static T decodeAnswer(const QByteArray& body, const QString& path, int status = 200);

    // The inactivity limit of one request (60 seconds by default).
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }
    // The overall deadline of one request, however steadily its answer trickles in (2 minutes by
    // default); past it the request fails as a network failure.
    void setRequestDeadline(std::chrono::milliseconds deadline) { m_requestDeadline = deadline; }
    // The largest answer body read (8 MiB by default); a larger one is refused as an invalid
    // response without being read further.
    void setMaxAnswerBytes(qint64 bytes) { m_maxAnswerBytes = bytes; }
    static constexpr qint64 defaultMaxAnswerBytes = 8 * 1024 * 1024;

private:
    QCoro::Task<APIResponse> attempt(QString method, QString path, std::optional<QByteArray> body,
                                     bool authenticated, bool allowReauth, bool attachTokenIfPresent,
                                     std::stop_token stop, bool isRetry, std::optional<QString> asSession = {});
    static void logDecodingFailure(const QString& path, const QString& description);
    // Stores the session token of a sign-in answer and returns its user.
    std::optional<APIUser> acceptSignInAnswer(const APIResponse& response);
    static QString jobPath(const QString& id, const char* action = nullptr);

    QUrl m_baseURL;
    QNetworkAccessManager* m_session;
    SessionTokenStore* m_tokenStore;
    std::shared_ptr<SharedResult<bool>> m_reauth;
    std::chrono::milliseconds m_requestTimeout{std::chrono::seconds(60)};
    std::chrono::milliseconds m_requestDeadline{std::chrono::minutes(2)};
    qint64 m_maxAnswerBytes = defaultMaxAnswerBytes;
};

template<class T>
T APIClient::decodeAnswer(const QByteArray& body, const QString& path, int status)
{
    QJsonValue document;
    try {
        document = json::parseDocument(body);
    } catch (const DecodingError& e) {
        logDecodingFailure(path, e.localizedDescription());
        throw APIError::brokenAnswer(status);
    }
    try {
        return json::Coding<T>::decode(document, QString());
    } catch (const DecodingError& e) {
        logDecodingFailure(path, e.localizedDescription());
        throw APIError::decoding(e.localizedDescription());
    }
}

template<class T>
QCoro::Task<T> APIClient::send(QString method, QString path, std::optional<QByteArray> body, std::stop_token stop)
{
    const APIResponse response = co_await send(method, path, std::move(body), true, true, false, std::move(stop));
    co_return decodeAnswer<T>(response.body, path, response.status);
}

} // namespace hf
