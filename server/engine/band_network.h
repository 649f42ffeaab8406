#pragma once

// The band-split network (made by training/train_net.py, described in training/band_net.py): every
// bin of every frame gets its shares of dialogue, music and effects from the frames up to reach()
// either side (about 3 s), through a stack of dilated convolutions in time over 48 bands. Its
// weights are built into the program (band_network.weights).

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace hf::engine {

class BandNetwork {
public:
    // The built-in network, read once; throws EngineError when its weights are damaged.
    static const BandNetwork& builtIn();
    // Reads a network from its file's bytes; throws EngineError when they do not hold one.
    explicit BandNetwork(std::span<const std::byte> bytes);

    int bins() const { return m_bins; }
    int bands() const { return int(m_edges.size()) - 1; }
    // Frames either side of a frame that its shares depend on.
    int reach() const { return m_reach; }

    // A frame's inputs (3 x bins()) from the spectra of a group's channels (`count` bins each, n the
    // transform's length): with `pair`, the first two channels give the direction; bins beyond
    // `count` read as silence.
    void inputs(const std::vector<const std::complex<float>*>& spectra, bool pair, int count, int n, float* x) const;

private:
    friend class BandStream;
    struct Block {
        int dilation = 1;
        std::vector<float> gain, offset;       // width
        std::vector<float> expand, expandBias; // width x 2 width (input by input), 2 width
        std::vector<float> taps, tapsBias;     // 3 x 2 width (t - d, t, t + d), 2 width
        std::vector<float> back, backBias;     // width x width, width
    };
    int m_bins = 0, m_width = 0, m_reach = 0;
    std::vector<int> m_edges;                       // bands + 1 bin indices
    std::vector<std::vector<float>> m_split;        // per band: 3 w x width (input by input)
    std::vector<std::vector<float>> m_splitBias;    // per band: width
    std::vector<Block> m_blocks;
    std::vector<std::vector<float>> m_mixes;        // bands x bands, after every second block
    std::vector<float> m_headGain, m_headOffset;    // width
    std::vector<std::vector<float>> m_head;         // per band: width x 3 w (input by input)
    std::vector<std::vector<float>> m_headBias;     // per band: 3 w
};

// The network run along the frames of a soundtrack from `firstFrame` on, one frame in at a time:
// each layer keeps only the frames the next one still reads, so memory does not grow with the
// length. Every layer of every frame is computed the same way whichever frames come with it, so a
// frame's shares do not depend on where a stretch starts or ends. Before frame 0 and after end()
// every convolution reads zeros, as in training; a stream starting later than frame 0 knows a
// frame's shares only from firstFrame + reach() on.
class BandStream {
public:
    // `keep`: how many frames behind the newest one out the shares may still be asked for.
    BandStream(const BandNetwork& network, std::int64_t firstFrame, int keep);
    // The next frame's inputs (BandNetwork::inputs).
    void push(const float* x);
    // No frames come after those pushed.
    void end();
    // The shares of frame t (3 x bins(): dialogue, music, effects), or null while they are not known.
    const float* shares(std::int64_t t);

private:
    struct Ring {
        int size = 0, stride = 0; // frames held, floats per frame
        std::vector<float> values;
        std::int64_t from = 0, done = 0; // frames [from, done) are known; done - size onwards held
        float* at(std::int64_t t) { return values.data() + std::size_t(t % size) * std::size_t(stride); }
    };
    void advance();
    bool step();
    void normalise(const float* h, const std::vector<float>& gain, const std::vector<float>& offset, float* out) const;

    const BandNetwork& m_net;
    std::int64_t m_end = INT64_MAX;
    std::vector<Ring> m_h;    // the residual stream before each block and after the last
    std::vector<Ring> m_u;    // each block's expanded frames
    Ring m_out;               // shares
    std::vector<float> m_norm, m_gate, m_mixed, m_logits;
    std::vector<float> m_zeros; // an expanded frame outside the soundtrack
};

} // namespace hf::engine
