#pragma once

#include "platform/json.h"

#include <QString>

#include <array>
#include <optional>
#include <utility>

namespace hf {

// The three separated parts of a soundtrack. `effects` carries effects and ambience together;
// the clean soundtrack is dialogue plus effects, and music is what gets removed.
enum class Stem { dialogue, music, effects };

inline constexpr std::array allStems{Stem::dialogue, Stem::music, Stem::effects};

namespace json {
template<>
struct EnumCoding<Stem> {
    static constexpr std::array values{std::pair{Stem::dialogue, "dialogue"},
                                       std::pair{Stem::music, "music"},
                                       std::pair{Stem::effects, "effects"}};
    static constexpr std::optional<Stem> fallback = std::nullopt;
};
} // namespace json

// "dialogue", "music" or "effects".
inline QString rawValue(Stem stem) { return json::rawValue(stem); }
// Exactly one of the three raw values (case-sensitive), else none.
inline std::optional<Stem> stemFromRawValue(QStringView raw) { return json::fromRawValue<Stem>(raw); }

} // namespace hf
