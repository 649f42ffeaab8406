#include "app/app_services.h"

#include "app/app_updater.h"
#include "app/feedback_setup.h"
#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/bundle_configuration.h"
#include "backend/google_sign_in_service.h"
#include "backend/session_token_store.h"
#include "player/audio_player_service.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/cache_cleanup.h"
#include "coordinator/engine_coordinator.h"
#include "coordinator/export_temporaries.h"
#include "coordinator/recent_videos.h"
#include "coordinator/review_prompter.h"
#include "coordinator/thumbnail_cache.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/separation_settings.h"
#include "platform/audio_output.h"
#include "platform/keychain.h"
#include "platform/network.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QStandardPaths>

namespace hf {

HF_LOGGING_CATEGORY(lcApp, "App")

namespace {

AppServices* g_instance = nullptr;

} // namespace

AppServices::AppServices(Options options, QObject* parent) : QObject(parent)
{
    Q_ASSERT_X(!g_instance, "AppServices", "one container per process");
    g_instance = this;

    m_cachesFolder = options.cachesFolder.isEmpty() ? RecentVideos::defaultCachesFolder() : options.cachesFolder;
    if (m_cachesFolder.isEmpty())
        qFatal("The system names no caches folder");
    m_defaults = options.defaults ? std::move(options.defaults) : std::make_unique<QSettingsStore>();
    ExportTemporaries::setRecordFolder(m_cachesFolder + QStringLiteral("/Exports"));

    // The order matters: each service is handed the ones made before it.
    m_reviewPrompter = std::make_unique<ReviewPrompter>(*m_defaults);
    makeAPIAndEngine(options.baseURL, std::move(options.tokenStore));
    // Installs the client's silent re-authentication and session-invalidated hooks.
    m_account = std::make_unique<AccountStore>(m_api.get(), m_defaults.get());
    m_recents = std::make_unique<RecentVideos>(m_defaults.get(), m_cachesFolder);
    m_recents->setCacheLimit(options.cacheLimit.value_or(0));
    const SeparationSettings settings = SeparationSettings::load(*m_defaults);
    m_thumbnails = std::make_unique<ThumbnailCache>();
    m_player = std::make_unique<AudioPlayerService>(std::move(options.audioOutput));
    m_coordinator = std::make_unique<EngineCoordinator>(
        m_engine.get(), m_recents.get(), m_reviewPrompter.get(), m_account.get(), m_player.get(),
        m_cachesFolder + QStringLiteral("/Work"), settings, m_defaults.get(), nullptr, m_api.get());
    m_batch = std::make_unique<BatchQueueManager>(m_engine.get(), m_account.get(), m_reviewPrompter.get(),
                                                  m_cachesFolder + QStringLiteral("/Batch"), settingsProvider());

    // Update checks read the build's feed; the dialogs open over the active window.
    m_updatePresenter = std::make_unique<DialogUpdatePresenter>();
    m_updater = std::make_unique<AppUpdater>(m_transferSession, AppUpdater::configuredFeed(),
                                             QStringLiteral(HF_APP_VERSION), m_defaults.get(),
                                             m_updatePresenter.get());
    launchHooks.startUpdater = [this] { m_updater->start(); };
    // The feedback kit is set up from the build's configuration, when it holds a kit token.
    launchHooks.configureFeedbackKit = [] { configureFeedbackKit(); };
}

AppServices::~AppServices()
{
    // Those who hold others go first; the running tasks stop with their owners.
    m_updater.reset();
    m_updatePresenter.reset();
    m_batch.reset();
    m_coordinator.reset();
    m_player.reset();
    m_thumbnails.reset();
    m_recents.reset();
    m_account.reset();
    m_engine.reset();
    m_uploader.reset();
    m_api.reset();
    delete m_transferSession;
    delete m_backendSession;
    m_tokenStore.reset();
    m_reviewPrompter.reset();
    m_defaults.reset();
    if (g_instance == this)
        g_instance = nullptr;
    // A launch, or any other task a window or service started (an account refresh of the
    // settings, a usage refresh after a clean), still waiting for an answer lost it with the
    // sessions; the coroutines waiting for it unwind once their queued resumptions run. They run
    // here, so that none is left suspended (and its frames never freed) when no event loop turns
    // again.
    for (int turn = 0; (*m_launchRunning || detachedTasksRunning() > 0) && turn < 100; ++turn)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    if (*m_launchRunning)
        qCWarning(lcApp, "The launch sequence was still running when the services went");
    if (const int left = detachedTasksRunning())
        qCWarning(lcApp, "%d started tasks were still running when the services went", left);
}

AppServices* AppServices::instance()
{
    return g_instance;
}

void AppServices::makeAPIAndEngine(const std::optional<QUrl>& baseURL, std::unique_ptr<SessionTokenStore> tokenStore)
{
    if (tokenStore) {
        m_tokenStore = std::move(tokenStore);
    } else {
        auto keychain = std::make_shared<DesktopKeychain>(DesktopKeychain::defaultLegacyFolder());
        m_tokenStore = std::make_unique<KeychainTokenStore>(QStringLiteral("dev.lanternworkshop.Hushframe.session"),
                                                            QStringLiteral("session-token"), std::move(keychain));
    }
    m_backendSession = makeEphemeralNetworkSession(nullptr, std::chrono::seconds(30));
    m_api = std::make_unique<APIClient>(baseURL.value_or(apiBaseURL()), m_backendSession, m_tokenStore.get());
    // Uploads go to the storage target and stems come from it: no session token, no cookies.
    m_transferSession = makeEphemeralNetworkSession(nullptr, std::chrono::seconds(60));
    m_uploader = std::make_unique<URLSessionUploader>(m_transferSession);
    m_engine = std::make_unique<CloudSeparationEngine>(m_api.get(), m_uploader.get(), m_transferSession,
                                                       m_cachesFolder + QStringLiteral("/Jobs"));
}

std::function<SeparationSettings()> AppServices::settingsProvider() const
{
    // Holds the coordinator weakly: after it went, the defaults.
    QPointer<EngineCoordinator> coordinator = m_coordinator ? m_coordinator.get() : nullptr;
    return [coordinator]() -> SeparationSettings {
        return coordinator ? coordinator->settings() : SeparationSettings{};
    };
}

QCoro::Task<void> AppServices::launch()
{
    if (m_didLaunch)
        co_return;
    m_didLaunch = true;
    struct Running {
        std::shared_ptr<bool> flag;
        explicit Running(std::shared_ptr<bool> f) : flag(std::move(f)) { *flag = true; }
        ~Running() { *flag = false; }
    } running(m_launchRunning);

    // What nothing uses any more leaves the cache, before anything new is made in it, and what
    // an export that never ended left in the user's folders goes. Removing files is quick (their
    // blocks are freed by the file system), so this runs in place.
    ExportTemporaries::removeLeftovers();
    const QString batchFolder = m_cachesFolder + QStringLiteral("/Batch");
    CacheCleanup::sweep(m_cachesFolder, CacheCleanup::referencedPaths(*m_recents, m_batch->jobs(), batchFolder),
                        QDateTime::currentDateTimeUtc());
    // Then the oldest recent videos' cleans go while the cache is above its bound.
    m_recents->keepCacheWithinLimit(CacheCleanup::queuedPaths(m_batch->jobs(), batchFolder));

    if (launchHooks.configureFeedbackKit)
        launchHooks.configureFeedbackKit();
    m_reviewPrompter->recordInstallDateIfNeeded(QDateTime::currentDateTimeUtc());
    if (launchHooks.startUpdater)
        launchHooks.startUpdater();
    GoogleSignInService::configure();

    QPointer<AccountStore> account = m_account.get();
    if (account)
        co_await account->restoreSession();
}

} // namespace hf
