#include "backend/handoff_records.h"

#include "backend/job_records.h"

namespace hf {

void HandoffRequest::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("provider"), provider);
    out.put(QStringLiteral("codeChallenge"), codeChallenge);
}

HandoffResponse HandoffResponse::fromJson(const json::ObjectReader& in)
{
    HandoffResponse response{in.required<QUrl>(QStringLiteral("url"))};
    if (!isWebUrl(response.url))
        throw DecodingError(DecodingError::Kind::dataCorrupted, json::joinPath(in.path(), QStringLiteral("url")),
                            QStringLiteral("Not a web address: ") + response.url.toString());
    return response;
}

void HandoffRedeemRequest::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("code"), code);
    out.put(QStringLiteral("codeVerifier"), codeVerifier);
}

} // namespace hf
