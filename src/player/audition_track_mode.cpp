#include "player/audition_track_mode.h"

#include "platform/texts.h"

namespace hf {

QString rawValue(AuditionTrackMode mode)
{
    switch (mode) {
    case AuditionTrackMode::hushframed: return QStringLiteral("Clean");
    case AuditionTrackMode::original: return QStringLiteral("Original");
    case AuditionTrackMode::isolatedMusic: return QStringLiteral("Music Only");
    case AuditionTrackMode::isolatedDialogue: return QStringLiteral("Dialogue Only");
    case AuditionTrackMode::isolatedEffects: return QStringLiteral("Effects Only");
    }
    return {};
}

std::optional<AuditionTrackMode> auditionTrackModeFromRawValue(QStringView raw)
{
    for (AuditionTrackMode mode : allAuditionTrackModes)
        if (raw == rawValue(mode))
            return mode;
    return std::nullopt;
}

QString label(AuditionTrackMode mode)
{
    switch (mode) {
    case AuditionTrackMode::hushframed: return text("ui.track.clean", "Clean");
    case AuditionTrackMode::original: return text("ui.track.original", "Original");
    case AuditionTrackMode::isolatedMusic: return text("ui.track.musicOnly", "Music only");
    case AuditionTrackMode::isolatedDialogue: return text("ui.track.dialogueOnly", "Dialogue only");
    case AuditionTrackMode::isolatedEffects: return text("ui.track.effectsOnly", "Effects and ambience only");
    }
    return {};
}

AuditionTrackMode soloMode(Stem stem)
{
    switch (stem) {
    case Stem::dialogue: return AuditionTrackMode::isolatedDialogue;
    case Stem::music: return AuditionTrackMode::isolatedMusic;
    case Stem::effects: return AuditionTrackMode::isolatedEffects;
    }
    return AuditionTrackMode::hushframed;
}

} // namespace hf
