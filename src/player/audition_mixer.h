#pragma once

// The audio callback of the audition player: mixes up to five tracks, each decoded into its own
// ring, at one shared position. It advances only by what every track can deliver at that
// position, so the tracks never drift apart; a track that is late stalls all of them (silence)
// rather than letting one slip. Which track is heard is a matter of gains alone; a gain change
// is ramped over a few milliseconds, as is the start of playback and a jump of the position.

#include "player/audition_track_decoder.h"
#include "platform/audio_output.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

namespace hf {

class AuditionMixer : public AudioRenderer {
public:
    // Slots, in the order the player walks its tracks.
    enum Slot { clean, original, music, dialogue, effects, slotCount };

    AuditionMixer(int sampleRate, int channels);
    ~AuditionMixer() override;

    int sampleRate() const { return m_rate; }
    int channels() const { return m_channels; }
    // Length of every gain ramp, in frames (5 ms).
    int rampFrames() const { return m_rampFrames; }

    qint64 render(float* out, qint64 frames) noexcept override;

    // --- control (main thread)
    // Puts `track` into `slot` at the current position, replacing (and stopping) what was there.
    // The new track starts silent.
    void setTrack(Slot slot, std::unique_ptr<AuditionTrackDecoder> track);
    // Puts `track` into `slot` in place of the track there without a break in the sound: the
    // old track plays on until the new one has sound at the position the mix has reached, then
    // the two are crossfaded over a ramp, at the slot's gain. A seek, a stop or another change of
    // the slot puts it in at once. The old track is let go by releaseReplaced().
    void replaceTrack(Slot slot, std::unique_ptr<AuditionTrackDecoder> track);
    // Lets go of a track that replaceTrack() replaced, once it is no longer heard (stopping a
    // decoder waits for its thread, which the audio callback must not).
    void releaseReplaced();
    void clearTracks();
    bool hasTrack(Slot slot) const;
    // The stated length of the slot's file in seconds; NaN when unknown or empty.
    double trackDuration(Slot slot) const;
    // The gain the slot moves to (ramped while playing, at once while paused).
    void setGain(Slot slot, float gain);
    float targetGain(Slot slot) const { return m_target[slot].load(); }
    void setPlaying(bool playing);
    bool isPlaying() const { return m_playing.load(); }
    // Moves every track to `frame`; what the rings held is dropped.
    void seek(int64_t frame);
    // Whether the slot's track has been played to its end (or failed) by `frame`.
    bool trackEnded(Slot slot, int64_t frame) const;

    // --- any thread
    // The frame the next render starts at.
    int64_t position() const { return m_position.load(); }
    // The frame being heard, given the output's latency; never before the last seek.
    int64_t audibleFrame(int64_t latencyFrames) const;

private:
    using Released = std::array<std::unique_ptr<AuditionTrackDecoder>, 3>;
    // Puts a waiting replacement into its slot at once; returns the tracks to let go of.
    Released settleLocked();

    const int m_rate;
    const int m_channels;
    const int m_rampFrames;
    mutable std::mutex m_mutex;   // held by render(), and by the control calls that touch slots
    std::array<std::unique_ptr<AuditionTrackDecoder>, slotCount> m_tracks;
    std::array<std::atomic<float>, slotCount> m_target{};
    std::array<float, slotCount> m_current{};   // the ramped gains, owned by render()
    float m_master = 0;                          // fade-in after a start or a jump
    std::atomic<bool> m_playing{false};
    std::atomic<int64_t> m_position{0};
    std::atomic<int64_t> m_seekBase{0};
    // A replacement waiting for sound at the position (m_incoming, from m_incomingFrom on), and
    // the track it replaced while that fades out (m_outgoingLeft frames of its ramp to go).
    Slot m_replacedSlot = clean;
    std::unique_ptr<AuditionTrackDecoder> m_incoming;
    int64_t m_incomingFrom = 0;
    std::unique_ptr<AuditionTrackDecoder> m_outgoing;
    float m_outgoingGain = 0;
    int64_t m_outgoingLeft = 0;
};

} // namespace hf
