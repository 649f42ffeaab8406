#include "player/audition_mixer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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
    if (m_incoming) {
        AuditionRing& ring = m_incoming->ring();
        if (ring.availableAt(position) > 0) {
            // (m_outgoing is empty: replaceTrack() let go of the one before.)
            m_outgoing = std::exchange(m_tracks[m_replacedSlot], std::move(m_incoming));
            m_outgoingGain = m_current[m_replacedSlot];
            m_outgoingLeft = m_rampFrames;
            m_current[m_replacedSlot] = 0.0f;
        } else if (position >= m_incomingFrom + ring.capacity()) {
            // Its decoder fell further behind the mix than its ring holds (it waited that long
            // for a core): it starts again from here.
            m_incomingFrom = position;
            m_incoming->seek(position);
        }
    }
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
    if (m_outgoing && m_outgoingLeft > 0) {
        const int64_t fade = std::min<int64_t>(n, m_outgoingLeft);
        const float fadeStep = m_outgoingGain / float(m_rampFrames);
        m_outgoing->ring().mixInto(out, position, fade, fadeStep * float(m_outgoingLeft), -fadeStep);
        m_outgoingLeft -= fade;
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
    Released released;
    std::unique_ptr<AuditionTrackDecoder> old;
    {
        std::lock_guard lock(m_mutex);
        released = settleLocked();
        if (track)
            track->start(m_position.load());
        old = std::exchange(m_tracks[slot], std::move(track));
        m_target[slot] = 0.0f;
        m_current[slot] = 0.0f;
    }
    // Stops and joins the old decoder outside the lock, so the callback never waits for it.
    old.reset();
}

void AuditionMixer::replaceTrack(Slot slot, std::unique_ptr<AuditionTrackDecoder> track)
{
    if (!track)
        return;
    Released released;
    std::lock_guard lock(m_mutex);
    released = settleLocked();
    const int64_t position = m_position.load();
    track->start(position);
    if (!m_playing.load() || !m_tracks[slot]) {
        released[2] = std::exchange(m_tracks[slot], std::move(track));
        m_current[slot] = m_playing.load() ? 0.0f : m_target[slot].load();
        return;
    }
    m_replacedSlot = slot;
    m_incoming = std::move(track);
    m_incomingFrom = position;
}

void AuditionMixer::releaseReplaced()
{
    std::unique_ptr<AuditionTrackDecoder> old;
    std::lock_guard lock(m_mutex);
    if (m_outgoingLeft == 0)
        old = std::move(m_outgoing);
}

AuditionMixer::Released AuditionMixer::settleLocked()
{
    Released released;
    released[0] = std::move(m_outgoing);
    m_outgoingLeft = 0;
    if (m_incoming) {
        const int64_t position = m_position.load();
        if (m_incoming->ring().availableAt(position) == 0)
            m_incoming->seek(position);
        released[1] = std::exchange(m_tracks[m_replacedSlot], std::move(m_incoming));
        m_current[m_replacedSlot] = m_target[m_replacedSlot].load();
    }
    return released;
}

void AuditionMixer::clearTracks()
{
    Released released;
    std::array<std::unique_ptr<AuditionTrackDecoder>, slotCount> old;
    {
        std::lock_guard lock(m_mutex);
        released[0] = std::move(m_incoming);
        released[1] = std::move(m_outgoing);
        m_outgoingLeft = 0;
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
    Released released;
    std::lock_guard lock(m_mutex);
    if (!playing)
        released = settleLocked();
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
    Released released;
    std::lock_guard lock(m_mutex);
    released = settleLocked();
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
