#pragma once

// The application's thin layer over its Google sign-in client: configured from the build's Google
// client identifiers, it runs the interactive sign-in in the user's browser, restores a previous
// sign-in silently, and revokes and forgets the Google sign-in when the account is deleted. It
// hands back the ID token and the access token; the account state does the rest.

#include "platform/errors.h"
#include "platform/oauth_loopback_client.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace hf {

struct GoogleCredential {
    QString idToken;
    QString accessToken;
    bool operator==(const GoogleCredential&) const = default;
};

class GoogleSignInError : public Error {
public:
    enum class Case { notConfigured, noPresentingWindow, missingIDToken };

    explicit GoogleSignInError(Case c) : m_case(c) {}
    Case kind() const { return m_case; }
    QString localizedDescription() const override;

private:
    Case m_case;
};

// Main thread only. The Google session between launches is held by the shared sign-in client
// (its refresh token in the keychain); this class keeps no state of its own.
class GoogleSignInService {
public:
    GoogleSignInService() = delete;

    // The shared sign-in client. Made on first use with the build's Google endpoints, the desktop
    // keychain and the system browser, owned by the application object.
    static OAuthLoopbackClient& sharedSignIn();
    // Puts another client in its place (not owned; it must outlive its use). Null returns to the
    // default one.
    static void setSharedSignIn(OAuthLoopbackClient* client);

    // Configures the shared client from the build's client identifiers; nothing when the build
    // has no Google client identifier.
    static void configure();
    static void configure(std::optional<QString> clientID, std::optional<QString> serverClientID);
    // Google sign-in is configured: a client identifier was given.
    static bool isConfigured();
    static bool hasPreviousSignIn();

    // Interactive: the browser shows Google's page. A user who declines, or closes the wait
    // (cancelSignIn), gets OAuthError canceled.
    static QCoro::Task<GoogleCredential> signIn();
    static void cancelSignIn();
    // Without interaction, from the stored sign-in.
    static QCoro::Task<GoogleCredential> restorePreviousSignIn();
    // Revokes the grant when there is one and forgets the sign-in; never fails.
    static QCoro::Task<void> disconnect();
    // Forgets the sign-in here (not a revocation).
    static void signOut();
};

} // namespace hf
