#pragma once

// The small buffer between one track's decoder thread and the audio callback: a ring of
// interleaved float frames that knows which frame of the track it starts at. A seek resets it to
// a new start frame and bumps its generation, so a decoder that was busy with the old position
// drops what it decoded instead of appending it at the wrong place. Briefly locked on every
// access (a copy of a few thousand samples at most).

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace hf {

class AuditionRing {
public:
    AuditionRing(int channels, int64_t capacityFrames);

    int channels() const { return m_channels; }
    int64_t capacity() const { return m_capacity; }

    // --- audio callback side
    // Frames readable from `position` on; a large number once the track ended before
    // `position` (it then reads as silence). 0 when the buffer holds another position.
    int64_t availableAt(int64_t position) const;
    // Adds `frames` frames from `position` times a gain ramping from `gain` by `step` per frame
    // into `out` and drops them; frames the buffer does not hold add nothing.
    void mixInto(float* out, int64_t position, int64_t frames, float gain, float step);
    // Whether the track ended and `position` is at or past its end.
    bool endedAt(int64_t position) const;

    // --- seeking (any thread)
    // Empties the buffer for a new start frame; returns the new generation.
    uint64_t reset(int64_t startFrame);

    // --- decoder side
    struct Request {
        uint64_t generation;
        int64_t nextFrame;   // the frame the decoder must deliver next
        bool stop;
    };
    // Waits until there is room for `frames` frames, a reset happened after `generation`, or
    // stop() was called.
    Request waitForWork(uint64_t generation, int64_t frames);
    // Appends as many of `frames` frames decoded for `generation` as there is room for and
    // returns how many; -1 (nothing appended) after a reset.
    int64_t append(uint64_t generation, const float* interleaved, int64_t frames);
    // Marks the end of the track for `generation`; `error` is empty for a normal end.
    void finish(uint64_t generation, const QString& error = {});
    void stop();

    QString error() const;
    uint64_t generation() const;

private:
    int64_t freeFrames() const { return m_capacity - m_count; }

    const int m_channels;
    const int64_t m_capacity;
    std::vector<float> m_data;
    mutable std::mutex m_mutex;
    std::condition_variable m_space;
    int64_t m_read = 0;    // index of the first buffered frame in m_data
    int64_t m_count = 0;   // buffered frames
    int64_t m_start = 0;   // track frame of the first buffered frame
    uint64_t m_generation = 0;
    bool m_ended = false;
    bool m_stopping = false;
    QString m_error;
};

} // namespace hf
