#pragma once

// The JSON records of the account side of the backend: who the user is, what the session check
// answers, and the body and answer of a sign-in.

#include "platform/json.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <optional>
#include <utility>

namespace hf {

// The identity provider of a sign-in. The raw strings are also what the account state stores as
// the provider of the last sign-in. Any other string fails the record that holds it.
enum class AuthProvider { apple, google };

// The signed-in account. `isAnonymous` none is not the same as false.
struct APIUser {
    QString id;
    std::optional<QString> email;
    std::optional<QString> name;
    std::optional<bool> isAnonymous;

    static APIUser fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const APIUser&) const = default;
};

// Answer of GET /api/auth/get-session.
struct AuthSession {
    struct Session {
        std::optional<QDateTime> expiresAt;

        static Session fromJson(const json::ObjectReader& in);
        bool operator==(const Session&) const = default;
    };

    std::optional<Session> session;
    APIUser user;

    static AuthSession fromJson(const json::ObjectReader& in);
    bool operator==(const AuthSession&) const = default;
};

// Body of POST /api/auth/sign-in/social.
struct SocialSignInRequest {
    // The identity provider's credentials.
    struct IDToken {
        QString token;
        std::optional<QString> nonce;
        std::optional<QString> accessToken;

        void toJson(json::ObjectWriter& out) const;
        bool operator==(const IDToken&) const = default;
    };

    AuthProvider provider = AuthProvider::google;
    IDToken idToken;

    void toJson(json::ObjectWriter& out) const;
    bool operator==(const SocialSignInRequest&) const = default;
};

// Answer of the sign-in endpoints (anonymous, social) and of the web sign-in's redeem step.
struct SocialSignInResponse {
    std::optional<QString> token;
    std::optional<APIUser> user;

    static SocialSignInResponse fromJson(const json::ObjectReader& in);
    bool operator==(const SocialSignInResponse&) const = default;
};

// Answer of GET /v1/me; only the user is read.
struct AccountUsage {
    APIUser user;

    static AccountUsage fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const AccountUsage&) const = default;
};

} // namespace hf

template<>
struct hf::json::EnumCoding<hf::AuthProvider> {
    static constexpr std::array values{
        std::pair{AuthProvider::apple, "apple"},
        std::pair{AuthProvider::google, "google"},
    };
    static constexpr std::optional<AuthProvider> fallback = std::nullopt;
};
