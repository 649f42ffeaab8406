#pragma once

// The strip of stem lanes: a header per lane (title, status, solo button), a time ruler, the three
// lanes whose waveforms LanesCanvas draws, a playhead with a draggable handle and a scrub strip on
// the ruler. Before separation the three rows stand as one unseparated lane titled "Soundtrack".
//
// The strip holds no playback state: it is given the window, the envelopes, the mode, the ambience,
// the playhead and a status, and reports what the user does through three signals. A drag always
// ends: when its release never comes (the view hidden or destroyed, the playhead gone, the pointer
// grab lost) the last time is sought once more and scrubbing is reported ended.

#include "editor/lanes_canvas.h"
#include "editor/lanes_geometry.h"

#include <QAbstractButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <memory>
#include <optional>

namespace hf {

class LaneHeader;
class LaneScrubStrip;
class LanePlayheadHandle;

class LanesView : public QWidget {
    Q_OBJECT
public:
    explicit LanesView(LaneLayout layout = LaneLayout::regular, QWidget* parent = nullptr);
    ~LanesView() override;

    // ---- What the strip shows; every setter redraws only on a change.
    void setLaneLayout(LaneLayout layout);
    void setTimeline(const LaneTimeline& timeline);
    void setEnvelopes(std::shared_ptr<const SoundtrackEnvelope> original, std::shared_ptr<const StemEnvelopes> stems);
    void setMode(AuditionTrackMode mode);
    void setAmbience(double ambience);
    void setSplitProgress(double progress);
    void setSplitCrossfades(bool crossfades);
    void setPlayhead(std::optional<double> seconds);
    void setWorkingStatus(std::optional<QString> status);
    void setResting(bool resting);
    void setAllowsSolo(bool allows);
    // Changes of mode and ambience animate unless this is on (the desktop's setting by default).
    void setReduceMotion(std::optional<bool> reduceMotion);
    // The clock the mode and ambience animations read; tests hand in their own.
    void setAnimationClock(AnimationClock clock);

    LaneLayout laneLayout() const { return m_layout; }
    const LaneTimeline& timeline() const { return m_timeline; }
    AuditionTrackMode mode() const { return m_mode; }
    double ambience() const { return m_ambience; }
    double splitProgress() const { return m_split; }
    std::optional<double> playhead() const { return m_playhead; }
    bool isSeparated() const;
    bool isScrubbing() const { return m_drag.has_value(); }

    // The geometry in force and the rectangle over the ruler and lanes (none without lanes).
    const LaneGeometry& geometry() const { return m_geometry; }
    std::optional<QRectF> area() const;
    // The status text a lane's header shows, and whether its header is dimmed.
    QString statusText(Stem stem) const;
    // The mix the canvas draws now (animated towards the mode's and ambience's mix).
    const LaneMix& drawnMix() const { return m_mix; }
    LanesCanvas* canvas() const { return m_canvas; }

    // Moves the running mode and ambience animations to the clock's present.
    void advanceAnimations();
    // The accessibility slider's seek.
    void accessibleSeek(double seconds);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

signals:
    // A drag or the accessibility slider asks for this time.
    void seekRequested(double seconds);
    // A drag began scrubbing (true, on every change, before its seek) or ended (false, after the
    // final seek).
    void scrubbingChanged(bool scrubbing);
    void soloRequested(hf::Stem stem);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    friend class LaneScrubStrip;
    friend class LanePlayheadHandle;
    friend class LaneHeader;

    enum class DragKind { strip, handle };
    struct Drag {
        DragKind kind;
        double lastTime = 0;
    };

    // Drags, in the strip's coordinates.
    void dragChanged(DragKind kind, QPointF pointer, QPointF start);
    void dragEnded(DragKind kind, QPointF pointer);
    void interruptDrag();

    double headerHeight(double width) const;
    LaneMetrics metrics() const;
    bool reduceMotion() const;
    void relayout();
    void refreshHeaders();
    void refreshCanvas();
    void placePlayhead();
    void animateMixTo(const LaneMix& target, double duration, bool easeInOut);
    void paintRuler(QPainter& painter, const QRectF& area);

    LaneLayout m_layout;
    LaneTimeline m_timeline;
    std::shared_ptr<const SoundtrackEnvelope> m_original;
    std::shared_ptr<const StemEnvelopes> m_stems;
    LanesDrawing m_peaks;   // the envelopes' largest peaks, measured when they arrive
    AuditionTrackMode m_mode = AuditionTrackMode::hushframed;
    double m_ambience = 0.75;
    double m_split = 1;
    bool m_crossfades = false;
    std::optional<double> m_playhead;
    std::optional<QString> m_workingStatus;
    bool m_resting = false;
    bool m_allowsSolo = false;
    std::optional<bool> m_reduceMotion;

    LaneGeometry m_geometry;
    std::optional<Drag> m_drag;
    std::optional<double> m_handleGrabOffset;

    // The mix drawn now and its animation.
    LaneMix m_mix = laneMix(AuditionTrackMode::hushframed, 0.75);
    LaneMix m_mixFrom;
    LaneMix m_mixTo = m_mix;
    double m_mixStart = 0;
    double m_mixDuration = 0;
    bool m_mixEaseInOut = false;
    AnimationClock m_clock;
    QTimer m_animationTimer;

    LanesCanvas* m_canvas = nullptr;
    std::array<LaneHeader*, 3> m_headers{};
    LaneScrubStrip* m_strip = nullptr;
    LanePlayheadHandle* m_handle = nullptr;
};

// The solo button of a lane's header: a bold "S" in a 28-point rounded square, filled while its
// stem plays alone, taking clicks over 44 by 44 points.
class LaneSoloButton : public QAbstractButton {
    Q_OBJECT
public:
    LaneSoloButton(Stem stem, QWidget* parent);
    Stem stem() const { return m_stem; }
    void setSoloSize(double size);
    void setOpacity(double opacity);
    QSize sizeHint() const override { return {44, 44}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    Stem m_stem;
    bool m_keyboardFocus = false;   // the focus ring shows only for focus reached by the keyboard
    double m_soloSize = 28;
    double m_opacity = 1;
};

} // namespace hf
