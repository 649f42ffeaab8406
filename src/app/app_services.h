#pragma once

// The one container of the application's long-lived services. main() makes it after the
// QApplication and before any window; it builds every service once, in a fixed order, wires them
// to each other and holds them until it is destroyed, before the QApplication goes. Windows reach
// the services through it; its launch() is the start-up sequence the main window runs once per
// process. Main thread only.

#include "backend/session_token_store.h"
#include "platform/audio_output.h"
#include "platform/logging.h"
#include "platform/settings_store.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace hf {

class APIClient;
class AccountStore;
class AppUpdater;
class AudioPlayerService;
class BatchQueueManager;
class CloudSeparationEngine;
class EngineCoordinator;
class RecentVideos;
class ReviewPrompter;
class SeparationEngineProtocol;
class ThumbnailCache;
class URLSessionUploader;
class UpdatePresenter;
struct SeparationSettings;

HF_DECLARE_LOGGING_CATEGORY(lcApp)

class AppServices : public QObject {
    Q_OBJECT

public:
    // What differs between the application and a test of it. Every field left empty takes the
    // application's own: the build's backend URL, the session token in the keychain, the settings
    // file, the user's caches folder and the default audio device.
    struct Options {
        std::optional<QUrl> baseURL;
        std::unique_ptr<SessionTokenStore> tokenStore;
        std::unique_ptr<SettingsStore> defaults;
        QString cachesFolder;
        std::unique_ptr<AudioOutput> audioOutput;
        // The most the cache's working files may take, in bytes; none: the application's own bound.
        std::optional<qint64> cacheLimit;
    };

    // Steps of the launch that other parts of the application contribute; each runs when set.
    struct LaunchHooks {
        std::function<void()> configureFeedbackKit;
        std::function<void()> startUpdater;
    };

    explicit AppServices(Options options = {}, QObject* parent = nullptr);
    ~AppServices() override;

    // The container while it exists (null before main() made it and after it went).
    static AppServices* instance();

    APIClient& api() const { return *m_api; }
    AccountStore& account() const { return *m_account; }
    EngineCoordinator& coordinator() const { return *m_coordinator; }
    BatchQueueManager& batch() const { return *m_batch; }
    AudioPlayerService& player() const { return *m_player; }
    ReviewPrompter& reviewPrompter() const { return *m_reviewPrompter; }
    RecentVideos& recents() const { return *m_recents; }
    ThumbnailCache& thumbnails() const { return *m_thumbnails; }
    CloudSeparationEngine& engine() const { return *m_engine; }
    SettingsStore& defaults() const { return *m_defaults; }
    SessionTokenStore& tokenStore() const { return *m_tokenStore; }
    // The backend client's network session (no cookies, 30 s of inactivity ends a request).
    QNetworkAccessManager& backendSession() const { return *m_backendSession; }
    // The session of uploads and stem downloads.
    QNetworkAccessManager& transferSession() const { return *m_transferSession; }
    const QString& cachesFolder() const { return m_cachesFolder; }
    // The one updater; the launch sequence starts it (launchHooks.startUpdater).
    AppUpdater& updater() const { return *m_updater; }

    // The batch queue's source of settings: the coordinator's, or the defaults once it is gone.
    std::function<SeparationSettings()> settingsProvider() const;

    LaunchHooks launchHooks;

    // The start-up sequence, once per process: the feedback kit, the install date, the updater,
    // Google sign-in, then the stored session restored (or an anonymous one started). Later
    // calls return at once. Never throws.
    QCoro::Task<void> launch();
    bool didLaunch() const { return m_didLaunch; }

private:
    void makeAPIAndEngine(const std::optional<QUrl>& baseURL, std::unique_ptr<SessionTokenStore> tokenStore);

    bool m_didLaunch = false;
    // True while the launch sequence runs (it may still wait for an answer when the services go).
    std::shared_ptr<bool> m_launchRunning = std::make_shared<bool>(false);
    QString m_cachesFolder;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<ReviewPrompter> m_reviewPrompter;
    std::unique_ptr<SessionTokenStore> m_tokenStore;
    QNetworkAccessManager* m_backendSession = nullptr;
    QNetworkAccessManager* m_transferSession = nullptr;
    std::unique_ptr<APIClient> m_api;
    std::unique_ptr<URLSessionUploader> m_uploader;
    std::unique_ptr<CloudSeparationEngine> m_engine;
    std::unique_ptr<AccountStore> m_account;
    std::unique_ptr<RecentVideos> m_recents;
    std::unique_ptr<ThumbnailCache> m_thumbnails;
    std::unique_ptr<AudioPlayerService> m_player;
    std::unique_ptr<EngineCoordinator> m_coordinator;
    std::unique_ptr<BatchQueueManager> m_batch;
    std::unique_ptr<UpdatePresenter> m_updatePresenter;
    std::unique_ptr<AppUpdater> m_updater;
};

} // namespace hf
