#pragma once

// What the user hears in the audition player: the clean mix, the original soundtrack or one stem.

#include "pipeline/stem.h"

#include <QString>

#include <array>
#include <optional>

namespace hf {

enum class AuditionTrackMode { hushframed, original, isolatedMusic, isolatedDialogue, isolatedEffects };

inline constexpr std::array allAuditionTrackModes{AuditionTrackMode::hushframed, AuditionTrackMode::original,
                                                  AuditionTrackMode::isolatedMusic,
                                                  AuditionTrackMode::isolatedDialogue,
                                                  AuditionTrackMode::isolatedEffects};

// "Clean", "Original", "Music Only", "Dialogue Only" or "Effects Only".
QString rawValue(AuditionTrackMode mode);
std::optional<AuditionTrackMode> auditionTrackModeFromRawValue(QStringView raw);
// The localized name of the track, as the editor shows it.
QString label(AuditionTrackMode mode);
// The mode that plays `stem` alone.
AuditionTrackMode soloMode(Stem stem);

} // namespace hf
