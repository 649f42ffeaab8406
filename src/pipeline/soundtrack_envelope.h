#pragma once

#include "pipeline/stem.h"

#include <QUrl>

#include <qcoro/qcorotask.h>

#include <array>
#include <optional>
#include <stop_token>
#include <vector>

namespace hf {

// Amplitude summary of a soundtrack: four values per 20 ms bucket (160 samples at 8 kHz mono).
struct SoundtrackEnvelope {
    static constexpr int analysisRate = 8000;
    static constexpr int bucketSize = 160;
    static constexpr int bucketsPerSecond = analysisRate / bucketSize;

    std::vector<float> peaks;   // largest absolute sample
    std::vector<float> rms;     // root mean square
    std::vector<float> highs;   // largest sample when positive, else 0
    std::vector<float> lows;    // minus the smallest sample when 0 or below, else 0

    bool operator==(const SoundtrackEnvelope&) const = default;

    qsizetype bucketCount() const { return qsizetype(peaks.size()); }

    // Peak, rms, high and low maxima over the buckets covering [start, end] seconds; a span that
    // starts inside the envelope covers at least one bucket, one past its end gives zeros.
    std::array<float, 4> maxima(double start, double end) const;

    // Streams the file once; none when it cannot be read, has no audio, or `stop` is requested.
    // Never throws.
    // Never throws. Drawn on the video's timeline: a sound that starts late is preceded by
    // silence, and one that starts at zero is placed at `unplacedStart` seconds.
    static std::optional<SoundtrackEnvelope> compute(const QUrl& file, std::stop_token stop = {});
    static std::optional<SoundtrackEnvelope> compute(const QUrl& file, double unplacedStart,
                                                     std::stop_token stop = {});
    // The same on the thread pool.
    static QCoro::Task<std::optional<SoundtrackEnvelope>> load(QUrl file, std::stop_token stop = {});
};

// Envelopes of the three stems.
struct StemEnvelopes {
    SoundtrackEnvelope dialogue;
    SoundtrackEnvelope music;
    SoundtrackEnvelope effects;

    bool operator==(const StemEnvelopes&) const = default;
    const SoundtrackEnvelope& operator[](Stem stem) const;

    // Loads the three in parallel; none as soon as one is missing (the others are stopped and
    // awaited first), or when `stop` is requested.
    static QCoro::Task<std::optional<StemEnvelopes>> load(QUrl dialogue, QUrl music, QUrl effects,
                                                          std::stop_token stop = {});
    // The same for stems separated from `separatedFrom`: stems that start at zero are drawn from
    // where its sound starts on the video's timeline, as the original soundtrack is.
    static QCoro::Task<std::optional<StemEnvelopes>> load(QUrl dialogue, QUrl music, QUrl effects,
                                                          QUrl separatedFrom, std::stop_token stop = {});
};

// `count` loudness bars of a file, normalized so the largest is exactly 1 (all zeros for silence
// or any failure). Each bar measures up to 2048 frames at the start of its stretch of the file.
std::vector<float> computeWaveformBars(const QUrl& file, int count, std::stop_token stop = {});
QCoro::Task<std::vector<float>> loadWaveformBars(QUrl file, int count, std::stop_token stop = {});

} // namespace hf
