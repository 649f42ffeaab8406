#include "player/audition_ring.h"

#include <algorithm>
#include <limits>

namespace hf {

namespace {
constexpr int64_t endless = std::numeric_limits<int64_t>::max() / 4;
}

AuditionRing::AuditionRing(int channels, int64_t capacityFrames)
    : m_channels(channels), m_capacity(capacityFrames), m_data(size_t(channels * capacityFrames), 0.0f)
{
}

int64_t AuditionRing::availableAt(int64_t position) const
{
    std::lock_guard lock(m_mutex);
    const int64_t end = m_start + m_count;
    if (position < m_start)
        return 0;
    if (m_ended)
        return endless;   // what is left, then silence
    return position <= end ? end - position : 0;
}

bool AuditionRing::endedAt(int64_t position) const
{
    std::lock_guard lock(m_mutex);
    return m_ended && position >= m_start + m_count;
}

void AuditionRing::mixInto(float* out, int64_t position, int64_t frames, float gain, float step)
{
    bool freed = false;
    {
        std::lock_guard lock(m_mutex);
        if (position < m_start || (position > m_start + m_count && !m_ended))
            return;
        // Frames before `position` are no longer needed (past the end of a finished track
        // there is nothing left to drop).
        const int64_t skip = std::min(position - m_start, m_count);
        m_read = (m_read + skip) % m_capacity;
        m_count -= skip;
        m_start += skip;
        if (m_start != position)
            return;
        const int64_t n = std::min(frames, m_count);
        const bool silent = gain == 0.0f && step == 0.0f;
        int64_t done = 0;
        while (done < n) {
            const int64_t run = std::min(n - done, m_capacity - m_read);
            if (!silent) {
                const float* src = m_data.data() + m_read * m_channels;
                float* dst = out + done * m_channels;
                if (step == 0.0f) {
                    for (int64_t i = 0; i < run * m_channels; ++i)
                        dst[i] += src[i] * gain;
                } else {
                    for (int64_t f = 0; f < run; ++f) {
                        const float g = gain + step * float(done + f);
                        for (int c = 0; c < m_channels; ++c)
                            dst[f * m_channels + c] += src[f * m_channels + c] * g;
                    }
                }
            }
            m_read = (m_read + run) % m_capacity;
            done += run;
        }
        m_count -= n;
        m_start += n;
        freed = n > 0;
    }
    if (freed)
        m_space.notify_one();
}

uint64_t AuditionRing::reset(int64_t startFrame)
{
    uint64_t generation;
    {
        std::lock_guard lock(m_mutex);
        m_read = 0;
        m_count = 0;
        m_start = startFrame;
        m_ended = false;
        m_error.clear();
        generation = ++m_generation;
    }
    m_space.notify_one();
    return generation;
}

AuditionRing::Request AuditionRing::waitForWork(uint64_t generation, int64_t frames)
{
    std::unique_lock lock(m_mutex);
    m_space.wait(lock, [&] {
        return m_stopping || m_generation != generation || (!m_ended && freeFrames() >= frames);
    });
    return Request{m_generation, m_start + m_count, m_stopping};
}

int64_t AuditionRing::append(uint64_t generation, const float* interleaved, int64_t frames)
{
    std::lock_guard lock(m_mutex);
    if (generation != m_generation || m_ended)
        return -1;
    frames = std::min(frames, freeFrames());
    int64_t done = 0;
    int64_t write = (m_read + m_count) % m_capacity;
    while (done < frames) {
        const int64_t run = std::min(frames - done, m_capacity - write);
        std::copy_n(interleaved + done * m_channels, run * m_channels, m_data.data() + write * m_channels);
        write = (write + run) % m_capacity;
        done += run;
    }
    m_count += frames;
    return frames;
}

void AuditionRing::finish(uint64_t generation, const QString& error)
{
    std::lock_guard lock(m_mutex);
    if (generation != m_generation || m_ended)
        return;
    m_ended = true;
    m_error = error;
}

void AuditionRing::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_space.notify_all();
}

QString AuditionRing::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

uint64_t AuditionRing::generation() const
{
    std::lock_guard lock(m_mutex);
    return m_generation;
}

} // namespace hf
