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

// The vector helpers below are inlined into functions built for one processor each: no vector
// crosses a call between code built for different processors, whatever GCC warns.
#pragma GCC diagnostic ignored "-Wpsabi"

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

// 2^f for f in [0, 1) to about 2e-6 of its value, of a float or of each of a vector's alike.
template <typename T>
__attribute__((always_inline)) inline T twoToThe(T f)
{
    T p = T{} + 1.52527e-5f;
    p = p * f + 1.540353e-4f;
    p = p * f + 1.3333558e-3f;
    p = p * f + 9.6181291e-3f;
    p = p * f + 5.55041087e-2f;
    p = p * f + 0.240226507f;
    p = p * f + 0.693147181f;
    return p * f + 1.0f;
}

// e^x to about 2e-6 of its value, the same way for every element (exponentiate() below takes the
// same steps on vectors).
inline float exponential(float x)
{
    x = std::clamp(x, -87.0f, 88.0f);
    const float t = x * 1.44269504f;
    const float whole = std::floor(t);
    const float f = t - whole;
    return twoToThe(f) * std::bit_cast<float>((int(whole) + 127) << 23);
}

// y[r][o] = bias[o] + x[r][0] w[0][o] + ... + x[r][inner - 1] w[inner - 1][o] (no bias: 0), each sum
// taken in that order whatever the shape, so that a frame's values do not depend on how many
// rows come with it. Blocks of Rows rows by Vectors vectors of Lanes outputs are summed in
// registers, each weight read once for the block's rows; what is left over goes a row and a
// vector, then an output, at a time, with the same sums.
template <int Lanes>
struct Simd {
    typedef float Vector __attribute__((vector_size(Lanes * sizeof(float))));
    typedef float Loose __attribute__((vector_size(Lanes * sizeof(float)), aligned(alignof(float)))); // unaligned
    typedef int Whole __attribute__((vector_size(Lanes * sizeof(int))));
};

template <int Lanes, int Rows, int Vectors>
__attribute__((always_inline)) inline void productBlock(const float* __restrict x, int inner, const float* __restrict w, int outs,
                                                        const float* __restrict bias, float* __restrict y, int o)
{
    using V = typename Simd<Lanes>::Vector;
    using L = typename Simd<Lanes>::Loose;
    V acc[Rows][Vectors];
#pragma GCC unroll 16
    for (int k = 0; k < Vectors; ++k) {
        const V b = bias ? V(*reinterpret_cast<const L*>(bias + o + k * Lanes)) : V{};
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r)
            acc[r][k] = b;
    }
    for (int c = 0; c < inner; ++c) {
        const float* wc = w + std::size_t(c) * std::size_t(outs) + std::size_t(o);
        V wv[Vectors];
#pragma GCC unroll 16
        for (int k = 0; k < Vectors; ++k)
            wv[k] = *reinterpret_cast<const L*>(wc + k * Lanes);
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            const V v = V{} + x[std::size_t(r) * std::size_t(inner) + std::size_t(c)];
#pragma GCC unroll 16
            for (int k = 0; k < Vectors; ++k)
                acc[r][k] += v * wv[k];
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r)
#pragma GCC unroll 16
        for (int k = 0; k < Vectors; ++k)
            *reinterpret_cast<L*>(y + std::size_t(r) * std::size_t(outs) + std::size_t(o + k * Lanes)) = acc[r][k];
}

template <int Lanes, int Rows, int Vectors>
__attribute__((always_inline)) inline void productRows(const float* __restrict x, int inner, const float* __restrict w, int outs,
                                                       const float* __restrict bias, float* __restrict y)
{
    int o = 0;
    for (; o + Vectors * Lanes <= outs; o += Vectors * Lanes)
        productBlock<Lanes, Rows, Vectors>(x, inner, w, outs, bias, y, o);
    for (; o + Lanes <= outs; o += Lanes)
        productBlock<Lanes, Rows, 1>(x, inner, w, outs, bias, y, o);
    for (; o < outs; ++o)
        for (int r = 0; r < Rows; ++r) {
            float acc = bias ? bias[o] : 0.0f;
            for (int c = 0; c < inner; ++c)
                acc += x[std::size_t(r) * std::size_t(inner) + std::size_t(c)] * w[std::size_t(c) * std::size_t(outs) + std::size_t(o)];
            y[std::size_t(r) * std::size_t(outs) + std::size_t(o)] = acc;
        }
}

template <int Lanes, int Vectors>
__attribute__((always_inline)) inline void productOf(const float* __restrict x, int rows, int inner, const float* __restrict w,
                                                     int outs, const float* __restrict bias, float* __restrict y)
{
    int r = 0;
    for (; r + 4 <= rows; r += 4)
        productRows<Lanes, 4, Vectors>(x + std::size_t(r) * std::size_t(inner), inner, w, outs, bias, y + std::size_t(r) * std::size_t(outs));
    for (; r < rows; ++r)
        productRows<Lanes, 1, 2 * Vectors>(x + std::size_t(r) * std::size_t(inner), inner, w, outs, bias, y + std::size_t(r) * std::size_t(outs));
}

// Of a function built three times, the one for this processor: with AVX-512, with AVX2 and FMA,
// or without either.
template <typename Function>
Function builtFor(Function wide, Function avx2, Function plain)
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4"))
        return wide;
    if (__builtin_cpu_supports("x86-64-v3"))
        return avx2;
    return plain;
}

// Built for processors with AVX-512 (twice as many outputs at a time: its registers are twice as
// wide), with AVX2 and FMA, and without; the processor picks one when the program starts.
__attribute__((target("arch=x86-64-v4"))) void productWide(const float* x, int rows, int inner, const float* w, int outs,
                                                          const float* bias, float* y)
{
    productOf<16, 4>(x, rows, inner, w, outs, bias, y);
}
__attribute__((target("arch=x86-64-v3"))) void productAvx2(const float* x, int rows, int inner, const float* w, int outs,
                                                          const float* bias, float* y)
{
    productOf<8, 2>(x, rows, inner, w, outs, bias, y);
}
void productPlain(const float* x, int rows, int inner, const float* w, int outs, const float* bias, float* y)
{
    productOf<4, 2>(x, rows, inner, w, outs, bias, y);
}
using Product = void (*)(const float*, int, int, const float*, int, const float*, float*);
const Product product = builtFor(&productWide, &productAvx2, &productPlain);

// exponential() of Lanes values at once, in place, with the same steps, so the same values.
template <int Lanes>
__attribute__((always_inline)) inline void exponentiate(typename Simd<Lanes>::Vector& x)
{
    using V = typename Simd<Lanes>::Vector;
    using I = typename Simd<Lanes>::Whole;
    x = x < -87.0f ? V{} - 87.0f : x;
    x = x > 88.0f ? V{} + 88.0f : x;
    const V t = x * 1.44269504f;
    I whole = __builtin_convertvector(t, I); // towards zero; one less where that rounded up
    whole += __builtin_convertvector(whole, V) > t;
    const V f = t - __builtin_convertvector(whole, V);
    x = twoToThe(f) * reinterpret_cast<V>((whole + 127) << 23);
}

// A block's dilated convolution in time and its gate, for one frame: v = taps[0] before + taps[1]
// now + taps[2] after + bias over 2 width features per band, then out = v[c] sigmoid(v[width + c]).
template <int Lanes>
__attribute__((always_inline)) inline void convolveAndGateOf(const float* __restrict before, const float* __restrict now,
                                                             const float* __restrict after, const float* __restrict taps,
                                                             const float* __restrict bias, int bands, int width, float* __restrict out)
{
    using V = typename Simd<Lanes>::Vector;
    using L = typename Simd<Lanes>::Loose;
    const auto at = [](const float* p, int i) { return V(*reinterpret_cast<const L*>(p + i)); };
    const int wide = 2 * width;
    const float *t0 = taps, *t1 = taps + wide, *t2 = taps + 2 * wide;
    for (int k = 0; k < bands; ++k) {
        const std::size_t row = std::size_t(k) * std::size_t(wide);
        const float *b = before + row, *n = now + row, *a = after + row;
        float* o = out + std::size_t(k) * std::size_t(width);
        int c = 0;
        for (; c + Lanes <= width; c += Lanes) {
            const int g = width + c;
            const V value = ((at(b, c) * at(t0, c) + at(n, c) * at(t1, c)) + at(a, c) * at(t2, c)) + at(bias, c);
            const V gate = ((at(b, g) * at(t0, g) + at(n, g) * at(t1, g)) + at(a, g) * at(t2, g)) + at(bias, g);
            V e = -gate;
            exponentiate<Lanes>(e);
            *reinterpret_cast<L*>(o + c) = value / (1.0f + e);
        }
        for (; c < width; ++c) {
            const int g = width + c;
            const float value = ((b[c] * t0[c] + n[c] * t1[c]) + a[c] * t2[c]) + bias[c];
            const float gate = ((b[g] * t0[g] + n[g] * t1[g]) + a[g] * t2[g]) + bias[g];
            o[c] = value / (1.0f + exponential(-gate));
        }
    }
}

__attribute__((target("arch=x86-64-v4"))) void convolveAndGateWide(const float* before, const float* now, const float* after,
                                                                  const float* taps, const float* bias, int bands, int width, float* out)
{
    convolveAndGateOf<16>(before, now, after, taps, bias, bands, width, out);
}
__attribute__((target("arch=x86-64-v3"))) void convolveAndGateAvx2(const float* before, const float* now, const float* after,
                                                                  const float* taps, const float* bias, int bands, int width, float* out)
{
    convolveAndGateOf<8>(before, now, after, taps, bias, bands, width, out);
}
void convolveAndGatePlain(const float* before, const float* now, const float* after, const float* taps, const float* bias,
                          int bands, int width, float* out)
{
    convolveAndGateOf<4>(before, now, after, taps, bias, bands, width, out);
}
using ConvolveAndGate = void (*)(const float*, const float*, const float*, const float*, const float*, int, int, float*);
const ConvolveAndGate convolveAndGate = builtFor(&convolveAndGateWide, &convolveAndGateAvx2, &convolveAndGatePlain);

// A band's shares from its logits z (3 x w: dialogue, music, effects): a softmax per bin, into out
// (3 x bins from the band's first bin `lo`).
template <int Lanes>
__attribute__((always_inline)) inline void sharesOf(const float* __restrict z, int w, float* __restrict out, int bins, int lo)
{
    using V = typename Simd<Lanes>::Vector;
    using L = typename Simd<Lanes>::Loose;
    const auto at = [](const float* p, int i) { return V(*reinterpret_cast<const L*>(p + i)); };
    int j = 0;
    for (; j + Lanes <= w; j += Lanes) {
        const V a = at(z, j), b = at(z, w + j), c = at(z, 2 * w + j);
        V top = a < b ? b : a;
        top = top < c ? c : top;
        V ea = a - top, eb = b - top, ec = c - top;
        exponentiate<Lanes>(ea);
        exponentiate<Lanes>(eb);
        exponentiate<Lanes>(ec);
        const V total = (ea + eb) + ec;
        *reinterpret_cast<L*>(out + lo + j) = ea / total;
        *reinterpret_cast<L*>(out + bins + lo + j) = eb / total;
        *reinterpret_cast<L*>(out + 2 * bins + lo + j) = ec / total;
    }
    for (; j < w; ++j) {
        const float top = std::max({z[j], z[w + j], z[2 * w + j]});
        float e[3], total = 0;
        for (int s = 0; s < 3; ++s)
            total += e[s] = exponential(z[s * w + j] - top);
        for (int s = 0; s < 3; ++s)
            out[s * bins + lo + j] = e[s] / total;
    }
}

__attribute__((target("arch=x86-64-v4"))) void sharesWide(const float* z, int w, float* out, int bins, int lo)
{
    sharesOf<16>(z, w, out, bins, lo);
}
__attribute__((target("arch=x86-64-v3"))) void sharesAvx2(const float* z, int w, float* out, int bins, int lo)
{
    sharesOf<8>(z, w, out, bins, lo);
}
void sharesPlain(const float* z, int w, float* out, int bins, int lo) { sharesOf<4>(z, w, out, bins, lo); }
using Shares = void (*)(const float*, int, float*, int, int);
const Shares sharesOfBand = builtFor(&sharesWide, &sharesAvx2, &sharesPlain);

// The sum of x[0] ... x[count - 1] (of x[i] - mean, squared, with `squares`) in double: eight
// running sums, the i-th taking every eighth value from x[i], added up in order at the end.
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default"))) double sumOf(const float* x, int count, bool squares, float mean)
{
    typedef double Eight __attribute__((vector_size(8 * sizeof(double))));
    typedef float Floats __attribute__((vector_size(8 * sizeof(float)), aligned(alignof(float))));
    typedef float FloatsV __attribute__((vector_size(8 * sizeof(float))));
    Eight lanes{};
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const Eight v = __builtin_convertvector(FloatsV(*reinterpret_cast<const Floats*>(x + i)) - (squares ? mean : 0.0f), Eight);
        lanes += squares ? v * v : v;
    }
    for (; i < count; ++i) {
        const double v = double(x[i] - (squares ? mean : 0.0f));
        lanes[i % 8] += squares ? v * v : v;
    }
    double sum = 0;
    for (int k = 0; k < 8; ++k)
        sum += lanes[k];
    return sum;
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
    const float mean = float(sumOf(h, count, false, 0.0f) / count);
    const float scale = 1.0f / std::sqrt(float(sumOf(h, count, true, mean) / count) + kNormFloor);
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
        sharesOfBand(z, w, out, bins, lo);
    }
    m_out.from = t;
    return out;
}

} // namespace hf::engine
