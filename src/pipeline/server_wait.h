#pragma once

// Waiting for servers that do not answer: which failures mean the servers are out of reach, how
// long to wait before trying again, and the clock those waits run on.

#include "platform/errors.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>

namespace hf {

// The clock of the waits for the server. Tests give one whose sleeps return at once and whose
// time moves by what was slept, to see every wait a loop makes.
struct WaitClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    // Waits `duration`; throws hf::Cancelled once `stop` is requested.
    std::function<QCoro::Task<void>(std::chrono::milliseconds duration, std::stop_token stop)> sleep;

    static WaitClock system();
};

// The servers stayed out of reach through the tries of a piece of work for longer than it may
// wait: the work ends for good (this is no outage to wait for), told as its last try failed.
class OutageTooLong : public Error {
public:
    explicit OutageTooLong(QString description) : m_description(std::move(description)) {}
    QString localizedDescription() const override { return m_description; }

private:
    QString m_description;
};

// The one bound on how long the servers may stay out of reach, shared by the tries of one piece of
// work (a clean, and the tries after it that go on with it): the engine sets it when a try first
// loses the servers, and moves it on with every usable answer a later try can build on. Past it, a
// try that loses the servers again is the last, and the waits of a try end there.
struct OutageBound {
    std::optional<std::chrono::steady_clock::time_point> deadline;

    // A pause before the next try, begun at `now`, cut so that it ends by the bound at the latest
    // (none once past it); as it is while no try has lost the servers yet.
    std::chrono::milliseconds pauseWithin(std::chrono::milliseconds pause, std::chrono::steady_clock::time_point now) const
    {
        if (!deadline)
            return pause;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now);
        return std::clamp(left, std::chrono::milliseconds(0), pause);
    }
};

// A failure that says the servers could not be reached, a gateway could not reach them (502,
// 503, 504), they are too busy for now (429) or an answer came broken, not that this work cannot
// be done: trying again later may succeed.
bool isOutage(const std::exception& error);

// The words for each kind of outage: nothing answered (no answer at all, a gateway's refusal, a
// transfer that stalled), the servers answered but not usably (a success that came broken, an
// answer cut off after it began), they asked for a pause (429), or a download went on arriving
// but too slowly. `outageText` picks the one that tells `error`; a failure that is no outage
// counts as unreachable, and so does a slow download where no words for it are given.
struct OutageTexts {
    QString unreachable;
    QString faulty;
    QString busy;
    QString slow = {};
};
QString outageText(const std::exception& error, const OutageTexts& texts);

// The words that end work whose last try failed for an outage: the failure's own, but for an
// answer cut off after it began, which is the servers' fault and told as such (the servers were
// reached).
QString outageDescription(const std::exception& error);

// Tries against servers out of reach: the wait before each new try doubles from `first` up to
// `cap`; after `maxTries` tries the work gives up.
struct OutageBackoff {
    std::chrono::milliseconds first{std::chrono::seconds(5)};
    std::chrono::milliseconds cap{std::chrono::seconds(60)};
    int maxTries = 6;

    // The wait before try `tries` + 1, `tries` (from 0) having failed so far.
    std::chrono::milliseconds delay(int tries) const;
    // The pause after try `tries` + 1 failed with `error`, begun at `now`: that delay, or as long
    // as the servers asked (Retry-After) when that is longer, cut to end by `bound`.
    std::chrono::milliseconds pauseAfter(int tries, const std::exception& error, const OutageBound& bound,
                                         std::chrono::steady_clock::time_point now) const;
};

} // namespace hf
