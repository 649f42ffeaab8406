#include "pipeline/server_wait.h"

#include "backend/api_error.h"
#include "pipeline/audio_uploader.h"
#include "platform/async.h"

#include <algorithm>

namespace hf {

WaitClock WaitClock::system()
{
    return WaitClock{[] { return std::chrono::steady_clock::now(); },
                     [](std::chrono::milliseconds duration, std::stop_token stop) {
                         return sleepFor(duration, std::move(stop));
                     }};
}

bool isOutage(const std::exception& error)
{
    if (const auto* api = dynamic_cast<const APIError*>(&error)) {
        if (api->kind() == APIError::Case::network)
            return true;
        // A 2xx that failed is a success answer the server broke (see APIError::brokenAnswer); a
        // 429 asks for a pause, not for the work to end.
        return api->kind() == APIError::Case::server
            && (api->status() == 429 || api->status() == 502 || api->status() == 503 || api->status() == 504
                || (api->status() >= 200 && api->status() <= 299));
    }
    if (const auto* upload = dynamic_cast<const UploadError*>(&error))
        return upload->errorCase() == UploadError::Case::interrupted;
    return false;
}

namespace {

enum class OutageKind { unreachable, faulty, busy, slow };

OutageKind outageKind(const std::exception& error)
{
    const auto* api = dynamic_cast<const APIError*>(&error);
    if (!api || !isOutage(error))
        return OutageKind::unreachable;
    if (api->kind() == APIError::Case::network)
        return api->isCutOff() ? OutageKind::faulty : api->isTooSlow() ? OutageKind::slow : OutageKind::unreachable;
    if (api->status() == 429)
        return OutageKind::busy;
    return api->status() >= 200 && api->status() <= 299 ? OutageKind::faulty : OutageKind::unreachable;
}

} // namespace

QString outageText(const std::exception& error, const OutageTexts& texts)
{
    switch (outageKind(error)) {
    case OutageKind::faulty:
        return texts.faulty;
    case OutageKind::busy:
        return texts.busy;
    case OutageKind::slow:
        if (!texts.slow.isEmpty())
            return texts.slow;
        break;
    case OutageKind::unreachable:
        break;
    }
    return texts.unreachable;
}

QString outageDescription(const std::exception& error)
{
    const auto* api = dynamic_cast<const APIError*>(&error);
    if (api && api->kind() == APIError::Case::network && api->isCutOff())
        return APIError::server(APIErrorCode::internal, std::nullopt, 500).localizedDescription();
    return describe(error);
}

std::chrono::milliseconds OutageBackoff::delay(int tries) const
{
    std::chrono::milliseconds wait = first;
    for (int i = 0; i < tries && wait < cap; ++i)
        wait *= 2;
    return std::min(wait, cap);
}

std::chrono::milliseconds OutageBackoff::pauseAfter(int tries, const std::exception& error, const OutageBound& bound,
                                                    std::chrono::steady_clock::time_point now) const
{
    std::chrono::milliseconds pause = delay(tries);
    if (const auto* refusal = dynamic_cast<const APIError*>(&error); refusal && refusal->retryAfter())
        pause = std::max<std::chrono::milliseconds>(pause, *refusal->retryAfter());
    return bound.pauseWithin(pause, now);
}

} // namespace hf
