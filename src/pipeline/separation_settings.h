#pragma once

#include "platform/json.h"

#include <array>
#include <optional>
#include <utility>

namespace hf {

class SettingsStore;

// The format of exported clean soundtracks.
enum class AudioQuality { aac, losslessPCM };

inline constexpr std::array allAudioQualities{AudioQuality::aac, AudioQuality::losslessPCM};

namespace json {
template<>
struct EnumCoding<AudioQuality> {
    static constexpr std::array values{std::pair{AudioQuality::aac, "aac"},
                                       std::pair{AudioQuality::losslessPCM, "losslessPCM"}};
    static constexpr std::optional<AudioQuality> fallback = std::nullopt;
};
} // namespace json

// The user's processing settings, kept between launches under "hf_separation_settings".
struct SeparationSettings {
    static constexpr const char* storageKey = "hf_separation_settings";

    double ambience = 0.75;   // gain of the effects-and-ambience stem in the clean mix
    AudioQuality audioQuality = AudioQuality::aac;
    bool checkSongsAutomatically = true;

    bool operator==(const SeparationSettings&) const = default;

    // Every key is optional (absent or null gives its default); a present value of the wrong
    // type, or an unknown quality, fails the whole decoding.
    static SeparationSettings fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;

    // Always complete: nothing stored, or anything that does not decode, gives the defaults.
    static SeparationSettings load(const SettingsStore& store);
    void save(SettingsStore& store) const;
};

} // namespace hf
