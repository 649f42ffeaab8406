#include "backend/account_records.h"

namespace hf {

APIUser APIUser::fromJson(const json::ObjectReader& in)
{
    return {
        .id = in.required<QString>(QStringLiteral("id")),
        .email = in.optional<QString>(QStringLiteral("email")),
        .name = in.optional<QString>(QStringLiteral("name")),
        .isAnonymous = in.optional<bool>(QStringLiteral("isAnonymous")),
    };
}

void APIUser::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("id"), id);
    out.put(QStringLiteral("email"), email);
    out.put(QStringLiteral("name"), name);
    out.put(QStringLiteral("isAnonymous"), isAnonymous);
}

AuthSession::Session AuthSession::Session::fromJson(const json::ObjectReader& in)
{
    return {.expiresAt = in.optional<QDateTime>(QStringLiteral("expiresAt"))};
}

AuthSession AuthSession::fromJson(const json::ObjectReader& in)
{
    return {
        .session = in.optional<Session>(QStringLiteral("session")),
        .user = in.required<APIUser>(QStringLiteral("user")),
    };
}

void SocialSignInRequest::IDToken::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("token"), token);
    out.put(QStringLiteral("nonce"), nonce);
    out.put(QStringLiteral("accessToken"), accessToken);
}

void SocialSignInRequest::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("provider"), provider);
    out.put(QStringLiteral("idToken"), idToken);
}

SocialSignInResponse SocialSignInResponse::fromJson(const json::ObjectReader& in)
{
    return {
        .token = in.optional<QString>(QStringLiteral("token")),
        .user = in.optional<APIUser>(QStringLiteral("user")),
    };
}

AccountUsage AccountUsage::fromJson(const json::ObjectReader& in)
{
    return {.user = in.required<APIUser>(QStringLiteral("user"))};
}

void AccountUsage::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("user"), user);
}

} // namespace hf
