#include "engine/fingerprint.h"

#include "engine/dsp.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace hf::engine {

namespace {

constexpr int kN = 1024;
constexpr int kBins = kN / 2 + 1;
constexpr int kPeakFrames = 5;   // a peak is the largest within +-5 frames (160 ms)...
constexpr int kPeakBins = 12;    // ...and +-12 bins (94 Hz)
constexpr float kFloorDb = -60;  // and louder than this, in dB below a full-scale sine
constexpr int kMinBin = 8;       // 62 Hz up
constexpr int kFanOut = 8;       // targets per anchor
// Targets follow their anchor within 2 s and +-30 bins (234 Hz): a narrow zone keeps other sounds
// from crowding a song's own targets out.
constexpr int kMaxDeltaFrames = 63;
constexpr int kMaxDeltaBins = 30;
constexpr int kRing = 2 * kPeakFrames + 1;

} // namespace

struct Fingerprinter::State {
    RealFft fft{kN, false};
    std::vector<float> window = hannWindow(kN, false);
    std::vector<float> buffer; // samples not yet framed; begins at the next frame's start
    std::vector<float> time = std::vector<float>(kN);
    std::vector<std::complex<float>> bins = std::vector<std::complex<float>>(kBins);
    // Per frame in the ring: level in dB, and the level's maximum across neighbouring bins.
    std::vector<std::vector<float>> level = std::vector<std::vector<float>>(kRing, std::vector<float>(kBins));
    std::vector<std::vector<float>> spread = std::vector<std::vector<float>>(kRing, std::vector<float>(kBins));
};

Fingerprinter::Fingerprinter() : m_state(std::make_unique<State>())
{
    // Half a frame of silence first, so the opening is analysed like the rest.
    m_state->buffer.assign(kN / 2, 0.0f);
}

Fingerprinter::~Fingerprinter() = default;

void Fingerprinter::push(const float* samples, std::size_t count)
{
    auto& buffer = m_state->buffer;
    buffer.insert(buffer.end(), samples, samples + count);
    std::size_t offset = 0;
    while (buffer.size() - offset >= std::size_t(kN)) {
        analyzeFrame(buffer.data() + offset);
        offset += kFingerprintHop;
    }
    buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(offset));
}

void Fingerprinter::finish()
{
    std::vector<float> silence(kN, 0.0f);
    push(silence.data(), silence.size());
    while (m_decided < m_frames)
        decide(m_decided++);
    pairAnchorsBefore(std::numeric_limits<std::int64_t>::max());
}

void Fingerprinter::analyzeFrame(const float* frame)
{
    State& s = *m_state;
    for (int i = 0; i < kN; ++i)
        s.time[i] = frame[i] * s.window[i];
    s.fft.forward(s.time.data(), s.bins.data());
    const std::size_t slot = std::size_t(m_frames % kRing);
    auto& level = s.level[slot];
    constexpr float fullScale = kN / 4.0f; // a full-scale sine's peak bin
    for (int k = 0; k < kBins; ++k)
        level[k] = 20.0f * std::log10(std::abs(s.bins[k]) / fullScale + 1e-9f);
    auto& spread = s.spread[slot];
    for (int k = 0; k < kBins; ++k) {
        float m = level[k];
        for (int i = std::max(0, k - kPeakBins); i <= std::min(kBins - 1, k + kPeakBins); ++i)
            m = std::max(m, level[i]);
        spread[k] = m;
    }
    ++m_frames;
    while (m_decided + kPeakFrames < m_frames)
        decide(m_decided++);
}

void Fingerprinter::decide(std::int64_t t)
{
    State& s = *m_state;
    const auto& level = s.level[std::size_t(t % kRing)];
    const auto& spread = s.spread[std::size_t(t % kRing)];
    for (int k = kMinBin; k < kBins; ++k) {
        const float v = level[k];
        if (v < kFloorDb || v < spread[k])
            continue;
        bool peak = true;
        for (int i = std::max(0, k - kPeakBins); i < k && peak; ++i)
            peak = level[i] < v; // of equal neighbours, the lowest bin counts
        for (std::int64_t j = std::max<std::int64_t>(0, t - kPeakFrames); j <= std::min(m_frames - 1, t + kPeakFrames) && peak; ++j) {
            if (j == t)
                continue;
            const float other = s.spread[std::size_t(j % kRing)][k];
            peak = j < t ? other < v : other <= v; // of equal frames, the earliest counts
        }
        if (peak)
            m_peaks.push_back({std::uint32_t(t), std::uint16_t(k)});
    }
    pairAnchorsBefore(t - kMaxDeltaFrames);
}

void Fingerprinter::pairAnchorsBefore(std::int64_t frame)
{
    // An anchor is paired once every frame that could hold its targets is decided.
    while (!m_peaks.empty() && std::int64_t(m_peaks.front().frame) < frame) {
        const Peak anchor = m_peaks.front();
        m_peaks.pop_front();
        int paired = 0;
        for (const Peak& target : m_peaks) {
            const int dt = int(target.frame) - int(anchor.frame);
            if (dt < 1)
                continue;
            if (dt > kMaxDeltaFrames || paired == kFanOut)
                break;
            if (std::abs(int(target.bin) - int(anchor.bin)) > kMaxDeltaBins)
                continue;
            const std::uint32_t hash = (std::uint32_t(anchor.bin) << 16) | (std::uint32_t(target.bin) << 6) | std::uint32_t(dt);
            m_landmarks.push_back({hash, anchor.frame});
            ++paired;
        }
    }
}

std::vector<Landmark> fingerprintFile(const std::filesystem::path& path, std::stop_token stop, std::int64_t* frames)
{
    AudioReader reader(path, AudioReader::Conversion{kFingerprintRate, true});
    Fingerprinter fingerprinter;
    Planes planes;
    std::int64_t samples = 0;
    while (reader.read(planes)) {
        if (stop.stop_requested())
            throw Cancelled();
        samples += std::int64_t(planes[0].size());
        fingerprinter.push(planes[0].data(), planes[0].size());
        planes[0].clear();
    }
    if (samples == 0)
        throw EngineError(EngineError::Kind::emptyInput, "\"" + path.string() + "\" holds no audio samples");
    fingerprinter.finish();
    if (frames)
        *frames = fingerprinter.frames();
    return std::move(fingerprinter.landmarks());
}

} // namespace hf::engine
