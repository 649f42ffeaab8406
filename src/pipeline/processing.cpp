#include "pipeline/processing.h"

#include "platform/texts.h"

#include <algorithm>

namespace hf {

QString ProcessingStage::shortStatus() const
{
    switch (m_kind) {
    case Kind::idle:
        return text("status.short.waiting", "waiting");
    case Kind::extractingAudio:
        return text("status.short.reading", "reading audio");
    case Kind::uploading:
        return text("status.short.uploading", "uploading audio");
    case Kind::queued:
        return text("status.short.queued", "waiting for a server");
    case Kind::separating:
        return text("status.short.separating", "separating");
    case Kind::downloading:
        return text("status.short.downloading", "downloading");
    case Kind::mixing:
    case Kind::remuxingVideo:
        return text("status.short.finishing", "finishing");
    case Kind::completed:
        return text("status.short.cleaned", "cleaned");
    case Kind::failed:
        return text("status.short.failed", "failed");
    }
    return {};
}

namespace {

double clamp01(double value)
{
    return value > 1.0 ? 1.0 : (value > 0.0 ? value : 0.0);
}

// At least one second (NaN too).
double atLeastASecond(double seconds)
{
    return seconds > 1.0 ? seconds : 1.0;
}

// The upload, the wait for a server, the separation and the download of the stems together:
// about a second per 50 s of sound.
double expectedSeparationSeconds(double soundSeconds)
{
    return atLeastASecond(soundSeconds) / 50.0;
}

} // namespace

double expectedMixSeconds(double soundSeconds)
{
    return atLeastASecond(soundSeconds) / 75.0;
}

double expectedCopySeconds(qint64 videoBytes, double videoSeconds)
{
    return double(std::max<qint64>(videoBytes, 1)) / 1e9 + atLeastASecond(videoSeconds) / 1000.0;
}

CleanProgressPlan::CleanProgressPlan(double soundSeconds, std::optional<qint64> videoBytes)
{
    const double separation = expectedSeparationSeconds(soundSeconds);
    const double mix = expectedMixSeconds(soundSeconds);
    const double copy = videoBytes ? expectedCopySeconds(*videoBytes, soundSeconds) : 0.0;
    const double whole = separation + mix + copy;
    m_separationEnd = separation / whole;
    m_mixEnd = (separation + mix) / whole;
}

double CleanProgressPlan::separating(double fraction) const
{
    return m_separationEnd * clamp01(fraction);
}

double CleanProgressPlan::mixing(double fraction) const
{
    return m_separationEnd + (m_mixEnd - m_separationEnd) * clamp01(fraction);
}

double CleanProgressPlan::copying(double fraction) const
{
    return m_mixEnd + (1.0 - m_mixEnd) * clamp01(fraction);
}

} // namespace hf
