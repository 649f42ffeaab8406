#pragma once

// The song check a job may carry: what the backend found in the job's audio and, once the clean
// soundtrack exists, whether each song is still there. The encoded form is also what the song
// check display and the recent videos keep in their saved data.

#include "platform/json.h"

#include <QString>

#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace hf {

enum class ClaimCheckStatus { checking, clear, match, notChecked, error, unknown };

// What became of one song in the clean soundtrack.
enum class ClaimCheckVerdict { gone, ambienceZero, stillThere, unknown };

// One stretch of the soundtrack in which a song was detected, in seconds from the start.
struct ClaimCheckRange {
    double start = 0;
    double end = 0;

    static ClaimCheckRange fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const ClaimCheckRange&) const = default;
};

// One detection of a song.
struct ClaimCheckMatch {
    QString title;
    std::optional<QString> artist;
    std::optional<QString> isrc;
    std::optional<double> score;
    std::optional<double> offsetSeconds;

    static ClaimCheckMatch fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const ClaimCheckMatch&) const = default;
};

// One song with every stretch it was detected in. `ranges` and `verdict` always have a value:
// absent or null on input they become the empty list and `unknown`, and both are always written.
struct ClaimCheckSong {
    QString title;
    std::optional<QString> artist;
    std::optional<QString> isrc;
    std::optional<double> score;
    std::vector<ClaimCheckRange> ranges;
    ClaimCheckVerdict verdict = ClaimCheckVerdict::unknown;

    static ClaimCheckSong fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const ClaimCheckSong&) const = default;
};

// The song check of one job. Absent lists stay none here (not empty).
struct ClaimCheck {
    ClaimCheckStatus status = ClaimCheckStatus::unknown;
    std::optional<QString> provider;
    std::optional<qint64> checkedSegments;
    std::optional<std::vector<ClaimCheckMatch>> matches;
    std::optional<bool> clearWithoutAmbience;
    std::optional<std::vector<ClaimCheckSong>> songs;

    static ClaimCheck fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const ClaimCheck&) const = default;
};

} // namespace hf

template<>
struct hf::json::EnumCoding<hf::ClaimCheckStatus> {
    static constexpr std::array values{
        std::pair{ClaimCheckStatus::checking, "checking"},
        std::pair{ClaimCheckStatus::clear, "clear"},
        std::pair{ClaimCheckStatus::match, "match"},
        std::pair{ClaimCheckStatus::notChecked, "not_checked"},
        std::pair{ClaimCheckStatus::error, "error"},
        std::pair{ClaimCheckStatus::unknown, "unknown"},
    };
    static constexpr std::optional<ClaimCheckStatus> fallback = ClaimCheckStatus::unknown;
};

// These raw strings are lower camel case, unlike the status's "not_checked".
template<>
struct hf::json::EnumCoding<hf::ClaimCheckVerdict> {
    static constexpr std::array values{
        std::pair{ClaimCheckVerdict::gone, "gone"},
        std::pair{ClaimCheckVerdict::ambienceZero, "ambienceZero"},
        std::pair{ClaimCheckVerdict::stillThere, "stillThere"},
        std::pair{ClaimCheckVerdict::unknown, "unknown"},
    };
    static constexpr std::optional<ClaimCheckVerdict> fallback = ClaimCheckVerdict::unknown;
};
