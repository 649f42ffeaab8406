#pragma once

// Update checks. A Linux build is updated by the system's package manager, so the updater installs
// nothing: it reads the update feed (an RSS "appcast" whose items carry versions), compares the
// newest version with the running one and tells the user, offering the release's download page.
// It checks at launch when the last check is a day old or more, again every day while running,
// and on request ("Check for Updates..."); a scheduled check speaks only when it finds an update.
// A failed check is retried a minute later, then after twice as long each time, never more
// rarely than the daily check; a check on request is always immediate.

#include "platform/async.h"
#include "platform/errors.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace hf {

class SettingsStore;

// One release announced by the feed.
struct AppcastItem {
    QString version;     // compared with the running version
    QString title;
    QString notes;       // plain text
    QUrl page;           // the download or release page (http or https only)

    bool operator==(const AppcastItem&) const = default;
};

// Why a check failed.
class UpdateError final : public Error {
public:
    enum class Case { network, server, unreadableFeed };
    static UpdateError network(QString detail) { return UpdateError(Case::network, std::move(detail), 0); }
    static UpdateError server(int status) { return UpdateError(Case::server, {}, status); }
    static UpdateError unreadableFeed() { return UpdateError(Case::unreadableFeed, {}, 0); }

    Case kind() const { return m_case; }
    QString localizedDescription() const override;

private:
    UpdateError(Case c, QString detail, int status) : m_case(c), m_detail(std::move(detail)), m_status(status) {}
    Case m_case;
    QString m_detail;
    int m_status;
};

// The newest item of an appcast document; nothing when the feed lists no release with a version.
// Throws UpdateError::unreadableFeed when the document is not a well-formed RSS feed.
std::optional<AppcastItem> newestAppcastItem(const QByteArray& document);

// Orders dotted versions numerically ("1.10" after "1.9"); a pre-release suffix ("1.2-beta")
// comes before the release itself. Returns <0, 0 or >0.
int compareVersions(const QString& a, const QString& b);

// How the updater talks to the user; the application shows dialogs, tests record the calls.
class UpdatePresenter {
public:
    virtual ~UpdatePresenter() = default;
    virtual void updateAvailable(const AppcastItem& item, const QString& currentVersion) = 0;
    virtual void upToDate(const QString& currentVersion) = 0;
    virtual void checkFailed(const QString& message) = 0;
};

// Window-modal message boxes opened with open(), never a nested event loop; the download page
// opens in the desktop's browser.
class DialogUpdatePresenter final : public UpdatePresenter {
public:
    // `parent` gives the dialogs their window (the active window when null).
    explicit DialogUpdatePresenter(QWidget* parent = nullptr) : m_parent(parent) {}
    void updateAvailable(const AppcastItem& item, const QString& currentVersion) override;
    void upToDate(const QString& currentVersion) override;
    void checkFailed(const QString& message) override;

private:
    QPointer<QWidget> m_parent;
};

class AppUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    // "hf_update_last_check": when the last check finished, as an ISO 8601 text.
    static constexpr const char* kLastCheckKey = "hf_update_last_check";
    static constexpr int kCheckIntervalHours = 24;
    // The wait after the first failed check in a row; it doubles with each further failure.
    static constexpr int kFirstRetrySeconds = 60;
    // A check that is due at launch waits this long for the launch to settle.
    static constexpr int kLaunchSettleMs = 2000;

    // The current time in UTC; tests give a fixed one.
    using Clock = std::function<QDateTime()>;

    // No feed means updates are not configured: checks are never possible.
    AppUpdater(QNetworkAccessManager* network, std::optional<QUrl> feed, QString currentVersion,
               SettingsStore* settings, UpdatePresenter* presenter, QObject* parent = nullptr);
    ~AppUpdater() override;

    // Starts the updater: checks become possible and the schedule begins (a check now when the last
    // one is a day old or more). Called once by the launch sequence.
    void start();

    // A check the user asked for; its outcome is always told. Does nothing while a check runs.
    void checkForUpdates();

    bool canCheckForUpdates() const { return m_canCheck; }
    bool isStarted() const { return m_started; }

    void setClock(Clock clock) { m_clock = std::move(clock); }
    // How long the schedule waited, when it was last armed, before its next check; nothing while
    // no check is scheduled (before start, and while a check runs).
    std::optional<std::chrono::milliseconds> scheduledDelay() const;
    // Failed checks since the last one that succeeded.
    int failuresInARow() const { return m_failures; }

    // The feed from the build's configuration ("SUFeedURL"), when it is an http(s) URL.
    static std::optional<QUrl> configuredFeed();

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    // A check ended (for tests and the settings window's status).
    void checkFinished();

private:
    void setCanCheck(bool value);
    void check(bool userInitiated);
    void scheduleNext();
    QDateTime now() const;
    QCoro::Task<void> runCheck(bool userInitiated, std::stop_token stop);

    QNetworkAccessManager* m_network;
    std::optional<QUrl> m_feed;
    QString m_currentVersion;
    SettingsStore* m_settings;
    UpdatePresenter* m_presenter;
    bool m_started = false;
    bool m_canCheck = false;
    bool m_checking = false;
    int m_failures = 0;
    std::chrono::milliseconds m_scheduledDelay{0};
    Clock m_clock;
    QTimer m_schedule;
    TaskSlot m_task;
};

} // namespace hf
