#include "backend/google_sign_in_service.h"

#include "backend/bundle_configuration.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <QCoreApplication>
#include <QPointer>

namespace hf {

HF_LOGGING_CATEGORY(lcGoogleSignIn, "GoogleSignInService")

namespace {

QPointer<OAuthLoopbackClient>& installed()
{
    static QPointer<OAuthLoopbackClient> client;
    return client;
}

QPointer<OAuthLoopbackClient>& made()
{
    static QPointer<OAuthLoopbackClient> client;
    return client;
}

GoogleCredential credentialOf(const OAuthUser& user)
{
    if (!user.idToken || user.idToken->isEmpty())
        throw GoogleSignInError(GoogleSignInError::Case::missingIDToken);
    GoogleCredential credential;
    credential.idToken = *user.idToken;
    credential.accessToken = user.accessToken;
    return credential;
}

} // namespace

QString GoogleSignInError::localizedDescription() const
{
    switch (m_case) {
    case Case::notConfigured:
        return text("error.signIn.googleNotConfigured",
                    "Sign in with Google isn't set up in this build yet. Please use Sign in with Apple.");
    case Case::noPresentingWindow:
        return text("error.signIn.googleNoWindow", "Hushframe couldn't open the Google sign-in window. Please try again.");
    case Case::missingIDToken:
        return text("error.signIn.googleNoToken", "Google didn't return an identity token. Please try again.");
    }
    return {};
}

OAuthLoopbackClient& GoogleSignInService::sharedSignIn()
{
    if (installed())
        return *installed();
    if (!made()) {
        const GoogleEndpoints endpoints = googleEndpoints();
        made() = new OAuthLoopbackClient({endpoints.authorization, endpoints.token, endpoints.revocation},
                                         std::make_shared<DesktopKeychain>(DesktopKeychain::defaultLegacyFolder()),
                                         QStringLiteral("dev.lanternworkshop.Hushframe.google"), systemURLOpener(),
                                         nullptr, QCoreApplication::instance());
    }
    return *made();
}

void GoogleSignInService::setSharedSignIn(OAuthLoopbackClient* client)
{
    installed() = client;
}

void GoogleSignInService::configure()
{
    configure(googleClientID(), googleServerClientID());
    // Google's token endpoint wants an installed application's client secret; the local
    // identity provider needs none.
    if (const auto secret = infoPlistString(QStringLiteral("GIDClientSecret")); secret && isConfigured()) {
        auto configuration = sharedSignIn().configuration();
        configuration->clientSecret = *secret;
        sharedSignIn().setConfiguration(*configuration);
    }
}

void GoogleSignInService::configure(std::optional<QString> clientID, std::optional<QString> serverClientID)
{
    if (!clientID)
        return;
    sharedSignIn().setConfiguration(OAuthLoopbackClient::Configuration{*clientID, serverClientID});
}

bool GoogleSignInService::isConfigured()
{
    const auto& client = installed() ? installed() : made();
    return client && client->configuration().has_value();
}

bool GoogleSignInService::hasPreviousSignIn()
{
    return isConfigured() && sharedSignIn().hasPreviousSignIn();
}

QCoro::Task<GoogleCredential> GoogleSignInService::signIn()
{
    if (!isConfigured())
        throw GoogleSignInError(GoogleSignInError::Case::notConfigured);
    std::optional<OAuthUser> user;
    try {
        user = co_await sharedSignIn().signIn();
    } catch (const OAuthError& e) {
        // No browser could be opened: the stand-in for a missing window to present on.
        if (e.kind() == OAuthError::Case::notStarted)
            throw GoogleSignInError(GoogleSignInError::Case::noPresentingWindow);
        throw;
    }
    co_return credentialOf(*user);
}

void GoogleSignInService::cancelSignIn()
{
    if (isConfigured())
        sharedSignIn().cancelSignIn();
}

QCoro::Task<GoogleCredential> GoogleSignInService::restorePreviousSignIn()
{
    if (!hasPreviousSignIn())
        throw GoogleSignInError(GoogleSignInError::Case::notConfigured);
    const OAuthUser user = co_await sharedSignIn().restorePreviousSignIn();
    co_return credentialOf(user);
}

QCoro::Task<void> GoogleSignInService::disconnect()
{
    if (!isConfigured())
        co_return;
    QPointer<OAuthLoopbackClient> client = &sharedSignIn();
    if (client->currentUser() || client->hasPreviousSignIn()) {
        try {
            co_await client->disconnect();
        } catch (const Error& e) {
            qCInfo(lcGoogleSignIn, "Revoking the Google sign-in failed: %s", qUtf8Printable(e.localizedDescription()));
        } catch (const Cancelled&) {
        }
    }
    if (client)
        client->signOut();
}

void GoogleSignInService::signOut()
{
    if (isConfigured())
        sharedSignIn().signOut();
}

} // namespace hf
