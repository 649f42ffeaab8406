#pragma once

// Audio fingerprints: spectral peaks of a mono 8 kHz signal, paired into landmarks
// (frequency of the anchor, frequency of the target, frames between them) and hashed.

#include "engine/audio_io.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <stop_token>
#include <vector>

namespace hf::engine {

struct Landmark {
    std::uint32_t hash;
    std::uint32_t frame; // the anchor's frame
};

inline constexpr int kFingerprintRate = 8000;
inline constexpr int kFingerprintHop = 256; // 32 ms frames
inline constexpr double kFingerprintFrameSeconds = double(kFingerprintHop) / kFingerprintRate;
inline constexpr double kFingerprintFrameLength = 1024.0 / kFingerprintRate; // seconds one frame spans
// Changes whenever the landmarks change, so cached fingerprints of an older kind are rebuilt.
inline constexpr std::uint32_t kFingerprintVersion = 4;

// Turns mono samples at kFingerprintRate into landmarks, as they arrive.
class Fingerprinter {
public:
    Fingerprinter();
    ~Fingerprinter();
    void push(const float* samples, std::size_t count);
    void finish();
    // Landmarks so far, in anchor frame order once finished.
    std::vector<Landmark>& landmarks() { return m_landmarks; }
    std::int64_t frames() const { return m_frames; }

private:
    struct Peak {
        std::uint32_t frame;
        std::uint16_t bin;
    };
    void analyzeFrame(const float* frame);
    void decide(std::int64_t t);
    void pairAnchorsBefore(std::int64_t frame);

    struct State;
    std::unique_ptr<State> m_state;
    std::vector<Landmark> m_landmarks;
    std::deque<Peak> m_peaks;
    std::int64_t m_frames = 0;  // frames analyzed
    std::int64_t m_decided = 0; // frames whose peaks are known
};

// Decodes a file (mixed to mono, resampled) and fingerprints it.
std::vector<Landmark> fingerprintFile(const std::filesystem::path& path, std::stop_token stop, std::int64_t* frames = nullptr);

} // namespace hf::engine
