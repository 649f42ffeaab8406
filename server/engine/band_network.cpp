#include "engine/band_network.h"

#include "engine/engine.h"
#include "engine/weights_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

// The weights file, built into the program's read-only data.
#ifndef HF_BAND_NETWORK_WEIGHTS
#error "HF_BAND_NETWORK_WEIGHTS must name the band network's weights file"
#endif
asm(".pushsection .rodata\n"
    ".balign 16\n"
    "hf_band_network_weights_begin:\n"
    ".incbin \"" HF_BAND_NETWORK_WEIGHTS "\"\n"
    "hf_band_network_weights_end:\n"
    ".popsection\n");
extern "C" const std::byte hf_band_network_weights_begin[];
extern "C" const std::byte hf_band_network_weights_end[];

namespace hf::engine {

namespace {

constexpr double kFloor = 1e-10; // power floor of the log bin powers
constexpr float kNormFloor = 1e-5f;

// A rows x columns matrix of float16 values stored row by row, kept column by column when
// `transpose` (a layer's weights, stored output by output, are kept input by input).
std::vector<float> halves(WeightsReader& in, std::size_t rows, std::size_t columns, bool transpose)
{
    if (rows * columns * 2 > in.left())
        throw in.damaged("it ends early");
    std::vector<float> out(rows * columns);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < columns; ++c)
            out[transpose ? c * rows + r : r * columns + c] = in.f16();
    return out;
}

// `count` float32 values.
std::vector<float> floats(WeightsReader& in, std::size_t count)
{
    std::vector<float> out(count);
    for (float& v : out)
        if (!std::isfinite(v = in.f32()))
            throw in.damaged("a value is not a number");
    return out;
}

// e^x to about 2e-6 of its value, the same way for every element (vectorisable).
inline float exponential(float x)
{
    x = std::clamp(x, -87.0f, 88.0f);
    const float t = x * 1.44269504f;
    const float whole = std::floor(t);
    const float f = t - whole;
    float p = 1.52527e-5f;
    p = p * f + 1.540353e-4f;
    p = p * f + 1.3333558e-3f;
    p = p * f + 9.6181291e-3f;
    p = p * f + 5.55041087e-2f;
    p = p * f + 0.240226507f;
    p = p * f + 0.693147181f;
    p = p * f + 1.0f;
    return p * std::bit_cast<float>((int(whole) + 127) << 23);
}

// y[r][o] = bias[o] + x[r][0] w[0][o] + ... + x[r][inner - 1] w[inner - 1][o] (no bias: 0), each sum
// taken in that order whatever the shape, so that a frame's values do not depend on how many
// rows come with it. Four rows by `Tile` outputs at a time, so that the sums stay in registers.
template <int Tile>
__attribute__((always_inline)) inline void productOf(const float* __restrict x, int rows, int inner, const float* __restrict w,
                                                     int outs, const float* __restrict bias, float* __restrict y)
{
    const auto at = [](int a, int b) { return std::size_t(a) * std::size_t(b); };
    int r = 0;
    for (; r + 4 <= rows; r += 4) {
        int o = 0;
        for (; o + Tile <= outs; o += Tile) {
            float acc[4][Tile];
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < Tile; ++j)
                    acc[i][j] = bias ? bias[o + j] : 0.0f;
            for (int c = 0; c < inner; ++c) {
                const float* wc = w + at(c, outs) + o;
                for (int i = 0; i < 4; ++i) {
                    const float v = x[at(r + i, inner) + std::size_t(c)];
                    for (int j = 0; j < Tile; ++j)
                        acc[i][j] += v * wc[j];
                }
            }
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < Tile; ++j)
                    y[at(r + i, outs) + std::size_t(o + j)] = acc[i][j];
        }
        for (; o < outs; ++o)
            for (int i = 0; i < 4; ++i) {
                float acc = bias ? bias[o] : 0.0f;
                for (int c = 0; c < inner; ++c)
                    acc += x[at(r + i, inner) + std::size_t(c)] * w[at(c, outs) + std::size_t(o)];
                y[at(r + i, outs) + std::size_t(o)] = acc;
            }
    }
    for (; r < rows; ++r) {
        const float* xr = x + at(r, inner);
        int o = 0;
        for (; o + 64 <= outs; o += 64) {
            float acc[64];
            for (int j = 0; j < 64; ++j)
                acc[j] = bias ? bias[o + j] : 0.0f;
            for (int c = 0; c < inner; ++c) {
                const float* wc = w + at(c, outs) + o;
                const float v = xr[c];
                for (int j = 0; j < 64; ++j)
                    acc[j] += v * wc[j];
            }
            std::copy(acc, acc + 64, y + at(r, outs) + std::size_t(o));
        }
        for (; o + 16 <= outs; o += 16) {
            float acc[16];
            for (int j = 0; j < 16; ++j)
                acc[j] = bias ? bias[o + j] : 0.0f;
            for (int c = 0; c < inner; ++c) {
                const float* wc = w + at(c, outs) + o;
                const float v = xr[c];
                for (int j = 0; j < 16; ++j)
                    acc[j] += v * wc[j];
            }
            std::copy(acc, acc + 16, y + at(r, outs) + std::size_t(o));
        }
        for (; o < outs; ++o) {
            float acc = bias ? bias[o] : 0.0f;
            for (int c = 0; c < inner; ++c)
                acc += xr[c] * w[at(c, outs) + std::size_t(o)];
            y[at(r, outs) + std::size_t(o)] = acc;
        }
    }
}

// Built for processors with AVX-512 (twice as many outputs at a time: its registers are twice as
// wide), with AVX2 and FMA, and without; the processor picks one when the program starts.
__attribute__((target("arch=x86-64-v4"))) void productWide(const float* x, int rows, int inner, const float* w, int outs,
                                                          const float* bias, float* y)
{
    productOf<32>(x, rows, inner, w, outs, bias, y);
}
__attribute__((target("arch=x86-64-v3"))) void productAvx2(const float* x, int rows, int inner, const float* w, int outs,
                                                          const float* bias, float* y)
{
    productOf<16>(x, rows, inner, w, outs, bias, y);
}
void productPlain(const float* x, int rows, int inner, const float* w, int outs, const float* bias, float* y)
{
    productOf<16>(x, rows, inner, w, outs, bias, y);
}
using Product = void (*)(const float*, int, int, const float*, int, const float*, float*);
const Product product = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4"))
        return &productWide;
    if (__builtin_cpu_supports("x86-64-v3"))
        return &productAvx2;
    return &productPlain;
}();

// A block's dilated convolution in time and its gate, for one frame: v = taps[0] before + taps[1]
// now + taps[2] after + bias over 2 width features per band, then out = v[c] sigmoid(v[width + c]).
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default"))) void convolveAndGate(
    const float* __restrict before, const float* __restrict now, const float* __restrict after,
    const float* __restrict taps, const float* __restrict bias, int bands, int width, float* __restrict out)
{
    const int wide = 2 * width;
    const float *t0 = taps, *t1 = taps + wide, *t2 = taps + 2 * wide;
    float v[1024];
    for (int k = 0; k < bands; ++k) {
        const std::size_t row = std::size_t(k) * std::size_t(wide);
        for (int j = 0; j < wide; ++j)
            v[j] = ((before[row + j] * t0[j] + now[row + j] * t1[j]) + after[row + j] * t2[j]) + bias[j];
        float* o = out + std::size_t(k) * std::size_t(width);
        for (int c = 0; c < width; ++c)
            o[c] = v[c] / (1.0f + exponential(-v[width + c]));
    }
}

} // namespace

const BandNetwork& BandNetwork::builtIn()
{
    static const BandNetwork network(std::span<const std::byte>(
        hf_band_network_weights_begin, std::size_t(hf_band_network_weights_end - hf_band_network_weights_begin)));
    return network;
}

BandNetwork::BandNetwork(std::span<const std::byte> bytes)
{
    WeightsReader in(bytes, "band network");
    char magic[4];
    in.take(magic, 4);
    if (std::memcmp(magic, "HFSN", 4) != 0 || in.u32() != 1)
        throw in.damaged("it is not a network of this version");
    m_bins = int(std::min<std::uint32_t>(in.u32(), 1 << 16));
    const int bands = int(std::min<std::uint32_t>(in.u32(), 1 << 12));
    m_width = int(std::min<std::uint32_t>(in.u32(), 1 << 12));
    const int blocks = int(std::min<std::uint32_t>(in.u32(), 256));
    if (m_bins < 2 || bands < 1 || bands > m_bins || m_width < 1 || m_width > 512)
        throw in.damaged("its sizes are out of range");
    m_edges.resize(std::size_t(bands) + 1);
    for (int& edge : m_edges)
        edge = int(std::min<std::uint32_t>(in.u32(), 1 << 16));
    if (m_edges.front() != 0 || m_edges.back() != m_bins || std::adjacent_find(m_edges.begin(), m_edges.end(), std::greater_equal<>()) != m_edges.end())
        throw in.damaged("its bands are out of order");
    m_blocks.resize(std::size_t(blocks));
    for (Block& block : m_blocks) {
        block.dilation = int(std::min<std::uint32_t>(in.u32(), 1 << 12));
        if (block.dilation < 1)
            throw in.damaged("a dilation is out of range");
        m_reach += block.dilation;
    }
    const auto width = std::size_t(m_width);
    for (int b = 0; b < bands; ++b) {
        const auto w = std::size_t(m_edges[std::size_t(b) + 1] - m_edges[std::size_t(b)]);
        m_split.push_back(halves(in, width, 3 * w, true));
        m_splitBias.push_back(floats(in, width));
    }
    for (Block& block : m_blocks) {
        block.gain = floats(in, width);
        block.offset = floats(in, width);
        block.expand = halves(in, 2 * width, width, true);
        block.expandBias = floats(in, 2 * width);
        block.taps = halves(in, 2 * width, 3, true); // tap by tap
        block.tapsBias = floats(in, 2 * width);
        block.back = halves(in, width, width, true);
        block.backBias = floats(in, width);
    }
    for (int m = 0; m < blocks / 2; ++m)
        m_mixes.push_back(halves(in, std::size_t(bands), std::size_t(bands), false));
    m_headGain = floats(in, width);
    m_headOffset = floats(in, width);
    for (int b = 0; b < bands; ++b) {
        const auto w = std::size_t(m_edges[std::size_t(b) + 1] - m_edges[std::size_t(b)]);
        m_head.push_back(halves(in, 3 * w, width, true));
        m_headBias.push_back(floats(in, 3 * w));
    }
    if (!in.atEnd())
        throw in.damaged("it holds more than its layers");
}

void BandNetwork::inputs(const std::vector<const std::complex<float>*>& spectra, bool pair, int count, int n, float* x) const
{
    float* level = x;
    float* differ = x + m_bins;
    float* lean = x + 2 * m_bins;
    const double perChannel = 1.0 / (double(n) * double(spectra.size()));
    const int have = std::min(count, m_bins);
    for (int k = 0; k < have; ++k) {
        double sum = 0;
        for (const std::complex<float>* s : spectra)
            sum += std::norm(std::complex<double>(s[k]));
        level[k] = float((std::log(sum * perChannel + kFloor) + 12) / 6);
        if (pair) {
            const std::complex<double> l(spectra[0][k]), r(spectra[1][k]);
            const double both = std::norm(l) + std::norm(r) + 1e-20;
            differ[k] = float(std::norm(l - r) / both);
            lean[k] = float((std::norm(l) - std::norm(r)) / both);
        } else {
            differ[k] = lean[k] = 0.0f;
        }
    }
    for (int k = have; k < m_bins; ++k) {
        level[k] = float((std::log(kFloor) + 12) / 6);
        differ[k] = lean[k] = 0.0f;
    }
}

BandStream::BandStream(const BandNetwork& network, std::int64_t firstFrame, int keep) : m_net(network)
{
    const int plane = network.bands() * network.m_width;
    const std::size_t blocks = network.m_blocks.size();
    m_h.resize(blocks + 1);
    m_u.resize(blocks);
    std::int64_t from = std::max<std::int64_t>(0, firstFrame);
    for (std::size_t i = 0; i <= blocks; ++i) {
        // A block reads its input d frames either side: d + 2 frames of it are held, 2 d + 2 of
        // the expanded frames; the last layer as many as the shares may be asked for.
        const int d = i < blocks ? network.m_blocks[i].dilation : 0;
        m_h[i].size = i < blocks ? d + 2 : std::max(keep, 1) + 2;
        m_h[i].stride = plane;
        m_h[i].from = m_h[i].done = from;
        m_h[i].values.assign(std::size_t(m_h[i].size) * std::size_t(plane), 0.0f);
        if (i < blocks) {
            m_u[i].size = 2 * d + 2;
            m_u[i].stride = 2 * plane;
            m_u[i].from = m_u[i].done = from;
            m_u[i].values.assign(std::size_t(m_u[i].size) * std::size_t(2 * plane), 0.0f);
            if (firstFrame > 0)
                from += d; // the first frame whose window starts within the stream
        }
    }
    m_norm.resize(std::size_t(plane));
    m_zeros.assign(std::size_t(2 * plane), 0.0f);
    m_gate.resize(std::size_t(plane));
    m_mixed.resize(std::size_t(plane));
    m_logits.resize(std::size_t(3 * network.bins()));
    m_out.size = 1;
    m_out.stride = 3 * network.bins();
    m_out.values.resize(std::size_t(m_out.stride));
    m_out.from = m_out.done = -1; // the frame whose shares are held
}

void BandStream::normalise(const float* h, const std::vector<float>& gain, const std::vector<float>& offset, float* out) const
{
    const int width = m_net.m_width, count = m_net.bands() * width;
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += h[i];
    const float mean = float(sum / count);
    double squares = 0;
    for (int i = 0; i < count; ++i)
        squares += double(h[i] - mean) * double(h[i] - mean);
    const float scale = 1.0f / std::sqrt(float(squares / count) + kNormFloor);
    for (int k = 0; k < count; k += width)
        for (int c = 0; c < width; ++c)
            out[k + c] = (h[k + c] - mean) * scale * gain[std::size_t(c)] + offset[std::size_t(c)];
}

void BandStream::push(const float* x)
{
    Ring& h = m_h[0];
    if (h.done >= m_end)
        throw std::logic_error("a frame pushed after the end of the band network's stream");
    if (m_h.size() > 1 && h.done - h.size >= std::min(m_u[0].done, m_h[1].done))
        throw std::logic_error("the band network's first layer is full");
    float* out = h.at(h.done);
    const int width = m_net.m_width;
    std::vector<float>& gathered = m_logits; // scratch: 3 x the widest band
    for (int b = 0; b < m_net.bands(); ++b) {
        const int lo = m_net.m_edges[std::size_t(b)], w = m_net.m_edges[std::size_t(b) + 1] - lo;
        for (int f = 0; f < 3; ++f)
            std::copy(x + f * m_net.m_bins + lo, x + f * m_net.m_bins + lo + w, gathered.begin() + f * w);
        product(gathered.data(), 1, 3 * w, m_net.m_split[std::size_t(b)].data(), width,
                m_net.m_splitBias[std::size_t(b)].data(), out + std::size_t(b) * std::size_t(width));
    }
    ++h.done;
    advance();
}

void BandStream::end()
{
    m_end = m_h[0].done;
    advance();
}

void BandStream::advance()
{
    while (step()) {
    }
}

// Computes one more frame of every layer that can take one; false when none could.
bool BandStream::step()
{
    bool moved = false;
    const int width = m_net.m_width, bands = m_net.bands(), plane = bands * width;
    for (std::size_t i = 0; i < m_net.m_blocks.size(); ++i) {
        const BandNetwork::Block& block = m_net.m_blocks[i];
        const int d = block.dilation;
        Ring& h = m_h[i];
        Ring& u = m_u[i];
        Ring& next = m_h[i + 1];
        // The expanded frame, once the slot it takes is no longer read.
        if (u.done < h.done && u.done - u.size < next.done - d) {
            normalise(h.at(u.done), block.gain, block.offset, m_norm.data());
            product(m_norm.data(), bands, width, block.expand.data(), 2 * width, block.expandBias.data(), u.at(u.done));
            ++u.done;
            moved = true;
        }
        // The block's output at t, once the frames t - d, t and t + d are expanded (or lie
        // outside the soundtrack) and its slot is no longer read.
        const std::int64_t t = next.done;
        const std::int64_t reader = i + 1 < m_net.m_blocks.size() ? std::min(m_u[i + 1].done, m_h[i + 2].done) : t;
        if (t < m_end && t < u.done && (t + d < u.done || t + d >= m_end) && (i + 1 == m_net.m_blocks.size() || t - next.size < reader)) {
            const float* before = t - d >= 0 ? u.at(t - d) : m_zeros.data();
            const float* after = t + d < m_end ? u.at(t + d) : m_zeros.data();
            convolveAndGate(before, u.at(t), after, block.taps.data(), block.tapsBias.data(), bands, width, m_gate.data());
            float* out = next.at(t);
            product(m_gate.data(), bands, width, block.back.data(), width, block.backBias.data(), out);
            const float* in = h.at(t);
            for (int e = 0; e < plane; ++e)
                out[e] += in[e];
            if (i % 2 == 1) {
                product(m_net.m_mixes[i / 2].data(), bands, bands, out, width, nullptr, m_mixed.data());
                for (int e = 0; e < plane; ++e)
                    out[e] += m_mixed[std::size_t(e)];
            }
            ++next.done;
            moved = true;
        }
    }
    return moved;
}

const float* BandStream::shares(std::int64_t t)
{
    Ring& h = m_h.back();
    if (t < h.from || t >= h.done)
        return nullptr;
    if (t <= h.done - h.size)
        throw std::logic_error("the band network's shares of a frame asked for too late");
    if (m_out.from == t)
        return m_out.values.data();
    const int width = m_net.m_width, bins = m_net.m_bins;
    normalise(h.at(t), m_net.m_headGain, m_net.m_headOffset, m_norm.data());
    float* out = m_out.values.data();
    for (int b = 0; b < m_net.bands(); ++b) {
        const int lo = m_net.m_edges[std::size_t(b)], w = m_net.m_edges[std::size_t(b) + 1] - lo;
        float* z = m_logits.data();
        product(m_norm.data() + std::size_t(b) * std::size_t(width), 1, width, m_net.m_head[std::size_t(b)].data(), 3 * w,
                m_net.m_headBias[std::size_t(b)].data(), z);
        for (int j = 0; j < w; ++j) {
            const float top = std::max({z[j], z[w + j], z[2 * w + j]});
            float e[3], total = 0;
            for (int s = 0; s < 3; ++s)
                total += e[s] = exponential(z[s * w + j] - top);
            for (int s = 0; s < 3; ++s)
                out[s * bins + lo + j] = e[s] / total;
        }
    }
    m_out.from = t;
    return out;
}

} // namespace hf::engine
