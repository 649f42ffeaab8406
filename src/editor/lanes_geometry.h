#pragma once

// The plain arithmetic of the stem lanes: their layout and rectangles, the visible time window and
// its zoom levels, the ruler's ticks, the drawn mix of each lane, the split animation's values and
// the columns of a drawn envelope. No widgets here, so every rule can be checked on its own.

#include "player/audition_track_mode.h"
#include "pipeline/stem.h"

#include <QRectF>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

namespace hf {

// How the lanes are arranged: headers in a gutter left of the lanes, or above them.
enum class LaneLayout { regular, stacked };

// The stretch of the video the lanes show, and how much of it exists in which form.
struct LaneTimeline {
    double visibleStart = 0;   // seconds shown at the lanes' left edge
    double visibleEnd = 1;     // ...and at their right edge
    double separatedEnd = 0;   // seconds up to which stems exist; 0 without a result
    double videoDuration = 1;  // the video's length in seconds
    double playable = 0;       // the latest time a seek may reach

    bool operator==(const LaneTimeline&) const = default;
    double span() const { return visibleEnd - visibleStart; }
};

// ---- Zoom levels and the visible window

// The spans (seconds, ascending) the lanes can show for a video of `duration` seconds: each of
// 10, 30, 60, 120, 300, 600 and 1800 shorter than duration - 1, then the whole video.
std::vector<double> zoomLevels(double duration);
// The 30-second span when the video has it, else the whole video.
int defaultZoomIndex(const std::vector<double>& levels);

// What the window is computed from; plain values read from the coordinator and the player.
struct LaneTimelineInputs {
    double sourceDuration = 0;              // 0 without an open video
    std::optional<double> resultDuration;   // none without a result
    double currentTime = 0;                 // the player's clock
    double totalDuration = 0;               // the player's length of the loaded result
    std::optional<int> zoomIndex;           // none for the default zoom
};

// The page of the chosen span that holds the playhead, pinned to end at the video's end.
LaneTimeline laneTimeline(const LaneTimelineInputs& inputs);

// ---- The ruler

// The times the ruler labels: the window's ends and the multiples of a round step between them;
// an inner multiple closer than 0.35 step to either end is left out, so labels never overlap.
std::vector<double> rulerTicks(double start, double end);

// ---- Geometry of the strip

// Sizes that follow the text size (scale 1 at the default text size): the gutter and rows with the
// subheadline text, the ruler and the solo button with the footnote text.
struct LaneMetrics {
    double scale = 1.0;
    double footnoteScale = 1.0;
    double regularGutter() const { return 214 * scale; }
    double regularRow() const { return 58 * scale; }
    double compactRow() const { return 46 * scale; }
    double rulerHeight(LaneLayout layout) const { return layout == LaneLayout::regular ? 28 * footnoteScale : 16; }
    double gutter(LaneLayout layout) const { return layout == LaneLayout::regular ? regularGutter() : 0; }
    double laneHeight(LaneLayout layout) const { return layout == LaneLayout::regular ? regularRow() : compactRow(); }
    static double trailingInset(LaneLayout layout) { return layout == LaneLayout::regular ? 20 : 0; }
    double soloSize() const { return 28 * footnoteScale; }
    // The solo button's frame: 44 for clicks, and never smaller than its square with the outline.
    double soloFrame() const { return std::max(44.0, std::ceil(soloSize()) + 2); }
};

// Where everything of the strip lies, in the strip's own coordinates.
struct LaneGeometry {
    QRectF head;                       // the ruler
    std::array<QRectF, 3> lanes;       // by stem, in the order of allStems
    std::array<QRectF, 3> headers;     // the header of each lane
    std::array<QRectF, 3> soloButtons; // each header's solo button: its frame (soloFrame()) square
    std::array<QRectF, 2> dividers;    // the lines after the dialogue and the music rows
    double height = 0;                 // the strip's whole height

    const QRectF& lane(Stem stem) const { return lanes[size_t(stem)]; }
};

// Lays the strip out `width` wide; `headerHeight` is the height the header's texts need.
LaneGeometry laneGeometry(LaneLayout layout, double width, const LaneMetrics& metrics, double headerHeight);

// The rectangle over the ruler and all lanes (drawing, playhead and drags use it); none without
// lanes.
struct LaneSlots {
    std::optional<QRectF> head;
    std::array<std::optional<QRectF>, 3> lanes;
    bool operator==(const LaneSlots&) const = default;
};
std::optional<QRectF> lanesArea(const LaneSlots& laneSlots);
LaneSlots slotsOf(const LaneGeometry& geometry);

// Time to x over `area`, not clamped.
double timeToX(double seconds, const LaneTimeline& timeline, const QRectF& area);
// x to a time a drag seeks to: clamped to the area, then to 0...playable.
double xToTime(double x, const LaneTimeline& timeline, const QRectF& area);

// ---- Mix per lane

// The gain applied to each lane's envelope and the opacity of each lane.
struct LaneMix {
    double dialogue = 1;
    double music = 1;
    double effects = 1;
    double dialogueAlpha = 1;
    double musicAlpha = 1;
    double effectsAlpha = 1;

    bool operator==(const LaneMix&) const = default;
    double gain(Stem stem) const;
    double alpha(Stem stem) const;
    // The mix `fraction` of the way from this one to `to`.
    LaneMix interpolated(const LaneMix& to, double fraction) const;
};

// Clean: music silent, effects at the ambience level. Original: everything. A single stem: all
// gains 1, the two other lanes dimmed to 0.3.
LaneMix laneMix(AuditionTrackMode mode, double ambience);

// The status text of a lane's header: "Kept", "Removed", the ambience's percent, "Original",
// "Solo" or "Muted" once separated; otherwise the working status or "Not separated yet".
QString laneStatusText(Stem stem, bool separated, AuditionTrackMode mode, double ambience,
                       const std::optional<QString>& workingStatus);

// ---- The split animation

// How long the split waits before it moves, and how long it moves.
inline constexpr double splitDelay = 0.12;
double splitDuration(bool reduceMotion);
// The split progress `elapsed` seconds after the split began: 0 during the delay, then rising to
// 1 linearly (ease-in-out with Reduce Motion).
double splitProgressAt(double elapsed, bool reduceMotion);

// Opacity of a header as the lanes split out: fades in between split 0.25 and 0.6.
double splitHeaderOpacity(double split);
// Opacity of the unseparated waveform that fades while the lanes grow out of it; 0 once gone.
double splitFadingOpacity(double split, bool crossfade);

// Where lane `index` (its position among the drawn lanes) is drawn at `split`.
struct SplitLane {
    double progress = 0;   // 0 at the band's centre line, 1 at rest in its row
    double centreY = 0;
    double half = 0;       // half height of its waveform
    bool drawn = false;
};
SplitLane splitLane(int index, double split, bool crossfade, const QRectF& band, const QRectF& row);
// The music lane's shown gain: full while it grows out, falling to its mixed gain late in the split.
double splitMusicGain(double split, double mixedGain, bool crossfade);

// ---- Drawn envelope columns

// One column of an envelope: how far it reaches above and below the centre line, and the height
// of its loudness core each way (drawn only when thicker than one device pixel).
struct EnvelopeColumn {
    double up = 0;
    double down = 0;
    double body = 0;
};
// From the column's maxima (peak, rms, high, low), the lane's gain and reference, the half height
// and the device pixel step in points.
EnvelopeColumn envelopeColumn(const std::array<float, 4>& maxima, double gain, float reference, double half,
                              double step);

// ---- Animation clock

// Seconds on a monotonic clock; tests hand in their own to drive animations.
using AnimationClock = std::function<double()>;
AnimationClock steadyAnimationClock();

} // namespace hf
