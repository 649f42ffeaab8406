#pragma once

// The web sign-in: a code exchange with a proof key (PKCE, S256). The application asks the backend
// for a handoff with the challenge of a secret verifier, opens the page it names in the browser,
// receives a one-time code on its own link scheme ("hushframe-direct://auth/callback?code=..."),
// and redeems the code together with the verifier for a session token.

#include "backend/account_records.h"
#include "platform/async.h"
#include "platform/errors.h"
#include "platform/url_opener.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <memory>
#include <variant>

namespace hf {

class APIClient;
class AccountStore;

struct PKCEPair {
    QString verifier;  // 43 base64url characters: 32 secure random bytes
    QString challenge; // 43 base64url characters: the SHA-256 of the verifier
    bool operator==(const PKCEPair&) const = default;
};

class WebSignInError : public Error {
public:
    enum class Case { failed, unexpectedCallback };

    // `code` is the page's error code, or "not_started".
    static WebSignInError failed(QString code);
    static WebSignInError unexpectedCallback() { return WebSignInError(Case::unexpectedCallback, {}); }

    Case kind() const { return m_case; }
    const QString& code() const { return m_code; }
    QString localizedDescription() const override;
    bool operator==(const WebSignInError& other) const { return m_case == other.m_case && m_code == other.m_code; }

private:
    WebSignInError(Case c, QString code) : m_case(c), m_code(std::move(code)) {}
    Case m_case;
    QString m_code;
};

// Shows a sign-in page and gives back the link the page finished on.
class WebAuthenticating {
public:
    virtual ~WebAuthenticating() = default;
    virtual QCoro::Task<QUrl> authenticate(QUrl url) = 0;
};

// Opens the page in the user's browser and waits for the page's link back to the application,
// which reaches it as an incoming link (see deliverCallback). A new authenticator is made for each
// sign-in. Main thread only.
class BrowserSheetAuthenticator : public QObject, public WebAuthenticating {
    Q_OBJECT

public:
    static inline const QString callbackScheme = QStringLiteral("hushframe-direct");

    explicit BrowserSheetAuthenticator(URLOpener opener = systemURLOpener(), QObject* parent = nullptr);
    ~BrowserSheetAuthenticator() override;

    // Fails with WebSignInError failed("not_started") when the browser could not be opened, and
    // with hf::Cancelled when the wait is closed (cancel) or the authenticator goes away.
    QCoro::Task<QUrl> authenticate(QUrl url) override;
    // Ends the wait silently: the user closed it.
    void cancel();
    bool isWaiting() const;

    // Hands an incoming link to the sign-in that waits for it (the latest one started); returns
    // false, dropping the link, when no sign-in waits or the link is not of the callback scheme.
    static bool deliverCallback(const QUrl& url);

private:
    URLOpener m_opener;
    // The running wait: resolved with the link back, or failed when closed.
    std::shared_ptr<SharedResult<QUrl>> m_session;
};

namespace WebSignIn {

// Fails with WebSignInError failed("not_started") when the secure random source fails.
PKCEPair makePKCE();

// Redeems the code with the verifier; the client stores the session token.
QCoro::Task<void> redeem(QString code, QString codeVerifier, APIClient* api);

// The code of a callback link, or the error it reports: scheme "hushframe-direct", host "auth",
// path "/callback", and a non-empty first "code" item, else a non-empty first "error" item.
std::variant<QString, WebSignInError> parseCallback(const QUrl& url);

// The whole sequence, ending in the account state: signed in, an error text in errorMessage, or
// nothing when the user gave up. Never fails.
QCoro::Task<void> signIn(AuthProvider provider, APIClient* api, WebAuthenticating* authenticator,
                         AccountStore* account);

} // namespace WebSignIn

} // namespace hf
