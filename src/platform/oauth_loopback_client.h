#pragma once

// An OAuth 2.0 client for a desktop application: the authorization-code grant with a proof key
// (PKCE, S256) in the user's browser, the redirect received on a loopback port, the code exchanged
// at the token endpoint, a refresh token kept in the keychain for a silent sign-in at the next
// launch, and revocation on disconnect.

#include "platform/async.h"
#include "platform/errors.h"
#include "platform/keychain.h"
#include "platform/url_opener.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QTcpServer;
class QTcpSocket;

namespace hf {

struct OAuthEndpoints {
    QUrl authorization;
    QUrl token;
    QUrl revocation;
};

// The tokens of the signed-in user, as the token endpoint last issued them.
struct OAuthUser {
    std::optional<QString> idToken;
    QString accessToken;
    bool operator==(const OAuthUser&) const = default;
};

class OAuthError : public Error {
public:
    enum class Case {
        canceled,         // the user declined, or the wait for the browser was closed
        notStarted,       // no browser could be opened, or no loopback port or secret could be had
        noPreviousSignIn, // nothing to restore
        server,           // the provider refused: `code` is OAuth's error code
        network,
        invalidResponse,
    };

    static OAuthError canceled() { return OAuthError(Case::canceled); }
    static OAuthError notStarted() { return OAuthError(Case::notStarted); }
    static OAuthError noPreviousSignIn() { return OAuthError(Case::noPreviousSignIn); }
    static OAuthError server(QString code, QString description);
    static OAuthError network(QString description);
    static OAuthError invalidResponse() { return OAuthError(Case::invalidResponse); }

    Case kind() const { return m_case; }
    const QString& code() const { return m_code; }
    const QString& description() const { return m_description; }
    QString localizedDescription() const override;

private:
    explicit OAuthError(Case c) : m_case(c) {}
    Case m_case;
    QString m_code;
    QString m_description;
};

class OAuthLoopbackClient : public QObject {
    Q_OBJECT

public:
    struct Configuration {
        QString clientID;
        // When set, ID tokens are asked for this audience (the backend's client).
        std::optional<QString> serverClientID;
        // An installed application's client secret, sent to the token endpoint when set.
        std::optional<QString> clientSecret;
    };

    // The refresh token is kept in the keychain item (`keychainService`, "refresh-token").
    // `network` may be null: the client then makes its own.
    OAuthLoopbackClient(OAuthEndpoints endpoints, std::shared_ptr<KeychainBackend> keychain,
                        QString keychainService, URLOpener opener, QNetworkAccessManager* network = nullptr,
                        QObject* parent = nullptr);
    ~OAuthLoopbackClient() override;

    void setConfiguration(std::optional<Configuration> configuration);
    const std::optional<Configuration>& configuration() const { return m_configuration; }
    const OAuthEndpoints& endpoints() const { return m_endpoints; }

    // A refresh token for the configured client is stored.
    bool hasPreviousSignIn();
    const std::optional<OAuthUser>& currentUser() const { return m_currentUser; }

    // Opens the authorization page in the browser and waits for its redirect to the loopback
    // port. A newer sign-in, or cancelSignIn(), ends a pending one with `canceled`.
    QCoro::Task<OAuthUser> signIn();
    void cancelSignIn();
    bool isSigningIn() const;

    // Fresh tokens from the stored refresh token, without user interaction. A refresh token the
    // provider no longer accepts is forgotten.
    QCoro::Task<OAuthUser> restorePreviousSignIn();

    // Revokes the grant at the provider. Throws when the provider could not be told.
    QCoro::Task<void> disconnect();

    // Forgets the user here: the current tokens and the stored refresh token.
    void signOut();

private:
    struct Redirect {
        std::optional<QString> code;
        std::optional<QString> error;
    };
    struct Pending;

    QCoro::Task<QJsonObject> postForm(QUrl url, QUrlQuery form);
    OAuthUser acceptTokens(const QJsonObject& answer);
    void handleConnection(QTcpSocket* socket, std::weak_ptr<Pending> pending);

    std::optional<QString> storedRefreshToken();
    void storeRefreshToken(const QString& token);
    void removeRefreshToken();

    OAuthEndpoints m_endpoints;
    std::shared_ptr<KeychainBackend> m_keychain;
    QString m_keychainService;
    URLOpener m_opener;
    QPointer<QNetworkAccessManager> m_network;
    std::optional<Configuration> m_configuration;
    std::optional<OAuthUser> m_currentUser;
    std::shared_ptr<Pending> m_pending;
    bool m_didLoad = false;
    std::optional<QJsonObject> m_stored;
};

} // namespace hf
