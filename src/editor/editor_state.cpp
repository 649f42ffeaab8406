#include "editor/editor_state.h"

#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "pipeline/formatting.h"
#include "platform/texts.h"

namespace hf {

bool EditorState::hasResult() const { return coordinator->currentResult().has_value(); }

QString EditorState::windowSubtitle() const
{
    const QString clock = clockText(coordinator->source() ? coordinator->source()->duration : 0.0);
    if (coordinator->isProcessing()) {
        if (coordinator->processingKind() == JobKind::full)
            return text("ui.subtitle.cleaning", "%@, cleaning", {clock});
        return text("ui.subtitle.previewing", "%@, making the preview", {clock});
    }
    if (coordinator->hasFullResult())
        return text("ui.subtitle.cleaned", "%@, cleaned", {clock});
    if (hasResult())
        return text("ui.subtitle.previewReady", "%@, preview ready", {clock});
    return clock;
}

QString EditorState::hearing() const
{
    const AuditionTrackMode audible =
        player->isComparing() ? AuditionTrackMode::original : player->selectedTrackMode();
    return text("ui.hearing", "Hearing: %@", {label(audible)});
}

std::optional<QString> EditorState::laneStatus() const
{
    // The stems' waveforms are read after the result is applied, which takes seconds for a long
    // video (a cleaned one reopened): the lanes say it is separated while they wait for them.
    if (hasResult() && !coordinator->stemEnvelopes())
        return text("ui.lane.drawingStems", "Separated, drawing the stems");
    if (!coordinator->isProcessing() || hasResult())
        return std::nullopt;
    return text("ui.lane.separating", "Separating, %@", {percentText(coordinator->progress().fractionCompleted)});
}

} // namespace hf
