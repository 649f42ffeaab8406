#pragma once

// Tellu, a small self-contained feedback kit: it posts a user's feedback, or a survey's answers, as
// one JSON document to a feedback service, and offers a feedback form (TelluView) and a survey form
// (TelluSurveyView). It needs Qt and nothing else, keeps nothing on disk, logs nothing and never
// retries. The host configures it once at start-up with Tellu::configure and then shows a form.

#include <QColor>
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

class QNetworkAccessManager;

// What the host hands the kit.
struct TelluConfig {
    QUrl endpointURL;                 // every submission is posted here, unchanged
    QString appName;                  // sent as "app"
    bool includeSystemInfo = false;   // adds "version" and "platform" to each submission
    std::optional<QColor> tintColor;  // accent of the forms' buttons; absent: the inherited accent
    std::optional<QString> token;     // sent in "X-Tellu-Token"; absent: no such header

    bool operator==(const TelluConfig&) const = default;
};

enum class TelluCategory { general, bug, featureRequest, other };

namespace TelluCategories {
// Every category, in the order the forms list them.
inline constexpr TelluCategory all[] = {TelluCategory::general, TelluCategory::bug,
                                        TelluCategory::featureRequest, TelluCategory::other};
QString rawValue(TelluCategory category);
// Any other string gives no category.
std::optional<TelluCategory> fromRawValue(const QString& raw);
QString displayName(TelluCategory category);
} // namespace TelluCategories

// One submission as the caller builds it. The timestamp is the moment of construction, so sending
// the same record twice sends the same time.
struct TelluFeedback {
    QString message;
    std::optional<QString> email;
    std::optional<TelluCategory> category;
    std::optional<QMap<QString, QString>> metadata;
    QDateTime timestamp;

    TelluFeedback(QString message, std::optional<QString> email = std::nullopt,
                  std::optional<TelluCategory> category = std::nullopt,
                  std::optional<QMap<QString, QString>> metadata = std::nullopt);

    // The record's own coding (not the wire format, which the client writes): absent members are
    // left out. Decoding needs "message" and an ISO 8601 "timestamp"; an unknown category fails.
    QJsonObject toJson() const;
    static std::optional<TelluFeedback> fromJson(const QJsonObject& object);

    bool operator==(const TelluFeedback&) const = default;
};

// The only failure a send reports.
class TelluError {
public:
    enum class Kind { networkError, badResponse, encodingError };

    static TelluError networkError(QString underlying) { return TelluError(Kind::networkError, 0, std::move(underlying)); }
    static TelluError badResponse(int status) { return TelluError(Kind::badResponse, status, {}); }
    static TelluError encodingError() { return TelluError(Kind::encodingError, 0, {}); }

    Kind kind() const { return m_kind; }
    // The HTTP status of a badResponse.
    int status() const { return m_status; }
    // The transport's own description of a networkError.
    const QString& underlying() const { return m_underlying; }

    bool operator==(const TelluError&) const = default;

private:
    TelluError(Kind kind, int status, QString underlying)
        : m_kind(kind), m_status(status), m_underlying(std::move(underlying)) {}
    Kind m_kind;
    int m_status;
    QString m_underlying;
};

// A question of a survey. Questions are identified by their label: two questions with the same
// label share one answer.
struct TelluSurveyQuestion {
    struct Rating {
        QString label;
        int max = 5;
        bool operator==(const Rating&) const = default;
    };
    struct Choice {
        QString label;
        QStringList options;
        bool operator==(const Choice&) const = default;
    };
    struct Text {
        QString label;
        QString placeholder;
        bool operator==(const Text&) const = default;
    };

    static TelluSurveyQuestion rating(QString label, int max) { return {Rating{std::move(label), max}}; }
    static TelluSurveyQuestion choice(QString label, QStringList options) { return {Choice{std::move(label), std::move(options)}}; }
    // Without a placeholder the field shows TelluStrings::textPlaceholder().
    static TelluSurveyQuestion text(QString label, std::optional<QString> placeholder = std::nullopt);

    const QString& label() const;

    std::variant<Rating, Choice, Text> kind;
    bool operator==(const TelluSurveyQuestion&) const = default;
};

// The kit's texts that more than one place uses.
namespace TelluStrings {
QString defaultSurveyTitle();
QString textPlaceholder();
QString serverError(qint64 status);
// What a form says when sending failed: the network and server texts, or `encodingFailure` when
// the submission could not be prepared.
QString sendError(const TelluError& error, const QString& encodingFailure);
} // namespace TelluStrings

// Looks a kit text up by key in the kit's own string table for the current locale; the English
// default is used when there is no table or no entry. The host's tables are never consulted.
QString telluText(const char* key, const char* english);

// The "platform" member: the operating system's name and its version as three numbers.
QString telluPlatformText(const QString& systemName, const QString& systemVersion);

// Posts submissions for one configuration. Sends run on the thread that calls send (the main
// thread for the forms); several may run at once.
class TelluClient {
public:
    using Completion = std::function<void(const std::optional<TelluError>&)>;

    // `session` is the process-wide one unless a test hands its own; it is not owned.
    explicit TelluClient(TelluConfig config, QNetworkAccessManager* session = nullptr);

    const TelluConfig& config() const { return m_config; }

    // Posts one submission. `done` runs once, on the calling thread, with nothing on success (a
    // 2xx status) or the failure; it is skipped when `context` is gone by then, but the send still
    // runs to its end. One attempt: no retry.
    void send(const TelluFeedback& feedback, QObject* context, Completion done) const;

    // The body the client posts for `feedback`: compact JSON, members in a fixed order, absent
    // members left out. Null when it cannot be encoded.
    QByteArray body(const TelluFeedback& feedback) const;

private:
    TelluConfig m_config;
    QNetworkAccessManager* m_session;
};

// The kit's one shared instance.
class Tellu {
public:
    static Tellu& shared();

    // Stores the configuration and builds a new client for it; a later call replaces both. Sends
    // under way keep the client they started with.
    static void configure(const TelluConfig& config);
    // Sends through the current client. An unconfigured kit fails the send at once (see the .cpp).
    static void send(const TelluFeedback& feedback, QObject* context, TelluClient::Completion done);

    const std::optional<TelluConfig>& config() const { return m_config; }
    std::shared_ptr<const TelluClient> client() const { return m_client; }
    bool isConfigured() const { return m_client != nullptr; }

private:
    Tellu() = default;
    std::optional<TelluConfig> m_config;
    std::shared_ptr<const TelluClient> m_client;
};
