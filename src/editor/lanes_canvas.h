#pragma once

// The drawing layer of the stem lanes: the original soundtrack as one waveform across the band
// wherever no stems exist yet, the three stems in their own lanes where they do, the split of the
// one waveform into three, the mix of the audition mode and the ambience, the dashed mark of the
// removed music and the line where a preview's separated part ends.
//
// paintLanes() is the drawing pass; LanesCanvas is the widget that keeps its last drawing and
// copies only the exposed part of it, so a moving playhead above it costs a small copy, not a
// new drawing.

#include "editor/lanes_geometry.h"
#include "pipeline/soundtrack_envelope.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <memory>

class QPainter;

namespace hf {

struct LanesDrawing {
    LaneSlots rects;   // only the lanes are read, in the painter's coordinates
    LaneTimeline timeline;
    std::shared_ptr<const SoundtrackEnvelope> original;
    std::shared_ptr<const StemEnvelopes> stems;
    LaneMix mix;
    double split = 1;
    bool crossfade = false;
    bool resting = false;
    // The largest peak of each envelope, measured once per envelope by measurePeaks(); negative
    // when not measured (the pass then measures it, which on a 3-hour envelope costs milliseconds).
    float originalPeak = -1;
    std::array<float, 3> stemPeaks{-1, -1, -1};

    // Envelopes compare by identity: a new envelope is always a new object.
    bool operator==(const LanesDrawing&) const = default;
};

// Measures the largest peak of the drawing's envelopes.
void measurePeaks(LanesDrawing& drawing);

// Draws one pass with columns one device pixel wide (`displayScale` device pixels per point).
void paintLanes(QPainter& painter, const LanesDrawing& drawing, double displayScale);

class LanesCanvas : public QWidget {
    Q_OBJECT
public:
    explicit LanesCanvas(QWidget* parent = nullptr);

    // `drawing`'s rectangles are in the parent's coordinates; the canvas covers their band.
    void setDrawing(const LanesDrawing& drawing);
    const LanesDrawing& drawing() const { return m_drawing; }

    // How often the drawing pass ran (tests and the benchmark tell a copy from a drawing).
    int drawingPasses() const { return m_passes; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    LanesDrawing m_drawing;
    QImage m_cache;
    bool m_cacheValid = false;
    QColor m_cachePaper;
    int m_passes = 0;
};

} // namespace hf
