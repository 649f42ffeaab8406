#include "engine/mask_model.h"

#include "engine/engine.h"
#include "engine/weights_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

// The weights file, built into the program's read-only data.
#ifndef HF_SEPARATION_WEIGHTS
#error "HF_SEPARATION_WEIGHTS must name the separation model's weights file"
#endif
asm(".pushsection .rodata\n"
    ".balign 16\n"
    "hf_separation_weights_begin:\n"
    ".incbin \"" HF_SEPARATION_WEIGHTS "\"\n"
    "hf_separation_weights_end:\n"
    ".popsection\n");
extern "C" const std::byte hf_separation_weights_begin[];
extern "C" const std::byte hf_separation_weights_end[];

namespace hf::engine {

namespace {

constexpr double kFloor = 1e-10; // power floor of the log band powers
constexpr int kBeatLags[2] = {8, 43}; // the shortest and longest lag (frames) at which a beat may come back
constexpr int kMaxReach = 256;        // frames either side a model may read

// o[k] += v[0] w[0][k] + ... + v[rows - 1] w[rows - 1][k] for k < n, the rows `stride` apart,
// added in that order. Built twice, for processors with and without AVX2; both add every element
// in the same order, so they give the same sums.
__attribute__((target_clones("avx2", "default"))) void addRows(float* __restrict o, const float* __restrict w,
                                                                std::size_t stride, const float* v, int rows,
                                                                std::size_t n)
{
    if (rows == 4) {
        const float v0 = v[0], v1 = v[1], v2 = v[2], v3 = v[3];
        const float *w0 = w, *w1 = w + stride, *w2 = w + 2 * stride, *w3 = w + 3 * stride;
        for (std::size_t k = 0; k < n; ++k)
            o[k] += ((v0 * w0[k] + v1 * w1[k]) + v2 * w2[k]) + v3 * w3[k];
        return;
    }
    for (int r = 0; r < rows; ++r) {
        const float vr = v[r];
        const float* wr = w + std::size_t(r) * stride;
        for (std::size_t k = 0; k < n; ++k)
            o[k] += vr * wr[k];
    }
}

} // namespace

const MaskModel& MaskModel::builtIn()
{
    static const MaskModel model(std::span<const std::byte>(
        hf_separation_weights_begin, std::size_t(hf_separation_weights_end - hf_separation_weights_begin)));
    return model;
}

MaskModel::MaskModel(std::span<const std::byte> bytes)
{
    WeightsReader in(bytes, "separation model");
    char magic[4];
    in.take(magic, 4);
    if (std::memcmp(magic, "HFSM", 4) != 0 || in.u32() != 3)
        throw in.damaged("it is not a model of this version");
    const std::uint32_t bands = in.u32();
    for (int* value : {&m_context, &m_fine, &m_direction, &m_pool, &m_far, &m_farStep, &m_farPool, &m_steady})
        *value = int(std::min<std::uint32_t>(in.u32(), 1024));
    const std::uint32_t layers = in.u32();
    m_reach = std::max({m_context, m_far, m_steady});
    if (bands < 1 || bands > 4096 || m_reach > kMaxReach || m_fine > m_context || m_direction > m_context || m_pool < 1 ||
        m_farStep < 1 || m_farPool < 1 || layers < 1 || layers > 8)
        throw in.damaged("its sizes are out of range");
    m_edgesHz.resize(bands + 1);
    for (float& edge : m_edgesHz)
        edge = in.f32();
    if (!std::is_sorted(m_edgesHz.begin(), m_edgesHz.end()))
        throw in.damaged("its bands are out of order");
    std::size_t expected = std::size_t(inputSize());
    for (std::uint32_t l = 0; l < layers; ++l) {
        Layer layer;
        layer.inputs = int(in.u32());
        layer.outputs = int(in.u32());
        if (std::size_t(layer.inputs) != expected || layer.outputs < 1 || layer.outputs > 1 << 14)
            throw in.damaged("its layers do not fit together");
        // Stored output by output; kept input by input, so that a layer adds up one input at a time.
        layer.weights.resize(std::size_t(layer.inputs) * std::size_t(layer.outputs));
        for (int o = 0; o < layer.outputs; ++o)
            for (int i = 0; i < layer.inputs; ++i)
                layer.weights[std::size_t(i) * std::size_t(layer.outputs) + std::size_t(o)] = in.f16();
        layer.biases.resize(std::size_t(layer.outputs));
        for (float& b : layer.biases)
            if (!std::isfinite(b = in.f32()))
                throw in.damaged("a bias is not a number");
        expected = std::size_t(layer.outputs);
        m_widest = std::max(m_widest, expected);
        m_layers.push_back(std::move(layer));
    }
    if (expected != 3 * bands || !in.atEnd())
        throw in.damaged("its last layer does not give three shares per band");
}

int MaskModel::inputSize() const
{
    return (2 * m_context + 1) * pooledBands() + (2 * m_fine + 1) * bands() + 2 * bands() +
           (2 * (m_far / m_farStep) + 1) * farBands() + 2 * bands() + farBands();
}

void MaskModel::silence(FrameBands& out) const
{
    const auto b = std::size_t(bands());
    out.logPower.assign(b, float(std::log(kFloor)));
    out.cross.assign(b, 0.0);
    out.leftPower.assign(b, 0.0);
    out.rightPower.assign(b, 0.0);
    out.flatness.assign(b, 0.0f);
    out.meanLogPower = float(std::log(kFloor));
    poolFar(out);
}

void MaskModel::poolFar(FrameBands& out) const
{
    const int nb = bands();
    out.farLevel.resize(std::size_t(farBands()));
    for (int from = 0, g = 0; from < nb; from += m_farPool, ++g) {
        const int to = std::min(nb, from + m_farPool);
        double sum = 0;
        for (int band = from; band < to; ++band)
            sum += out.logPower[std::size_t(band)];
        out.farLevel[std::size_t(g)] = sum / (to - from);
    }
}

void MaskModel::inputs(std::span<const FrameBands* const> around, float* window, float* x) const
{
    const int nb = bands();
    // around[m_reach] is the frame itself.
    auto frame = [&](int offset) { return around[std::size_t(m_reach + offset)]; };

    // Band powers relative to their mean over the nearer frames around.
    double level = 0;
    for (int j = -m_context; j <= m_context; ++j)
        level += frame(j)->meanLogPower;
    level /= double(2 * m_context + 1);
    float* at = x;
    auto addPooled = [&](const FrameBands* f, int pool) {
        for (int from = 0; from < nb; from += pool) {
            const int to = std::min(nb, from + pool);
            double sum = 0;
            for (int band = from; band < to; ++band)
                sum += f->logPower[std::size_t(band)];
            *at++ = float(sum / (to - from) - level);
        }
    };
    for (int j = -m_context; j <= m_context; ++j)
        addPooled(frame(j), m_pool);
    for (int j = -m_fine; j <= m_fine; ++j)
        for (int band = 0; band < nb; ++band)
            *at++ = float(double(frame(j)->logPower[std::size_t(band)]) - level);
    // How alike the channels are and how far the band leans to one side, over the nearest frames.
    float* coherence = at;
    float* side = at + nb;
    for (int band = 0; band < nb; ++band) {
        std::complex<double> cross = 0;
        double left = 0, right = 0;
        for (int j = -m_direction; j <= m_direction; ++j) {
            const FrameBands* f = frame(j);
            cross += f->cross[std::size_t(band)];
            left += f->leftPower[std::size_t(band)];
            right += f->rightPower[std::size_t(band)];
        }
        coherence[band] = float(std::clamp(std::norm(cross) / (left * right + 1e-30), 0.0, 1.0));
        side[band] = float(std::abs(left - right) / (left + right + 1e-30));
    }
    at += 2 * nb;
    // Every few frames about a second either side, coarsely.
    for (int j = -(m_far / m_farStep) * m_farStep; j <= m_far; j += m_farStep)
        for (double far : frame(j)->farLevel)
            *at++ = float(far - level);
    // What holds steady: each band's median over the frames around.
    const int count = 2 * m_steady + 1;
    for (int band = 0; band < nb; ++band) {
        for (int j = -m_steady; j <= m_steady; ++j)
            window[j + m_steady] = frame(j)->logPower[std::size_t(band)];
        std::nth_element(window, window + m_steady, window + count);
        *at++ = float(double(window[m_steady]) - level);
    }
    // How flat each band's spectrum is over the nearest frames: noise against partials.
    for (int band = 0; band < nb; ++band) {
        double sum = 0;
        for (int j = -m_fine; j <= m_fine; ++j)
            sum += frame(j)->flatness[std::size_t(band)];
        *at++ = float(sum / double(2 * m_fine + 1));
    }
    // How strongly each far band's rises in level come back after a beat's time: the largest
    // autocorrelation of the rises over the frames around, at lags of 0.19-1 s, over their energy.
    const int n = 2 * m_far;
    double pooled[2 * kMaxReach + 1];
    double rise[2 * kMaxReach];
    for (std::size_t g = 0; g < std::size_t(farBands()); ++g) {
        for (int j = -m_far; j <= m_far; ++j)
            pooled[j + m_far] = frame(j)->farLevel[g];
        double mean = 0;
        for (int k = 0; k < n; ++k)
            mean += rise[k] = std::max(0.0, pooled[k + 1] - pooled[k]);
        mean /= n;
        double energy = 0;
        for (int k = 0; k < n; ++k) {
            rise[k] -= mean;
            energy += rise[k] * rise[k];
        }
        double best = -1;
        for (int lag = kBeatLags[0]; lag <= kBeatLags[1] && lag < n; ++lag) {
            double sum = 0;
            for (int k = 0; k + lag < n; ++k)
                sum += rise[k] * rise[k + lag];
            best = std::max(best, sum);
        }
        *at++ = energy > 1e-9 ? float(best / energy) : 0.0f;
    }
}

void MaskModel::shares(std::span<const FrameBands* const> around, int count, std::vector<float>& scratch, float* out) const
{
    const int nb = bands();
    const std::size_t frames = std::size_t(std::max(count, 0));
    const std::size_t width = std::size_t(inputSize());
    scratch.resize(frames * (width + 2 * m_widest) + std::size_t(2 * m_steady + 1));
    float* x = scratch.data();
    float* a = x + frames * width;
    float* b = a + frames * m_widest;
    float* window = b + frames * m_widest;
    for (std::size_t f = 0; f < frames; ++f)
        inputs(around.subspan(f, std::size_t(2 * m_reach + 1)), window, x + f * width);

    // The layers: every input adds its row of weights to the outputs, four rows at a time; four
    // inputs at zero add nothing. Rows are read once for all the frames, and each frame adds its
    // rows in the same order whatever the other frames are.
    const float* input = x;
    std::size_t stride = width;
    for (std::size_t l = 0; l < m_layers.size(); ++l) {
        const Layer& layer = m_layers[l];
        float* output = l % 2 == 0 ? a : b;
        const std::size_t outputs = std::size_t(layer.outputs);
        for (std::size_t f = 0; f < frames; ++f)
            std::copy(layer.biases.begin(), layer.biases.end(), output + f * m_widest);
        for (int i = 0; i < layer.inputs; i += 4) {
            const int rows = std::min(4, layer.inputs - i);
            const float* w = layer.weights.data() + std::size_t(i) * outputs;
            for (std::size_t f = 0; f < frames; ++f) {
                const float* v = input + f * stride + std::size_t(i);
                if (std::all_of(v, v + rows, [](float value) { return value == 0.0f; }))
                    continue;
                addRows(output + f * m_widest, w, outputs, v, rows, outputs);
            }
        }
        if (l + 1 < m_layers.size())
            for (std::size_t f = 0; f < frames; ++f)
                for (std::size_t k = 0; k < outputs; ++k)
                    output[f * m_widest + k] = std::max(0.0f, output[f * m_widest + k]);
        input = output;
        stride = m_widest;
    }
    // Each band's three shares by a softmax.
    for (std::size_t f = 0; f < frames; ++f) {
        const float* z = input + f * stride;
        float* shares = out + f * std::size_t(3 * nb);
        for (int band = 0; band < nb; ++band) {
            const float v[3] = {z[band], z[nb + band], z[2 * nb + band]};
            const float top = std::max({v[0], v[1], v[2]});
            float e[3], total = 0;
            for (int s = 0; s < 3; ++s)
                total += e[s] = std::exp(v[s] - top);
            for (int s = 0; s < 3; ++s)
                shares[s * nb + band] = e[s] / total;
        }
    }
}

ModelBands::ModelBands(const MaskModel& model, int bins, double binHz, int n)
    : m_model(model), m_bins(bins), m_scale(1.0 / n), m_band(std::size_t(bins), -1),
      m_count(std::size_t(model.bands()), 0), m_below(std::size_t(bins), 0), m_weight(std::size_t(bins), 0.0f)
{
    const auto& edges = model.edgesHz();
    const int nb = model.bands();
    for (int k = 0, band = 0; k < bins; ++k) {
        const double hz = k * binHz;
        while (band < nb && hz >= edges[std::size_t(band) + 1])
            ++band;
        if (band < nb && hz >= edges[std::size_t(band)]) {
            m_band[std::size_t(k)] = band;
            ++m_count[std::size_t(band)];
        }
    }
    std::vector<double> centre(static_cast<std::size_t>(nb));
    for (int band = 0; band < nb; ++band)
        centre[std::size_t(band)] = 0.5 * (double(edges[std::size_t(band)]) + edges[std::size_t(band) + 1]);
    for (int k = 0, below = 0; k < bins; ++k) {
        const double hz = k * binHz;
        while (below + 1 < nb && centre[std::size_t(below) + 1] <= hz)
            ++below;
        m_below[std::size_t(k)] = below;
        if (below + 1 < nb && hz > centre[std::size_t(below)])
            m_weight[std::size_t(k)] = float((hz - centre[std::size_t(below)]) / (centre[std::size_t(below) + 1] - centre[std::size_t(below)]));
    }
}

void ModelBands::measure(const std::vector<const std::complex<float>*>& spectra, bool pair, MaskModel::FrameBands& out)
{
    const std::size_t nb = std::size_t(m_model.bands());
    m_power.assign(nb, 0.0);
    m_logs.assign(nb, 0.0);
    out.cross.assign(nb, 0.0);
    out.leftPower.assign(nb, 0.0);
    out.rightPower.assign(nb, 0.0);
    const double perChannel = m_scale / double(spectra.size());
    for (int k = 0; k < m_bins; ++k) {
        const int band = m_band[std::size_t(k)];
        if (band < 0)
            continue;
        double sum = 0;
        for (const std::complex<float>* s : spectra)
            sum += std::norm(std::complex<double>(s[k]));
        m_power[std::size_t(band)] += sum * perChannel;
        m_logs[std::size_t(band)] += std::log(sum * perChannel + kFloor);
        const std::complex<double> l(spectra[0][k]);
        const std::complex<double> r = pair ? std::complex<double>(spectra[1][k]) : l;
        out.cross[std::size_t(band)] += l * std::conj(r);
        out.leftPower[std::size_t(band)] += std::norm(l);
        out.rightPower[std::size_t(band)] += std::norm(r);
    }
    out.logPower.resize(nb);
    out.flatness.resize(nb);
    double mean = 0;
    for (std::size_t b = 0; b < nb; ++b) {
        const double p = m_count[b] > 0 ? m_power[b] / m_count[b] : 0.0;
        const double logP = std::log(p + kFloor);
        out.logPower[b] = float(logP);
        out.flatness[b] = m_count[b] > 0 ? float(m_logs[b] / m_count[b] - logP) : 0.0f;
        mean += logP;
    }
    out.meanLogPower = float(mean / double(nb));
    m_model.poolFar(out);
}

void ModelBands::toBins(const float* bandShares, float* binShares) const
{
    const int nb = m_model.bands();
    for (int k = 0; k < m_bins; ++k) {
        const int below = m_below[std::size_t(k)];
        const float w = m_weight[std::size_t(k)];
        binShares[k] = w > 0 ? bandShares[below] * (1 - w) + bandShares[std::min(nb - 1, below + 1)] * w : bandShares[below];
    }
}

} // namespace hf::engine
