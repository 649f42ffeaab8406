// The stem lanes on a 3-hour result:
//  1. one full drawing pass of the band, 2560 device pixels wide (1280 points at two device pixels
//     per point), at each zoom level, separated and unseparated;
//  2. the cost of one frame while the playhead moves during playback (a tick every 0.05 s): the
//     strip is given the new time and repaints, and what it repaints is measured, as is a frame in
//     which the page turns.
// Beside the wall times: the process's CPU time over the same passes and frames (a mean, as the
// kernel counts it too coarsely for one pass), and the load average before and after.
// Usage: bench_lanes [frames of playback]

#include "bench_measure.h"
#include "editor/lanes_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

using namespace hf;

namespace {

constexpr double resultSeconds = 3 * 3600;

// An envelope with the shape of a soundtrack: loudness that drifts, with bursts and pauses.
SoundtrackEnvelope syntheticEnvelope(unsigned seed, float level)
{
    const size_t n = size_t(resultSeconds * SoundtrackEnvelope::bucketsPerSecond);
    SoundtrackEnvelope e;
    e.peaks.resize(n);
    e.rms.resize(n);
    e.highs.resize(n);
    e.lows.resize(n);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> jitter(0.6f, 1.0f);
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / SoundtrackEnvelope::bucketsPerSecond;
        const float swell = float(0.5 + 0.5 * std::sin(t * 0.37 + seed)) * (std::fmod(t, 7.0) < 5.5 ? 1.0f : 0.1f);
        const float peak = level * swell * jitter(random);
        e.peaks[i] = peak;
        e.rms[i] = peak * 0.45f;
        e.highs[i] = peak * jitter(random);
        e.lows[i] = peak * jitter(random);
    }
    return e;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class PaintWatcher : public QObject {
public:
    QRegion painted;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(10, atoi(argv[1])) : 600;

    std::printf("Load average %.2f\n", bench::loadAverage());
    std::printf("Making the envelopes of a 3-hour result...\n");
    auto original = std::make_shared<const SoundtrackEnvelope>(syntheticEnvelope(1, 0.8f));
    auto stems = std::make_shared<const StemEnvelopes>(
        StemEnvelopes{syntheticEnvelope(2, 0.7f), syntheticEnvelope(3, 0.5f), syntheticEnvelope(4, 0.3f)});

    // 1. Full drawing passes.
    const double scale = 2;
    const double width = 1280;
    const LaneGeometry geometry = laneGeometry(LaneLayout::regular, width + 214 + 20, LaneMetrics{}, 40);
    QImage image(QSize(int(width * scale), int(geometry.height * scale)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    std::printf("\nFull drawing pass, %d x %d device pixels, median of 15 (ms), wall / mean CPU:\n\n", image.width(),
                image.height());
    std::printf("| zoom span | separated, clean | separated, original | unseparated |\n|---|---|---|---|\n");
    const std::vector<double> levels = zoomLevels(resultSeconds);
    for (double span : levels) {
        const double start = std::floor(5000 / span) * span;
        const double lo = std::min(start, resultSeconds - span);
        double cells[3];
        double cpuCells[3];
        for (int variant = 0; variant < 3; ++variant) {
            LanesDrawing d;
            d.rects = slotsOf(geometry);
            d.rects.head.reset();
            d.timeline = LaneTimeline{lo, lo + span, variant == 2 ? 0 : resultSeconds, resultSeconds, resultSeconds};
            d.original = original;
            d.stems = variant == 2 ? nullptr : stems;
            d.mix = laneMix(variant == 1 ? AuditionTrackMode::original : AuditionTrackMode::hushframed, 0.75);
            measurePeaks(d);   // as the strip does once per envelope
            std::vector<double> times;
            const double cpuBefore = bench::selfCpuSeconds();
            for (int run = 0; run < 15; ++run) {
                QElapsedTimer timer;
                timer.start();
                image.fill(Qt::transparent);
                QPainter painter(&image);
                painter.translate(-geometry.lanes[0].left(), -geometry.lanes[0].top());
                paintLanes(painter, d, scale);
                painter.end();
                times.push_back(double(timer.nsecsElapsed()) / 1e6);
            }
            cells[variant] = median(times);
            cpuCells[variant] = (bench::selfCpuSeconds() - cpuBefore) * 1000 / 15;
        }
        std::printf("| %g s | %.2f / %.2f | %.2f / %.2f | %.2f / %.2f |\n", span, cells[0], cpuCells[0], cells[1],
                    cpuCells[1], cells[2], cpuCells[2]);
    }

    // 2. Playback frames on the strip as the window shows it.
    LanesView view;
    view.setReduceMotion(true);
    view.setAllowsSolo(true);
    view.setEnvelopes(original, stems);
    view.resize(int(width + 214 + 20), view.heightForWidth(int(width + 214 + 20)));
    view.show();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 200)
        app.processEvents();

    PaintWatcher watcher;
    view.canvas()->installEventFilter(&watcher);
    std::printf("\nPlayback frames (a tick every 0.05 s), %d frames per zoom span, device pixel ratio %.0f:\n\n",
                frames, view.devicePixelRatioF());
    std::printf("| zoom span | median frame (ms) | worst frame (ms) | page turns | drawing passes | widest canvas "
                "repaint without a page turn (device px) | mean CPU per frame (ms) |\n|---|---|---|---|---|---|---|\n");
    for (size_t index : {size_t(0), size_t(1), size_t(4), levels.size() - 1}) {
        const double span = levels[index];
        double t = 3600 - 0.05 * frames / 2;   // the middle of the run crosses a page boundary
        LaneTimelineInputs in{resultSeconds, resultSeconds, t, resultSeconds, int(index)};
        view.setTimeline(laneTimeline(in));
        view.setPlayhead(t);
        for (int i = 0; i < 5; ++i)
            app.processEvents();
        const int passesBefore = view.canvas()->drawingPasses();
        std::vector<double> times;
        int turns = 0;
        int widest = 0;
        double worst = 0;
        const double cpuBefore = bench::selfCpuSeconds();
        for (int f = 0; f < frames; ++f) {
            t += 0.05;
            in.currentTime = t;
            watcher.painted = QRegion();
            QElapsedTimer timer;
            timer.start();
            const LaneTimeline timeline = laneTimeline(in);
            const bool turn = timeline.visibleStart != view.timeline().visibleStart;
            view.setTimeline(timeline);
            view.setPlayhead(t);
            app.processEvents();   // the frame's paint of what changed
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            times.push_back(ms);
            worst = std::max(worst, ms);
            turns += turn;
            if (!turn)
                widest = std::max(widest, int(watcher.painted.boundingRect().width() * view.devicePixelRatioF()));
        }
        const double cpuPerFrame = (bench::selfCpuSeconds() - cpuBefore) * 1000 / frames;
        std::printf("| %g s | %.3f | %.2f | %d | %d | %d | %.3f |\n", span, median(times), worst, turns,
                    view.canvas()->drawingPasses() - passesBefore, widest, cpuPerFrame);
    }
    std::printf("\nLoad average %.2f\n", bench::loadAverage());
    return 0;
}
