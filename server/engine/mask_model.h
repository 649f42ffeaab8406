#pragma once

// The trained network behind the separation: for one frame of a group of channels it reads the
// band powers of the frames around it (about a second either side), what holds steady in each band,
// how alike the two channels are, how flat each band's spectrum is and how strongly its rises in
// level come back after a beat's time, and gives every band's shares of dialogue, music and
// effects. Its weights are built into the program (separation.weights, made by training/train.sh).

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace hf::engine {

class MaskModel {
public:
    // The built-in model, read once; throws EngineError when its weights are damaged.
    static const MaskModel& builtIn();
    // Reads a model from its file's bytes; throws EngineError when they do not hold one.
    explicit MaskModel(std::span<const std::byte> bytes);

    int bands() const { return int(m_edgesHz.size()) - 1; }
    int pooledBands() const { return (bands() + m_pool - 1) / m_pool; }
    int farBands() const { return (bands() + m_farPool - 1) / m_farPool; }
    // Frames either side of a frame that its shares depend on.
    int reach() const { return m_reach; }
    // Band b holds the bins whose frequency lies in [edgesHz()[b], edgesHz()[b + 1]).
    const std::vector<float>& edgesHz() const { return m_edgesHz; }
    int inputSize() const;

    // What the model needs of every frame of a group, formed as it is analysed.
    struct FrameBands {
        std::vector<float> logPower;                      // per band: ln(mean power of its bins + floor)
        std::vector<std::complex<double>> cross;          // per band: sum of L R* over its bins
        std::vector<double> leftPower, rightPower;        // per band: sums of |L|^2 and |R|^2
        std::vector<float> flatness;                      // per band: mean ln(bin power + floor) - logPower
        std::vector<double> farLevel;                     // per far band: the mean of its bands' logPower
        float meanLogPower = 0;                           // over the bands
    };
    // The band values of a frame outside the soundtrack: silence.
    void silence(FrameBands& out) const;
    // Fills out.farLevel from out.logPower (done once per frame, read by every frame around it).
    void poolFar(FrameBands& out) const;

    // The shares of the frames t ... t + count - 1, given the frames t - reach() ... t + count - 1 +
    // reach() (`around`, in order): count x 3 x bands() values, frame by frame, dialogue first,
    // each band's three adding up to one. A frame's shares are the same whichever frames it is
    // judged with; judging several at once reads the weights once for all of them.
    void shares(std::span<const FrameBands* const> around, int count, std::vector<float>& scratch, float* out) const;

    // The network's inputs for the frame at around[reach()] (2 reach() + 1 frames), into x
    // (inputSize() values, each band's flatness and then each far band's beat last); `window`
    // holds 2 reach() + 1 values of scratch.
    void inputs(std::span<const FrameBands* const> around, float* window, float* x) const;

private:
    struct Layer {
        int inputs = 0, outputs = 0;
        std::vector<float> weights; // inputs x outputs: the weights from each input in a row
        std::vector<float> biases;
    };
    std::vector<float> m_edgesHz;
    // Frames either side seen band by band four bands pooled (context), band by band (fine), for
    // the channels' likeness (direction), every far step with far pool bands pooled (far), and
    // for each band's median (steady).
    int m_context = 0, m_fine = 0, m_direction = 0, m_pool = 1, m_far = 0, m_farStep = 1, m_farPool = 1, m_steady = 0;
    int m_reach = 0;
    std::vector<Layer> m_layers;
    std::size_t m_widest = 0;
};

// The model's bands over the bins of a transform of one length at one sample rate.
class ModelBands {
public:
    ModelBands(const MaskModel& model, int bins, double binHz, int n);
    // The band values of a frame: `spectra` of the group's channels (bins each). With `pair`, the
    // first two of them give the direction; without, the first counts as centred.
    void measure(const std::vector<const std::complex<float>*>& spectra, bool pair, MaskModel::FrameBands& out);
    // A bin's share from the band shares: linear between the centres of the bands around it.
    void toBins(const float* bandShares, float* binShares) const;

private:
    const MaskModel& m_model;
    int m_bins;
    double m_scale;               // 1 / n: power per bin as the model was trained on
    std::vector<int> m_band;      // per bin, -1 beyond the last band
    std::vector<int> m_count;     // bins per band
    std::vector<int> m_below;     // per bin: the band whose centre is at or below it
    std::vector<float> m_weight;  // per bin: the weight of the band above that one
    std::vector<double> m_power;  // scratch: per band, the sum of its bins' power
    std::vector<double> m_logs;   // scratch: per band, the sum of its bins' log power
};

} // namespace hf::engine
