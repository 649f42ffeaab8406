#include "pipeline/soundtrack_envelope.h"

#include "pipeline/ffmpeg_support.h"
#include "platform/async.h"
#include "platform/logging.h"

#include <algorithm>
#include <cmath>

HF_LOGGING_CATEGORY(lcSoundtrackEnvelope, "SoundtrackEnvelope")

namespace hf {

using namespace media;

namespace {

class BucketAccumulator {
public:
    explicit BucketAccumulator(SoundtrackEnvelope& envelope) : m_envelope(envelope)
    {
        m_carry.reserve(SoundtrackEnvelope::bucketSize);
    }

    void feed(const float* samples, size_t count)
    {
        constexpr size_t size = SoundtrackEnvelope::bucketSize;
        if (!m_carry.empty()) {
            const size_t take = std::min(count, size - m_carry.size());
            m_carry.insert(m_carry.end(), samples, samples + take);
            samples += take;
            count -= take;
            if (m_carry.size() == size) {
                bucket(m_carry.data(), size);
                m_carry.clear();
            }
        }
        while (count >= size) {
            bucket(samples, size);
            samples += size;
            count -= size;
        }
        m_carry.insert(m_carry.end(), samples, samples + count);
    }

    // A tail of more than 40 samples (a fifth of a bucket) makes one more bucket.
    void finish()
    {
        if (m_carry.size() >= 41)
            bucket(m_carry.data(), m_carry.size());
        m_carry.clear();
    }

private:
    void bucket(const float* s, size_t n)
    {
        float hi = s[0], lo = s[0], sq = 0;
        for (size_t i = 0; i < n; ++i) {
            hi = std::max(hi, s[i]);
            lo = std::min(lo, s[i]);
            sq += s[i] * s[i];
        }
        m_envelope.highs.push_back(std::max(hi, 0.0f));
        m_envelope.lows.push_back(lo <= 0 ? -lo : 0.0f);
        m_envelope.peaks.push_back(std::max({hi, -lo, 0.0f}));
        m_envelope.rms.push_back(std::sqrt(sq / float(n)));
    }

    SoundtrackEnvelope& m_envelope;
    std::vector<float> m_carry;
};

} // namespace

std::array<float, 4> SoundtrackEnvelope::maxima(double start, double end) const
{
    const qint64 count = qint64(peaks.size());
    if (count == 0)
        return {0, 0, 0, 0};
    const double firstRaw = std::trunc(start * bucketsPerSecond);
    const qint64 first = std::isfinite(firstRaw) ? qint64(std::clamp(firstRaw, 0.0, double(count))) : 0;
    const double lastRaw = std::ceil(end * bucketsPerSecond);
    const qint64 last = std::isfinite(lastRaw) ? qint64(std::clamp(lastRaw, -1.0, double(count))) : first + 1;
    const qint64 endIndex = std::min(std::max(first + 1, last), count);
    if (endIndex <= first)
        return {0, 0, 0, 0};
    std::array<float, 4> out{0, 0, 0, 0};
    for (qint64 i = first; i < endIndex; ++i) {
        out[0] = std::max(out[0], peaks[size_t(i)]);
        out[1] = std::max(out[1], rms[size_t(i)]);
        out[2] = std::max(out[2], highs[size_t(i)]);
        out[3] = std::max(out[3], lows[size_t(i)]);
    }
    return out;
}

std::optional<SoundtrackEnvelope> SoundtrackEnvelope::compute(const QUrl& file, std::stop_token stop)
{
    return compute(file, 0.0, std::move(stop));
}

std::optional<SoundtrackEnvelope> SoundtrackEnvelope::compute(const QUrl& file, double unplacedStart,
                                                              std::stop_token stop)
{
    std::unique_ptr<AudioDecoder> decoder;
    try {
        decoder = std::make_unique<AudioDecoder>(file, AudioDecoder::Options{analysisRate, 1, false, 0.0});
        if (decoder->startSeconds() < 0.001 && unplacedStart > 0)
            decoder = std::make_unique<AudioDecoder>(file,
                                                     AudioDecoder::Options{analysisRate, 1, false, -unplacedStart});
    } catch (const AudioDecoder::NoAudio&) {
        return std::nullopt;
    } catch (const std::exception& error) {
        qCCritical(lcSoundtrackEnvelope, "Envelope for %s failed: %s", qUtf8Printable(file.fileName()),
                   qUtf8Printable(describe(error)));
        return std::nullopt;
    }

    SoundtrackEnvelope envelope;
    const qint64 stated = decoder->statedFrames();
    if (stated > 0) {
        const size_t buckets = size_t(stated / bucketSize + 1);
        envelope.peaks.reserve(buckets);
        envelope.rms.reserve(buckets);
        envelope.highs.reserve(buckets);
        envelope.lows.reserve(buckets);
    }
    BucketAccumulator accumulator(envelope);
    std::vector<float> buffer(8192);
    float* plane = buffer.data();
    bool complete = true;
    for (;;) {
        if (stop.stop_requested()) {
            qCCritical(lcSoundtrackEnvelope, "Envelope for %s failed: %s", qUtf8Printable(file.fileName()),
                       Cancelled().what());
            return std::nullopt;
        }
        qint64 got = 0;
        try {
            got = decoder->read(&plane, qint64(buffer.size()));
        } catch (const std::exception&) {
            complete = false;
            break;
        }
        if (got == 0)
            break;
        accumulator.feed(plane, size_t(got));
    }
    accumulator.finish();
    if (!complete && envelope.peaks.empty())
        return std::nullopt;
    return envelope;
}

QCoro::Task<std::optional<SoundtrackEnvelope>> SoundtrackEnvelope::load(QUrl file, std::stop_token stop)
{
    try {
        auto work = [file, stop] { return compute(file, stop); };
        std::optional<SoundtrackEnvelope> envelope = co_await runOffThread(stop, std::move(work));
        co_return envelope;
    } catch (const Cancelled&) {
        co_return std::nullopt;
    }
}

const SoundtrackEnvelope& StemEnvelopes::operator[](Stem stem) const
{
    switch (stem) {
    case Stem::dialogue:
        return dialogue;
    case Stem::music:
        return music;
    case Stem::effects:
        break;
    }
    return effects;
}

QCoro::Task<std::optional<StemEnvelopes>> StemEnvelopes::load(QUrl dialogue, QUrl music, QUrl effects,
                                                              std::stop_token stop)
{
    auto loading = load(dialogue, music, effects, QUrl(), stop);
    std::optional<StemEnvelopes> envelopes = co_await std::move(loading);
    co_return envelopes;
}

QCoro::Task<std::optional<StemEnvelopes>> StemEnvelopes::load(QUrl dialogue, QUrl music, QUrl effects,
                                                              QUrl separatedFrom, std::stop_token stop)
{
    // The children stop with the caller, and when a sibling comes back empty.
    auto children = std::make_shared<std::stop_source>();
    std::stop_callback forward(stop, [children] { children->request_stop(); });
    const std::stop_token token = children->get_token();
    double unplacedStart = 0;
    if (!separatedFrom.isEmpty()) {
        auto probe = [separatedFrom] { return soundStart(separatedFrom); };
        try {
            unplacedStart = co_await runOffThread(token, std::move(probe));
        } catch (const Cancelled&) {
            co_return std::nullopt;
        }
    }
    auto run = [token, unplacedStart](QUrl file) {
        return runOffThread(token, [file, token, unplacedStart] {
            return SoundtrackEnvelope::compute(file, unplacedStart, token);
        });
    };
    std::array<QCoro::Task<std::optional<SoundtrackEnvelope>>, 3> tasks{run(dialogue), run(music), run(effects)};

    std::array<std::optional<SoundtrackEnvelope>, 3> results;
    size_t awaited = 0;
    bool missing = false;
    for (; awaited < tasks.size(); ++awaited) {
        try {
            results[awaited] = co_await std::move(tasks[awaited]);
        } catch (const Cancelled&) {
        }
        if (!results[awaited]) {
            missing = true;
            ++awaited;
            break;
        }
    }
    if (missing) {
        children->request_stop();
        for (; awaited < tasks.size(); ++awaited) {
            try {
                co_await std::move(tasks[awaited]);
            } catch (const Cancelled&) {
            }
        }
        co_return std::nullopt;
    }
    co_return StemEnvelopes{std::move(*results[0]), std::move(*results[1]), std::move(*results[2])};
}

std::vector<float> computeWaveformBars(const QUrl& file, int count, std::stop_token stop)
{
    if (count < 1)
        return {};
    std::vector<float> bars(size_t(count), 0.0f);
    try {
        AudioDecoder::Options options;
        options.timelineFrom = 0.0;   // bars on the video's timeline, like the envelopes
        AudioDecoder decoder(file, options);
        const qint64 length = decoder.statedFrames();
        if (length <= 0)
            return bars;
        const int channels = decoder.channels();
        constexpr qint64 window = 2048;
        const double step = double(length) / count;

        // One pass: each bar sums the squares of up to 2048 frames from its own start position.
        std::vector<double> sums(size_t(count) * size_t(channels), 0.0);
        std::vector<qint64> frames(size_t(count), 0);
        constexpr qint64 chunk = 8192;
        std::vector<float> buffer(size_t(chunk) * size_t(channels));
        std::vector<float*> planes(size_t(channels), nullptr);
        for (int c = 0; c < channels; ++c)
            planes[size_t(c)] = buffer.data() + size_t(c) * chunk;
        auto barStart = [&](int bar) { return qint64(step * bar); };
        auto barEnd = [&](int bar) { return std::min(barStart(bar) + window, length); };
        qint64 position = 0;
        int firstOpen = 0;   // bars before this one have their whole window
        while (firstOpen < count) {
            if (stop.stop_requested())
                return std::vector<float>(size_t(count), 0.0f);
            qint64 got = 0;
            try {
                got = decoder.read(planes.data(), chunk);
            } catch (const std::exception&) {
                break;
            }
            if (got == 0)
                break;
            const qint64 chunkEnd = position + got;
            for (int bar = firstOpen; bar < count && barStart(bar) < chunkEnd; ++bar) {
                const qint64 from = std::max(barStart(bar), position);
                const qint64 to = std::min(barEnd(bar), chunkEnd);
                if (from >= to)
                    continue;
                for (int c = 0; c < channels; ++c) {
                    const float* p = planes[size_t(c)];
                    double s = 0;
                    for (qint64 i = from - position; i < to - position; ++i)
                        s += double(p[i]) * p[i];
                    sums[size_t(bar) * size_t(channels) + size_t(c)] += s;
                }
                frames[size_t(bar)] += to - from;
            }
            while (firstOpen < count && (barEnd(firstOpen) <= chunkEnd || barStart(firstOpen) >= length))
                ++firstOpen;
            position = chunkEnd;
        }
        for (int bar = 0; bar < count; ++bar) {
            if (frames[size_t(bar)] == 0 || channels == 0)
                continue;
            double meanSquares = 0;
            for (int c = 0; c < channels; ++c)
                meanSquares += sums[size_t(bar) * size_t(channels) + size_t(c)] / double(frames[size_t(bar)]);
            bars[size_t(bar)] = float(std::sqrt(meanSquares / channels));
        }
    } catch (const std::exception&) {
        return bars;
    }
    const float largest = *std::max_element(bars.begin(), bars.end());
    if (largest > 0)
        for (float& b : bars)
            b = b == largest ? 1.0f : b / largest;
    return bars;
}

QCoro::Task<std::vector<float>> loadWaveformBars(QUrl file, int count, std::stop_token stop)
{
    try {
        auto work = [file, count, stop] { return computeWaveformBars(file, count, stop); };
        std::vector<float> bars = co_await runOffThread(stop, std::move(work));
        co_return bars;
    } catch (const Cancelled&) {
        co_return std::vector<float>(size_t(std::max(count, 0)), 0.0f);
    }
}

} // namespace hf
