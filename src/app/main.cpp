// The application's entry point. A later start hands its links to the running instance and
// exits; the first start builds the services, restores or starts the account session, and takes
// the links that later starts hand over (the web sign-in's way back into the application).

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/bundle_configuration.h"
#include "backend/google_sign_in_service.h"
#include "backend/session_token_store.h"
#include "backend/web_sign_in.h"
#include "platform/async.h"
#include "platform/keychain.h"
#include "platform/logging.h"
#include "platform/network.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"

#include <QApplication>
#include <QUrl>

HF_LOGGING_CATEGORY(lcApp, "App")

namespace {

// The arguments that are links (the desktop entry passes one with %u).
QStringList linksIn(const QStringList& arguments)
{
    QStringList links;
    for (const QString& argument : arguments.mid(1)) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && url.scheme().size() > 1 && !argument.startsWith(u'-'))
            links << argument;
    }
    return links;
}

QCoro::Task<void> launch(QPointer<hf::AccountStore> account)
{
    hf::GoogleSignInService::configure();
    if (account)
        co_await account->restoreSession();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Lantern Workshop"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("lanternworkshop.dev"));
    QCoreApplication::setApplicationName(QStringLiteral("Hushframe"));
    QGuiApplication::setDesktopFileName(QStringLiteral("hushframe"));

    const QStringList links = linksIn(app.arguments());
    const QString channel = hf::SingleInstance::defaultChannel();
    if (hf::SingleInstance::forward(channel, links))
        return 0;
    hf::SingleInstance instance(channel);
    if (!instance.listen()) {
        // Another start won the race to the channel.
        if (hf::SingleInstance::forward(channel, links))
            return 0;
        qCWarning(lcApp, "Links from later starts will not reach this instance");
    }

    auto keychain = std::make_shared<hf::DesktopKeychain>(hf::DesktopKeychain::defaultLegacyFolder());
    hf::KeychainTokenStore tokenStore(QStringLiteral("dev.lanternworkshop.Hushframe.session"),
                                      QStringLiteral("session-token"), keychain);
    QNetworkAccessManager* network = hf::makeEphemeralNetworkSession(&app);
    hf::APIClient api(hf::apiBaseURL(), network, &tokenStore);
    hf::QSettingsStore defaults;
    hf::AccountStore account(&api, &defaults);

    // Only a web sign-in that waits takes a link; anything else is dropped.
    QObject::connect(&instance, &hf::SingleInstance::messageReceived, &app,
                     [](const QString& link) { hf::BrowserSheetAuthenticator::deliverCallback(QUrl(link)); });

    hf::spawn(launch(&account), lcApp(), QStringLiteral("Launch"));
    return app.exec();
}
