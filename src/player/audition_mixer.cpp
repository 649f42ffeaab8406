#include "player/audition_mixer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace hf {

AuditionMixer::AuditionMixer(int sampleRate, int channels)
    : m_rate(sampleRate), m_channels(channels), m_rampFrames(std::max(1, sampleRate / 200))
{
    for (auto& target : m_target)
        target = 0.0f;
    m_current.fill(0.0f);
}

AuditionMixer::~AuditionMixer() { clearTracks(); }

qint64 AuditionMixer::render(float* out, qint64 frames) noexcept
{
    std::fill(out, out + frames * m_channels, 0.0f);
    std::lock_guard lock(m_mutex);
    if (!m_playing.load())
        return 0;
    const int64_t position = m_position.load();
    int64_t n = frames;
    bool any = false;
    for (const auto& track : m_tracks) {
        if (!track)
            continue;
        any = true;
        n = std::min(n, track->ring().availableAt(position));
    }
    // Nothing to play, or a track still decoding: all wait for it. Past the end of every
    // track the position runs on through silence, as time does.
    if (!any || n <= 0)
        return 0;

    const float step = 1.0f / float(m_rampFrames);
    for (int s = 0; s < slotCount; ++s) {
        AuditionRing* ring = m_tracks[s] ? &m_tracks[s]->ring() : nullptr;
        if (!ring)
            continue;
        float gain = m_current[s];
        const float target = m_target[s].load();
        int64_t ramp = 0;
        if (gain != target) {
            ramp = std::min<int64_t>(n, int64_t(std::ceil(std::abs(target - gain) / step)));
            const float signedStep = target > gain ? step : -step;
            ring->mixInto(out, position, ramp, gain, signedStep);
            gain += signedStep * float(ramp);
            if ((signedStep > 0 && gain >= target) || (signedStep < 0 && gain <= target))
                gain = target;
        }
        ring->mixInto(out + ramp * m_channels, position + ramp, n - ramp, gain, 0.0f);
        m_current[s] = gain;
    }
    for (int64_t f = 0; f < n && m_master < 1.0f; ++f) {
        for (int c = 0; c < m_channels; ++c)
            out[f * m_channels + c] *= m_master;
        m_master = std::min(1.0f, m_master + step);
    }
    m_position.store(position + n);
    return n;
}

void AuditionMixer::setTrack(Slot slot, std::unique_ptr<AuditionTrackDecoder> track)
{
    std::unique_ptr<AuditionTrackDecoder> old;
    {
        std::lock_guard lock(m_mutex);
        if (track)
            track->start(m_position.load());
        old = std::exchange(m_tracks[slot], std::move(track));
        m_target[slot] = 0.0f;
        m_current[slot] = 0.0f;
    }
    // Stops and joins the old decoder outside the lock, so the callback never waits for it.
    old.reset();
}

void AuditionMixer::clearTracks()
{
    std::array<std::unique_ptr<AuditionTrackDecoder>, slotCount> old;
    {
        std::lock_guard lock(m_mutex);
        for (int s = 0; s < slotCount; ++s) {
            old[s] = std::move(m_tracks[s]);
            m_target[s] = 0.0f;
            m_current[s] = 0.0f;
        }
    }
}

bool AuditionMixer::hasTrack(Slot slot) const
{
    std::lock_guard lock(m_mutex);
    return m_tracks[slot] != nullptr;
}

double AuditionMixer::trackDuration(Slot slot) const
{
    std::lock_guard lock(m_mutex);
    return m_tracks[slot] ? m_tracks[slot]->duration() : std::nan("");
}

void AuditionMixer::setGain(Slot slot, float gain)
{
    std::lock_guard lock(m_mutex);
    m_target[slot] = gain;
    if (!m_playing.load())
        m_current[slot] = gain;
}

void AuditionMixer::setPlaying(bool playing)
{
    std::lock_guard lock(m_mutex);
    if (playing && !m_playing.load())
        m_master = 0.0f;
    if (!playing)
        m_current = [this] {
            std::array<float, slotCount> gains{};
            for (int s = 0; s < slotCount; ++s)
                gains[s] = m_target[s].load();
            return gains;
        }();
    m_playing = playing;
}

void AuditionMixer::seek(int64_t frame)
{
    std::lock_guard lock(m_mutex);
    frame = std::max<int64_t>(frame, 0);
    m_position = frame;
    m_seekBase = frame;
    m_master = 0.0f;
    for (auto& track : m_tracks)
        if (track)
            track->seek(frame);
}

bool AuditionMixer::trackEnded(Slot slot, int64_t frame) const
{
    std::lock_guard lock(m_mutex);
    return m_tracks[slot] && m_tracks[slot]->ring().endedAt(frame);
}

int64_t AuditionMixer::audibleFrame(int64_t latencyFrames) const
{
    return std::max(m_seekBase.load(), m_position.load() - std::max<int64_t>(latencyFrames, 0));
}

} // namespace hf
