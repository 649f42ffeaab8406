#include "backend/api_error.h"

#include "backend/google_sign_in_service.h"
#include "platform/texts.h"

#include <array>
#include <utility>

namespace hf {
namespace {

constexpr std::array<std::pair<APIErrorCode, const char*>, 10> codeNames{{
    {APIErrorCode::unauthorized, "unauthorized"},
    {APIErrorCode::forbidden, "forbidden"},
    {APIErrorCode::notFound, "not_found"},
    {APIErrorCode::invalidRequest, "invalid_request"},
    {APIErrorCode::rateLimited, "rate_limited"},
    {APIErrorCode::conflict, "conflict"},
    {APIErrorCode::internal, "internal"},
    {APIErrorCode::signInRequired, "sign_in_required"},
    {APIErrorCode::unavailable, "unavailable"},
    {APIErrorCode::unknown, "unknown"},
}};

QString sessionLostText()
{
    return text("error.api.sessionLost",
                "Hushframe couldn't keep your session going. Check your internet connection and try again.");
}

QString serverText(APIErrorCode code, const std::optional<QString>& message)
{
    const bool hasMessage = message && !message->isEmpty();
    switch (code) {
    case APIErrorCode::unauthorized:
        return sessionLostText();
    case APIErrorCode::forbidden:
        return text("error.api.forbidden.direct", "Your account doesn't have access to that.", TextTable::Direct);
    case APIErrorCode::notFound:
        return text("error.api.notFound",
                    "That job no longer exists. Processed audio is deleted 24 hours after it finishes.");
    case APIErrorCode::invalidRequest:
        if (hasMessage)
            return *message;
        return text("error.api.invalidRequest",
                    "Hushframe couldn't process this file. Videos must be 3 hours or shorter.");
    case APIErrorCode::rateLimited:
        return text("error.api.rateLimited", "Hushframe's servers are busy right now. Please try again in a moment.");
    case APIErrorCode::conflict:
        return text("error.api.conflict", "This job has already started. Please wait for it to finish.");
    case APIErrorCode::internal:
        return text("error.api.internal", "Hushframe's servers ran into a problem. Please try again in a moment.");
    case APIErrorCode::signInRequired:
        if (!GoogleSignInService::isConfigured())   // no Google button to sign in with
            return text("error.api.signInRequired.appleOnly", "Sign in with Apple to continue.");
        return text("error.api.signInRequired", "Sign in with Apple or Google to continue.");
    case APIErrorCode::unavailable:
        return text("error.api.unavailable", "That isn't available right now. Please try again later.");
    case APIErrorCode::unknown:
        if (hasMessage)
            return *message;
        return text("error.api.unknown", "Something went wrong. Please try again.");
    }
    return text("error.api.unknown", "Something went wrong. Please try again.");
}

// The error body, read field by field. Any deviation (not JSON, not an object, a field of the
// wrong type) makes the whole body unreadable, like a strict decoder would.
struct Envelope {
    std::optional<QString> code;
    std::optional<QString> message;
};

std::optional<Envelope> readEnvelope(const QByteArray& body)
{
    try {
        const QJsonValue doc = json::parseDocument(body);
        if (!doc.isObject())
            return std::nullopt;
        const json::ObjectReader top(doc.toObject());
        std::optional<QString> nestedCode;
        std::optional<QString> nestedMessage;
        if (top.has(QStringLiteral("error"))) {
            const QJsonValue inner = top.object().value(QStringLiteral("error"));
            if (!inner.isObject())
                return std::nullopt;
            const json::ObjectReader in(inner.toObject());
            nestedCode = in.optional<QString>(QStringLiteral("code"));
            nestedMessage = in.optional<QString>(QStringLiteral("message"));
        }
        const auto flatCode = top.optional<QString>(QStringLiteral("code"));
        const auto flatMessage = top.optional<QString>(QStringLiteral("message"));
        return Envelope{nestedCode ? nestedCode : flatCode, nestedMessage ? nestedMessage : flatMessage};
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

} // namespace

QString serverOutOfSpaceText()
{
    return text("error.server.outOfSpace", "The separation server is out of space. Please try again later.");
}

std::optional<APIErrorCode> apiErrorCodeFromRaw(QStringView raw)
{
    for (const auto& [code, name] : codeNames)
        if (raw == QLatin1StringView(name))
            return code;
    return std::nullopt;
}

QString rawValue(APIErrorCode code)
{
    for (const auto& [c, name] : codeNames)
        if (c == code)
            return QString::fromLatin1(name);
    return QStringLiteral("unknown");
}

APIError APIError::server(APIErrorCode code, std::optional<QString> message, int status)
{
    APIError e(Case::server);
    e.m_code = code;
    e.m_message = std::move(message);
    e.m_status = status;
    return e;
}

APIError APIError::network(QString description)
{
    APIError e(Case::network);
    e.m_description = std::move(description);
    return e;
}

APIError APIError::tooSlow()
{
    APIError e = network(text("error.network.tooSlow", "The download was too slow to go on."));
    e.m_tooSlow = true;
    return e;
}

APIError APIError::decoding(QString description)
{
    APIError e(Case::decoding);
    e.m_description = std::move(description);
    return e;
}

QString APIError::localizedDescription() const
{
    switch (m_case) {
    case Case::server:
        if (m_status == 507)
            return serverOutOfSpaceText();
        return serverText(m_code, m_message);
    case Case::network:
        if (m_tooSlow)
            return text("error.api.tooSlow", "The download from Hushframe's servers was too slow to go on. "
                                             "Check your internet connection and try again.");
        return text("error.api.network",
                    "Hushframe couldn't reach its servers. Check your internet connection and try again. (%@)",
                    {m_description});
    case Case::decoding:
        return text("error.api.decoding",
                    "Hushframe's servers sent data this version of the app doesn't understand. Please update Hushframe.");
    case Case::signInRequired:
        return sessionLostText();
    case Case::accountLimitReached:
        if (!GoogleSignInService::isConfigured())
            return text("error.api.accountLimit.appleOnly",
                        "Hushframe couldn't start a new account on this network right now. Sign in with Apple to keep going.");
        return text("error.api.accountLimit",
                    "Hushframe couldn't start a new account on this network right now. Sign in with Apple or Google to keep going.");
    case Case::invalidResponse:
        return text("error.api.invalidResponse", "Hushframe's servers sent an unexpected response. Please try again.");
    case Case::otherJob:
        return text("error.api.otherJob",
                    "Hushframe's servers answered about another job. Nothing from that answer was kept. "
                    "Please try again.");
    case Case::sessionEnded:
        return text("error.api.sessionEnded",
                    "Your session on Hushframe's servers ended while this job ran, so the job couldn't go on. "
                    "A new session has started: please try again.");
    }
    return {};
}

bool APIError::operator==(const APIError& other) const
{
    if (m_case != other.m_case)
        return false;
    switch (m_case) {
    case Case::server:
        return m_code == other.m_code && m_message == other.m_message && m_status == other.m_status;
    case Case::network:
    case Case::decoding:
        return m_description == other.m_description;
    default:
        return true;
    }
}

namespace APIErrorBodyParser {

APIErrorCode statusFallback(int status)
{
    switch (status) {
    case 400: return APIErrorCode::invalidRequest;
    case 401: return APIErrorCode::unauthorized;
    case 403: return APIErrorCode::forbidden;
    case 404: return APIErrorCode::notFound;
    case 409: return APIErrorCode::conflict;
    case 429: return APIErrorCode::rateLimited;
    default: break;
    }
    if (status >= 500 && status <= 599)
        return APIErrorCode::internal;
    return APIErrorCode::unknown;
}

Parsed parse(const QByteArray& body, int status)
{
    Parsed out;
    const auto envelope = readEnvelope(body);
    std::optional<APIErrorCode> code;
    if (envelope) {
        if (envelope->code)
            code = apiErrorCodeFromRaw(*envelope->code);
        out.message = envelope->message;
    }
    out.code = code.value_or(statusFallback(status));
    return out;
}

} // namespace APIErrorBodyParser
} // namespace hf
