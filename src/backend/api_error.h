#pragma once

#include "platform/errors.h"
#include "platform/json.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

namespace hf {

// What the user reads when a server had no room to store the work (HTTP 507, or a job that failed
// for it): the same words for the backend, the storage target and the separation.
QString serverOutOfSpaceText();

// The backend's error code, read from an error body; raw values are matched exactly.
enum class APIErrorCode {
    unauthorized,
    forbidden,
    notFound,
    invalidRequest,
    rateLimited,
    conflict,
    internal,
    signInRequired,
    unavailable,
    unknown,
};

std::optional<APIErrorCode> apiErrorCodeFromRaw(QStringView raw);
QString rawValue(APIErrorCode code);

// The one error every backend call fails with. Its localized description is the text shown to
// the user as it stands.
class APIError : public Error {
public:
    enum class Case {
        server,
        network,
        decoding,
        signInRequired,
        accountLimitReached,
        invalidResponse,
        otherJob,
        sessionEnded,
    };

    static APIError server(APIErrorCode code, std::optional<QString> message, int status);
    static APIError network(QString description);
    // A `network` failure after the answer had begun: the server was reached, its answer cut off.
    static APIError cutOff(QString description)
    {
        APIError e = network(std::move(description));
        e.m_cutOff = true;
        return e;
    }
    // A `network` failure of a download that went on arriving, but below the least rate.
    static APIError tooSlow();
    static APIError decoding(QString description);
    static APIError signInRequired() { return APIError(Case::signInRequired); }
    static APIError accountLimitReached() { return APIError(Case::accountLimitReached); }
    static APIError invalidResponse() { return APIError(Case::invalidResponse); }
    // A success answer (`status` 2xx) whose body is not well-formed JSON: a fault of the server,
    // told as one, and as passing as a gateway's.
    static APIError brokenAnswer(int status) { return server(APIErrorCode::internal, std::nullopt, status); }
    // An answer about a job that is not the one asked about (another id, or another kind of job).
    static APIError otherJob() { return APIError(Case::otherJob); }
    // The session a job was made with ended on the backend while the job ran, and the new session
    // that took its place cannot reach the job.
    static APIError sessionEnded() { return APIError(Case::sessionEnded); }

    Case kind() const { return m_case; }
    // The payload of `server`.
    APIErrorCode code() const { return m_code; }
    const std::optional<QString>& message() const { return m_message; }
    int status() const { return m_status; }
    // The payload of `network` and `decoding`.
    const QString& description() const { return m_description; }
    // How long a refusal (`server`) asked to be left alone before the next request ("Retry-After");
    // none when it did not say.
    std::optional<std::chrono::seconds> retryAfter() const { return m_retryAfter; }
    void setRetryAfter(std::optional<std::chrono::seconds> wait) { m_retryAfter = wait; }
    bool isCutOff() const { return m_cutOff; }
    bool isTooSlow() const { return m_tooSlow; }

    QString localizedDescription() const override;

    bool operator==(const APIError& other) const;

private:
    explicit APIError(Case c) : m_case(c) {}

    Case m_case;
    APIErrorCode m_code = APIErrorCode::unknown;
    std::optional<QString> m_message;
    int m_status = 0;
    QString m_description;
    std::optional<std::chrono::seconds> m_retryAfter;
    bool m_cutOff = false;
    bool m_tooSlow = false;
};

// Reads the backend's error bodies: {"error": {"code": ..., "message": ...}} or the flat
// {"code": ..., "message": ...}. Never fails: an unreadable body gives the status fallback and no
// message.
namespace APIErrorBodyParser {

struct Parsed {
    APIErrorCode code = APIErrorCode::unknown;
    std::optional<QString> message;
};

Parsed parse(const QByteArray& body, int status);
APIErrorCode statusFallback(int status);

} // namespace APIErrorBodyParser

} // namespace hf
