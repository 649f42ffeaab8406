#pragma once

#include "backend/account_records.h"
#include "platform/json.h"

#include <QString>
#include <QUrl>

namespace hf {

// Body of POST /v1/auth/handoff: which provider's page to open, and the proof key's challenge.
struct HandoffRequest {
    AuthProvider provider = AuthProvider::apple;
    QString codeChallenge;

    void toJson(json::ObjectWriter& out) const;
    bool operator==(const HandoffRequest&) const = default;
};

// Answer of the handoff start: the sign-in page to open (http or https only).
struct HandoffResponse {
    QUrl url;

    static HandoffResponse fromJson(const json::ObjectReader& in);
    bool operator==(const HandoffResponse&) const = default;
};

// Body of POST /v1/auth/handoff/redeem.
struct HandoffRedeemRequest {
    QString code;
    QString codeVerifier;

    void toJson(json::ObjectWriter& out) const;
    bool operator==(const HandoffRedeemRequest&) const = default;
};

} // namespace hf
