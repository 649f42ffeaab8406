#include "editor/soundtrack_band.h"

#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/editor_state.h"
#include "ui_kit/environment.h"

#include <QVBoxLayout>

namespace hf {

void LaneZoom::setIndex(std::optional<int> index)
{
    if (index == m_index)
        return;
    m_index = index;
    emit indexChanged();
}

LaneTimeline laneTimeline(const EngineCoordinator& coordinator, const AudioPlayerService& player,
                          std::optional<int> zoomIndex)
{
    LaneTimelineInputs inputs;
    inputs.sourceDuration = coordinator.source() ? coordinator.source()->duration : 0;
    if (coordinator.currentResult())
        inputs.resultDuration = coordinator.currentResult()->duration;
    inputs.currentTime = player.currentTime();
    inputs.totalDuration = player.totalDuration();
    inputs.zoomIndex = zoomIndex;
    return laneTimeline(inputs);
}

SoundtrackBand::SoundtrackBand(LaneLayout layout, LaneZoom* zoom, bool allowsSolo, EngineCoordinator* coordinator,
                               AudioPlayerService* player, AccountStore* account, QWidget* parent)
    : QWidget(parent),
      m_zoom(zoom),
      m_coordinator(coordinator),
      m_player(player),
      m_account(account),
      m_clock(steadyAnimationClock())
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    m_lanes = new LanesView(layout, this);
    m_lanes->setAllowsSolo(allowsSolo);
    column->addWidget(m_lanes);

    connect(m_lanes, &LanesView::seekRequested, this, [this](double seconds) {
        if (m_player)
            m_player->seek(seconds);
    });
    connect(m_lanes, &LanesView::scrubbingChanged, this, [this](bool scrubbing) {
        if (m_player)
            m_player->setScrubbing(scrubbing);
    });
    connect(m_lanes, &LanesView::soloRequested, this, [this](Stem stem) {
        if (m_player)
            m_player->toggleSolo(stem);
    });

    const auto refreshNow = [this] { refresh(); };
    connect(coordinator, &EngineCoordinator::sourceChanged, this, refreshNow);
    connect(coordinator, &EngineCoordinator::currentResultChanged, this, refreshNow);
    connect(coordinator, &EngineCoordinator::settingsChanged, this, refreshNow);
    connect(coordinator, &EngineCoordinator::isProcessingChanged, this, refreshNow);
    connect(coordinator, &EngineCoordinator::progressChanged, this, refreshNow);
    connect(coordinator, &EngineCoordinator::originalEnvelopeChanged, this, [this] { refreshEnvelopes(true, false); });
    connect(coordinator, &EngineCoordinator::stemEnvelopesChanged, this, [this] { refreshEnvelopes(false, true); });
    connect(player, &AudioPlayerService::currentTimeChanged, this, refreshNow);
    connect(player, &AudioPlayerService::totalDurationChanged, this, refreshNow);
    connect(player, &AudioPlayerService::selectedTrackModeChanged, this, refreshNow);
    connect(player, &AudioPlayerService::isComparingChanged, this, refreshNow);
    if (zoom)
        connect(zoom, &LaneZoom::indexChanged, this, refreshNow);
    connect(&ui::Environment::instance(), &ui::Environment::reduceMotionChanged, this, refreshNow);

    m_splitTimer.setInterval(16);
    connect(&m_splitTimer, &QTimer::timeout, this, &SoundtrackBand::advanceAnimations);
    refreshEnvelopes(true, true);
}

SoundtrackBand::~SoundtrackBand()
{
    // The lanes end a running drag as they go: let them do it while this band can still pass it on.
    delete m_lanes;
    m_lanes = nullptr;
}

void SoundtrackBand::setLaneLayout(LaneLayout layout) { m_lanes->setLaneLayout(layout); }

void SoundtrackBand::setAnimationClock(AnimationClock clock)
{
    m_clock = clock;
    m_lanes->setAnimationClock(std::move(clock));
}

void SoundtrackBand::setReduceMotion(std::optional<bool> reduceMotion)
{
    m_reduceMotion = reduceMotion;
    m_lanes->setReduceMotion(reduceMotion);
    refresh();
}

bool SoundtrackBand::reduceMotion() const
{
    return m_reduceMotion.value_or(ui::Environment::instance().reduceMotion());
}

void SoundtrackBand::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_shown = true;
    refresh();
}

void SoundtrackBand::refreshEnvelopes(bool original, bool stems)
{
    if (!m_coordinator || !m_lanes)
        return;
    // Copied once per new envelope (a 3-hour one is megabytes); the lanes then share it without
    // copying on every tick.
    if (original) {
        m_original.reset();
        if (const auto& envelope = m_coordinator->originalEnvelope())
            m_original = std::make_shared<const SoundtrackEnvelope>(*envelope);
    }
    if (stems) {
        m_stems.reset();
        if (const auto& envelopes = m_coordinator->stemEnvelopes())
            m_stems = std::make_shared<const StemEnvelopes>(*envelopes);
    }
    m_lanes->setEnvelopes(m_original, m_stems);
    refresh();
}

QString SoundtrackBand::splitKey() const
{
    const auto& result = m_coordinator->currentResult();
    return (result ? result->id.toString(QUuid::WithoutBraces) : QString()) + QStringLiteral("-")
           + (m_coordinator->stemEnvelopes() ? QStringLiteral("true") : QStringLiteral("false"));
}

void SoundtrackBand::refresh()
{
    if (!m_coordinator || !m_player || !m_lanes)
        return;
    const bool hasResult = m_coordinator->currentResult().has_value();
    m_lanes->setTimeline(laneTimeline(*m_coordinator, *m_player, m_zoom ? m_zoom->index() : std::nullopt));
    m_lanes->setMode(m_player->isComparing() ? AuditionTrackMode::original : m_player->selectedTrackMode());
    m_lanes->setAmbience(m_coordinator->settings().ambience);
    m_lanes->setSplitCrossfades(reduceMotion());
    m_lanes->setPlayhead(hasResult ? std::optional(m_player->currentTime()) : std::nullopt);
    m_lanes->setWorkingStatus(EditorState{m_coordinator, m_player, m_account}.laneStatus());
    m_lanes->setResting(false);

    if (m_shown) {
        const QString key = splitKey();
        if (key != m_lastSplitKey) {
            m_lastSplitKey = key;
            startSplitIfNeeded();
        }
    }
    m_lanes->setSplitProgress(m_splitProgress);
}

void SoundtrackBand::startSplitIfNeeded()
{
    if (!m_coordinator->stemEnvelopes())
        return;
    if (!m_coordinator->claimSplitMoment())
        return;
    m_splitProgress = 0;
    m_lanes->setSplitProgress(0);
    m_splitReduceMotion = reduceMotion();
    m_splitStart = m_clock();
    m_splitTimer.start();
}

void SoundtrackBand::advanceAnimations()
{
    m_lanes->advanceAnimations();
    if (!m_splitStart) {
        m_splitTimer.stop();
        return;
    }
    m_splitProgress = splitProgressAt(m_clock() - *m_splitStart, m_splitReduceMotion);
    if (m_splitProgress >= 1) {
        m_splitProgress = 1;
        m_splitStart.reset();
        m_splitTimer.stop();
    }
    m_lanes->setSplitProgress(m_splitProgress);
}

} // namespace hf
