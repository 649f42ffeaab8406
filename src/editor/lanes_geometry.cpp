#include "editor/lanes_geometry.h"

#include "pipeline/formatting.h"
#include "platform/texts.h"

#include <QEasingCurve>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

namespace hf {

namespace {

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }
float clamp01f(float v) { return std::clamp(v, 0.0f, 1.0f); }
double easeOutCubic(double p) { return 1 - std::pow(1 - p, 3); }

} // namespace

// ---- Zoom levels and the visible window

std::vector<double> zoomLevels(double duration)
{
    std::vector<double> levels;
    for (double span : {10.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0})
        if (span < duration - 1)
            levels.push_back(span);
    levels.push_back(std::max(duration, 1.0));
    return levels;
}

int defaultZoomIndex(const std::vector<double>& levels)
{
    const auto thirty = std::find(levels.begin(), levels.end(), 30.0);
    if (thirty != levels.end())
        return int(thirty - levels.begin());
    return int(levels.size()) - 1;
}

LaneTimeline laneTimeline(const LaneTimelineInputs& in)
{
    const bool hasResult = in.resultDuration.has_value();
    const double resultDuration = in.resultDuration.value_or(0);
    const double duration = std::max({in.sourceDuration, resultDuration, 1.0});
    const std::vector<double> levels = zoomLevels(duration);
    int index = in.zoomIndex.value_or(defaultZoomIndex(levels));
    index = std::min(std::max(index, 0), int(levels.size()) - 1);
    const double span = levels[size_t(index)];
    const double t = hasResult ? in.currentTime : 0;
    double start = span * std::trunc(t / span);
    if (!std::isfinite(start))
        start = 0;
    start = std::max(std::min(start, duration - span), 0.0);

    LaneTimeline timeline;
    timeline.visibleStart = start;
    timeline.visibleEnd = start + span;
    timeline.separatedEnd = resultDuration;
    timeline.videoDuration = duration;
    timeline.playable = hasResult ? in.totalDuration : 0;
    return timeline;
}

// ---- The ruler

std::vector<double> rulerTicks(double start, double end)
{
    if (!(end - start > 0))
        return {start};
    double step = 3600;
    for (double candidate : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 900.0, 1800.0, 3600.0})
        if ((end - start) / candidate <= 4.5) {
            step = candidate;
            break;
        }
    std::vector<double> ticks{start};
    for (double t = step + step * std::floor(start / step); t < end - 0.35 * step; t += step)
        if (t >= start + 0.35 * step)
            ticks.push_back(t);
    ticks.push_back(end);
    return ticks;
}

// ---- Geometry of the strip

LaneGeometry laneGeometry(LaneLayout layout, double width, const LaneMetrics& metrics, double headerHeight)
{
    LaneGeometry g;
    const double gutter = metrics.gutter(layout);
    const double inset = LaneMetrics::trailingInset(layout);
    const double laneWidth = std::max(width - gutter - inset, 0.0);
    const double laneHeight = metrics.laneHeight(layout);
    const double ruler = metrics.rulerHeight(layout);
    g.head = QRectF(gutter, 0, laneWidth, ruler);
    double y = ruler;
    for (size_t i = 0; i < 3; ++i) {
        if (layout == LaneLayout::regular) {
            const double row = std::max(laneHeight, headerHeight);
            g.headers[i] = QRectF(0, y, gutter, row);
            g.lanes[i] = QRectF(gutter, y + (row - laneHeight) / 2, laneWidth, laneHeight);
            y += row;
        } else {
            y += 10;
            g.headers[i] = QRectF(0, y, std::max(width, 0.0), headerHeight);
            y += headerHeight + 6;
            g.lanes[i] = QRectF(0, y, laneWidth, laneHeight);
            y += laneHeight + 10;
        }
        const QRectF& header = g.headers[i];
        const double solo = metrics.soloFrame();
        g.soloButtons[i] = QRectF(header.right() - 6 - solo, header.center().y() - solo / 2, solo, solo);
        if (i < 2) {
            g.dividers[i] = QRectF(gutter, y, std::max(width - gutter, 0.0), 1);
            y += 1;
        }
    }
    g.height = y;
    return g;
}

LaneSlots slotsOf(const LaneGeometry& geometry)
{
    LaneSlots laneSlots;
    laneSlots.head = geometry.head;
    for (size_t i = 0; i < 3; ++i)
        laneSlots.lanes[i] = geometry.lanes[i];
    return laneSlots;
}

std::optional<QRectF> lanesArea(const LaneSlots& laneSlots)
{
    std::vector<QRectF> lanes;
    for (const auto& lane : laneSlots.lanes)
        if (lane)
            lanes.push_back(*lane);
    if (lanes.empty())
        return std::nullopt;
    const double top = laneSlots.head ? laneSlots.head->top() : lanes.front().top();
    return QRectF(lanes.front().left(), top, lanes.front().width(), lanes.back().bottom() - top);
}

double timeToX(double seconds, const LaneTimeline& timeline, const QRectF& area)
{
    return area.left() + (seconds - timeline.visibleStart) / std::max(timeline.span(), 0.001) * area.width();
}

double xToTime(double x, const LaneTimeline& timeline, const QRectF& area)
{
    const double clamped = std::clamp(x, area.left(), std::max(area.left(), area.right()));
    const double fraction = (clamped - area.left()) / std::max(area.width(), 1.0);
    const double t = timeline.visibleStart + fraction * std::max(timeline.span(), 0.001);
    return std::max(std::min(t, timeline.playable), 0.0);
}

// ---- Mix per lane

double LaneMix::gain(Stem stem) const
{
    switch (stem) {
    case Stem::dialogue: return dialogue;
    case Stem::music: return music;
    case Stem::effects: return effects;
    }
    return 0;
}

double LaneMix::alpha(Stem stem) const
{
    switch (stem) {
    case Stem::dialogue: return dialogueAlpha;
    case Stem::music: return musicAlpha;
    case Stem::effects: return effectsAlpha;
    }
    return 0;
}

LaneMix LaneMix::interpolated(const LaneMix& to, double f) const
{
    auto mixOf = [f](double a, double b) { return a + (b - a) * f; };
    return {mixOf(dialogue, to.dialogue),           mixOf(music, to.music),
            mixOf(effects, to.effects),             mixOf(dialogueAlpha, to.dialogueAlpha),
            mixOf(musicAlpha, to.musicAlpha),       mixOf(effectsAlpha, to.effectsAlpha)};
}

LaneMix laneMix(AuditionTrackMode mode, double ambience)
{
    switch (mode) {
    case AuditionTrackMode::hushframed: return {1, 0, ambience, 1, 1, 1};
    case AuditionTrackMode::original: return {1, 1, 1, 1, 1, 1};
    case AuditionTrackMode::isolatedMusic: return {1, 1, 1, 0.3, 1, 0.3};
    case AuditionTrackMode::isolatedDialogue: return {1, 1, 1, 1, 0.3, 0.3};
    case AuditionTrackMode::isolatedEffects: return {1, 1, 1, 0.3, 0.3, 1};
    }
    return {};
}

QString laneStatusText(Stem stem, bool separated, AuditionTrackMode mode, double ambience,
                       const std::optional<QString>& workingStatus)
{
    if (!separated)
        return workingStatus ? *workingStatus : text("ui.lane.notSeparated", "Not separated yet");
    switch (mode) {
    case AuditionTrackMode::hushframed:
        switch (stem) {
        case Stem::dialogue: return text("ui.lane.kept", "Kept");
        case Stem::music: return text("ui.lane.removed", "Removed");
        case Stem::effects: return percentText(ambience);
        }
        break;
    case AuditionTrackMode::original: return text("ui.lane.original", "Original");
    case AuditionTrackMode::isolatedMusic:
    case AuditionTrackMode::isolatedDialogue:
    case AuditionTrackMode::isolatedEffects:
        return mode == soloMode(stem) ? text("ui.lane.solo", "Solo") : text("ui.lane.muted", "Muted");
    }
    return {};
}

// ---- The split animation

double splitDuration(bool reduceMotion) { return reduceMotion ? 0.4 : 1.1; }

double splitProgressAt(double elapsed, bool reduceMotion)
{
    const double moving = elapsed - splitDelay;
    if (!(moving > 0))
        return 0;
    const double linear = clamp01(moving / splitDuration(reduceMotion));
    if (!reduceMotion)
        return linear;
    // The standard ease-in-out curve: a cubic Bézier through (0.42, 0) and (0.58, 1).
    static const QEasingCurve easeInOut = [] {
        QEasingCurve curve(QEasingCurve::BezierSpline);
        curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
        return curve;
    }();
    return easeInOut.valueForProgress(linear);
}

double splitHeaderOpacity(double split) { return clamp01((split - 0.25) / 0.35); }

double splitFadingOpacity(double split, bool crossfade)
{
    const double fade = 1 - clamp01((split - 0.16) / 0.3);
    if (!(fade > 0.001))
        return 0;
    const double a = crossfade ? 1 - split : fade;
    return a > 0.001 ? a : 0;
}

SplitLane splitLane(int index, double split, bool crossfade, const QRectF& band, const QRectF& row)
{
    SplitLane lane;
    if (crossfade) {
        if (split <= 0.001)
            return lane;
        lane.progress = split;
        lane.centreY = row.center().y();
        lane.half = 0.5 * row.height();
        lane.drawn = true;
        return lane;
    }
    const double p = clamp01((split - (0.18 + 0.08 * index)) / 0.3);
    lane.progress = easeOutCubic(p);
    if (lane.progress <= 0.001)
        return lane;
    const double bandHalf = 0.46 * band.height();
    lane.centreY = band.center().y() + lane.progress * (row.center().y() - band.center().y());
    lane.half = bandHalf + lane.progress * (0.5 * row.height() - bandHalf);
    lane.drawn = true;
    return lane;
}

double splitMusicGain(double split, double mixedGain, bool crossfade)
{
    if (!(split < 1) || crossfade)
        return mixedGain;
    const double ease = easeOutCubic(clamp01((split - 0.62) / 0.28));
    return 1 - (1 - mixedGain) * ease;
}

// ---- Drawn envelope columns

EnvelopeColumn envelopeColumn(const std::array<float, 4>& maxima, double gain, float reference, double half,
                              double step)
{
    const float g = float(gain);
    EnvelopeColumn column;
    column.up = std::max(double(0.7f * std::pow(clamp01f(maxima[2] * g / reference), 0.85f)) * half, step);
    column.down = std::max(double(0.7f * std::pow(clamp01f(maxima[3] * g / reference), 0.85f)) * half, step);
    column.body = double(0.7f * std::pow(clamp01f(1.2f * maxima[1] * g / reference), 0.85f)) * half;
    return column;
}

// ---- Animation clock

AnimationClock steadyAnimationClock()
{
    return [] {
        static QElapsedTimer timer = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        return double(timer.nsecsElapsed()) / 1e9;
    };
}

} // namespace hf
