#pragma once

// The editor's strip of stem lanes for the open video: gathers what the lanes show from the
// coordinator and the audition player, pages through the video at the chosen zoom, wires seek,
// scrub and solo to the player, and plays the split of the one waveform into three lanes once, for
// a video's first preview.

#include "editor/lanes_geometry.h"
#include "editor/lanes_view.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

namespace hf {

class AccountStore;
class AudioPlayerService;
class EngineCoordinator;

// The zoom index shared by the band and the transport bar: an index into zoomLevels() of the open
// video, none for the default zoom. Owned by the screen that shows both.
class LaneZoom : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    std::optional<int> index() const { return m_index; }
    void setIndex(std::optional<int> index);

signals:
    void indexChanged();

private:
    std::optional<int> m_index;
};

// The window the lanes show for the open video at `zoomIndex`, read from the coordinator's video
// and result and the player's clock.
LaneTimeline laneTimeline(const EngineCoordinator& coordinator, const AudioPlayerService& player,
                          std::optional<int> zoomIndex);

class SoundtrackBand : public QWidget {
    Q_OBJECT
public:
    // None of the pointers is owned; `zoom` may be null (then the default zoom is shown).
    SoundtrackBand(LaneLayout layout, LaneZoom* zoom, bool allowsSolo, EngineCoordinator* coordinator,
                   AudioPlayerService* player, AccountStore* account, QWidget* parent = nullptr);
    ~SoundtrackBand() override;

    LanesView* lanes() const { return m_lanes; }
    double splitProgress() const { return m_splitProgress; }
    void setLaneLayout(LaneLayout layout);
    // The clock the split animation reads, and the Reduce Motion choice (none: the desktop's).
    void setAnimationClock(AnimationClock clock);
    void setReduceMotion(std::optional<bool> reduceMotion);
    // Moves a running split to the clock's present (the band's timer calls it every frame).
    void advanceAnimations();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void refreshEnvelopes(bool original, bool stems);
    QString splitKey() const;
    void startSplitIfNeeded();
    bool reduceMotion() const;

    LanesView* m_lanes = nullptr;
    QPointer<LaneZoom> m_zoom;
    QPointer<EngineCoordinator> m_coordinator;
    QPointer<AudioPlayerService> m_player;
    QPointer<AccountStore> m_account;

    std::shared_ptr<const SoundtrackEnvelope> m_original;
    std::shared_ptr<const StemEnvelopes> m_stems;
    double m_splitProgress = 1.0;
    std::optional<double> m_splitStart;   // clock time the running split began
    bool m_splitReduceMotion = false;
    std::optional<QString> m_lastSplitKey;
    bool m_shown = false;
    std::optional<bool> m_reduceMotion;
    AnimationClock m_clock;
    QTimer m_splitTimer;
};

} // namespace hf
