#pragma once

#include "backend/api_error.h"
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

    // Decodes an answer body as the generic call does, logging and mapping a failure to
    // APIError::decoding.
    template<class T>
    static T decodeAnswer(const QByteArray& body, const QString& path);

    // The inactivity limit of one request (60 seconds by default).
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

private:
    QCoro::Task<APIResponse> attempt(QString method, QString path, std::optional<QByteArray> body,
                                     bool authenticated, bool allowReauth, bool attachTokenIfPresent,
                                     std::stop_token stop, bool isRetry);
    static void logDecodingFailure(const QString& path, const QString& description);

    QUrl m_baseURL;
    QNetworkAccessManager* m_session;
    SessionTokenStore* m_tokenStore;
    std::shared_ptr<SharedResult<bool>> m_reauth;
    std::chrono::milliseconds m_requestTimeout{std::chrono::seconds(60)};
};

template<class T>
T APIClient::decodeAnswer(const QByteArray& body, const QString& path)
{
    try {
        return json::decodeDocument<T>(body);
    } catch (const DecodingError& e) {
        logDecodingFailure(path, e.localizedDescription());
        throw APIError::decoding(e.localizedDescription());
    }
}

template<class T>
QCoro::Task<T> APIClient::send(QString method, QString path, std::optional<QByteArray> body, std::stop_token stop)
{
    const APIResponse response = co_await send(method, path, std::move(body), true, true, false, std::move(stop));
    co_return decodeAnswer<T>(response.body, path);
}

} // namespace hf
