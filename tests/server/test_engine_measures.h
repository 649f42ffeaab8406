#pragma once

// Measures of a separation against the true parts a mix was made from. Each reads right at both
// ends: the true parts as stems give a perfect score (SDR without error, no music left, every
// sound routed whole to its own stem), and handing the input over as the clean soundtrack gives
// 0 dB of music left.

#include "test_engine_fixtures.h"

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

namespace hf::test::measures {

using fixtures::Signal;

inline double dot(const Signal& a, const Signal& b)
{
    double sum = 0;
    for (std::size_t c = 0; c < a.size() && c < b.size(); ++c)
        for (std::size_t i = 0; i < a[c].size() && i < b[c].size(); ++i)
            sum += double(a[c][i]) * b[c][i];
    return sum;
}

inline double decibels(double ratio) { return ratio > 0 ? 10 * std::log10(ratio) : -std::numeric_limits<double>::infinity(); }

// Signal-to-distortion ratio over the full length and every channel; +inf without error.
inline double sdr(const Signal& truth, const Signal& estimate)
{
    double error = 0;
    for (std::size_t c = 0; c < truth.size(); ++c)
        for (std::size_t i = 0; i < truth[c].size(); ++i) {
            const double d = double(truth[c][i]) - (i < estimate[c].size() ? estimate[c][i] : 0.0);
            error += d * d;
        }
    return error > 0 ? decibels(dot(truth, truth) / error) : std::numeric_limits<double>::infinity();
}

// Scale-invariant SDR: the estimate's projection on the truth against what is left of it.
inline double siSdr(const Signal& truth, const Signal& estimate)
{
    const double tt = dot(truth, truth);
    if (tt <= 0)
        return -std::numeric_limits<double>::infinity();
    const double alpha = dot(estimate, truth) / tt;
    double target = 0, residue = 0;
    for (std::size_t c = 0; c < truth.size(); ++c)
        for (std::size_t i = 0; i < truth[c].size(); ++i) {
            const double t = alpha * truth[c][i];
            const double d = (i < estimate[c].size() ? estimate[c][i] : 0.0) - t;
            target += t * t;
            residue += d * d;
        }
    return residue > 0 ? decibels(target / residue) : std::numeric_limits<double>::infinity();
}

using Stretches = std::vector<std::pair<std::size_t, std::size_t>>;

// The stretches of at least `minFrames` where every one of `silent` is exactly zero in every channel.
inline Stretches silentStretches(const std::vector<const Signal*>& silent, std::size_t frames, std::size_t minFrames)
{
    Stretches out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= frames; ++i) {
        bool quiet = i < frames;
        for (const Signal* s : silent)
            for (std::size_t c = 0; quiet && c < s->size(); ++c)
                quiet = (*s)[c][i] == 0.0f;
        if (quiet)
            continue;
        if (i - start >= minFrames)
            out.emplace_back(start, i);
        start = i + 1;
    }
    return out;
}

// Music left where music plays alone: the energy of the dialogue + effects stems against the
// input's, summed over `stretches`. -inf when the stems are silent there, 0 dB when the clean
// soundtrack is the input itself.
inline double musicLeft(const Signal& input, const Signal& dialogueStem, const Signal& effectsStem, const Stretches& stretches)
{
    double kept = 0, in = 0;
    for (const auto& [from, to] : stretches)
        for (std::size_t c = 0; c < input.size(); ++c)
            for (std::size_t i = from; i < to; ++i) {
                const double v = double(dialogueStem[c][i]) + effectsStem[c][i];
                kept += v * v;
                in += double(input[c][i]) * input[c][i];
            }
    return in > 0 ? decibels(kept / in) : std::numeric_limits<double>::quiet_NaN();
}

// Routing: the share of a sound's energy that each stem holds, read by projecting the stem on the
// sound (no masks needed). With stems that add back to the mix and sounds that do not correlate,
// the shares add up to one; a sound routed whole to one stem reads 1 there and 0 elsewhere.
inline std::array<double, 3> routing(const std::array<Signal, 3>& stems, const Signal& sound)
{
    const double own = dot(sound, sound);
    std::array<double, 3> share{};
    for (int s = 0; s < 3; ++s)
        share[s] = own > 0 ? dot(stems[s], sound) / own : 0;
    return share;
}

// An in-place radix-2 transform with its twiddles made once (the fixtures' one-off transform
// is too slow for every frame of every part).
class Transform {
public:
    explicit Transform(std::size_t n) : m_n(n), m_twiddle(n / 2)
    {
        for (std::size_t k = 0; k < n / 2; ++k) {
            m_twiddle[k][0] = std::cos(2 * std::numbers::pi * double(k) / double(n));
            m_twiddle[k][1] = -std::sin(2 * std::numbers::pi * double(k) / double(n));
        }
    }

    // Forward transform of (re, im).
    void operator()(std::vector<double>& re, std::vector<double>& im) const
    {
        for (std::size_t i = 1, j = 0; i < m_n; ++i) {
            std::size_t bit = m_n >> 1;
            for (; j & bit; bit >>= 1)
                j ^= bit;
            j ^= bit;
            if (i < j) {
                std::swap(re[i], re[j]);
                std::swap(im[i], im[j]);
            }
        }
        for (std::size_t len = 2; len <= m_n; len <<= 1) {
            const std::size_t step = m_n / len;
            for (std::size_t i = 0; i < m_n; i += len)
                for (std::size_t k = 0; k < len / 2; ++k) {
                    const double wr = m_twiddle[k * step][0], wi = m_twiddle[k * step][1];
                    const std::size_t a = i + k, b = a + len / 2;
                    const double vr = re[b] * wr - im[b] * wi, vi = re[b] * wi + im[b] * wr;
                    re[b] = re[a] - vr;
                    im[b] = im[a] - vi;
                    re[a] += vr;
                    im[a] += vi;
                }
        }
    }

private:
    std::size_t m_n;
    std::vector<std::array<double, 2>> m_twiddle;
};

// The ideal ratio masks: each stem's share of a bin is its true part's power over the three
// parts' powers, at `frame` samples a quarter frame apart with sqrt-Hann windows (the engine's
// framing), applied to `mix` and synthesised back.
inline std::array<Signal, 3> idealMasks(const Signal& mix, const std::array<Signal, 3>& parts, int frame = 4096)
{
    const std::size_t n = std::size_t(frame), hop = n / 4, frames = mix[0].size();
    const Transform transform(n);
    std::vector<double> window(n);
    for (std::size_t i = 0; i < n; ++i)
        window[i] = std::sqrt(0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n)));
    std::array<Signal, 3> out;
    for (auto& stem : out)
        stem = fixtures::silence(int(mix.size()), frames);
    std::vector<double> re1(n), im1(n), re2(n), im2(n);
    std::vector<double> mixRe(n / 2 + 1), mixIm(n / 2 + 1);
    std::array<std::vector<double>, 3> partPower;
    for (auto& p : partPower)
        p.resize(n / 2 + 1);
    // Two real frames go through one transform: x + i y, split by symmetry.
    auto load = [&](const std::vector<float>& x, const std::vector<float>& y, std::ptrdiff_t start) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::ptrdiff_t at = start + std::ptrdiff_t(i);
            const bool inside = at >= 0 && std::size_t(at) < frames;
            re1[i] = inside ? window[i] * x[std::size_t(at)] : 0.0;
            im1[i] = inside ? window[i] * y[std::size_t(at)] : 0.0;
        }
        transform(re1, im1);
    };
    // X[k] = (Z[k] + conj Z[n-k]) / 2, Y[k] = (Z[k] - conj Z[n-k]) / 2i.
    auto split = [&](std::size_t k, double& xr, double& xi, double& yr, double& yi) {
        const std::size_t m = (n - k) % n;
        xr = 0.5 * (re1[k] + re1[m]);
        xi = 0.5 * (im1[k] - im1[m]);
        yr = 0.5 * (im1[k] + im1[m]);
        yi = -0.5 * (re1[k] - re1[m]);
    };
    for (std::size_t c = 0; c < mix.size(); ++c)
        for (std::ptrdiff_t start = -std::ptrdiff_t(n); start < std::ptrdiff_t(frames); start += std::ptrdiff_t(hop)) {
            double xr, xi, yr, yi;
            load(mix[c], parts[0][c], start);
            for (std::size_t k = 0; k <= n / 2; ++k) {
                split(k, xr, xi, yr, yi);
                mixRe[k] = xr;
                mixIm[k] = xi;
                partPower[0][k] = yr * yr + yi * yi;
            }
            load(parts[1][c], parts[2][c], start);
            for (std::size_t k = 0; k <= n / 2; ++k) {
                split(k, xr, xi, yr, yi);
                partPower[1][k] = xr * xr + xi * xi;
                partPower[2][k] = yr * yr + yi * yi;
            }
            // The stems are real: two go back through one inverse transform (conjugate, forward,
            // conjugate), the third through another.
            auto synthesise = [&](int a, int b) {
                for (std::size_t k = 0; k <= n / 2; ++k) {
                    const double total = partPower[0][k] + partPower[1][k] + partPower[2][k];
                    const double ga = total > 0 ? partPower[a][k] / total : 1.0 / 3;
                    const double gb = b < 0 ? 0 : total > 0 ? partPower[b][k] / total : 1.0 / 3;
                    // A + i B, where A and B are the two stems' Hermitian spectra.
                    const double ar = ga * mixRe[k], ai = ga * mixIm[k], br = gb * mixRe[k], bi = gb * mixIm[k];
                    re1[k] = ar - bi;
                    im1[k] = -(ai + br);
                    if (k > 0 && k < n / 2) {
                        re1[n - k] = ar + bi;
                        im1[n - k] = -(-ai + br);
                    }
                }
                transform(re1, im1);
                for (std::size_t i = 0; i < n; ++i) {
                    const std::ptrdiff_t at = start + std::ptrdiff_t(i);
                    if (at < 0 || std::size_t(at) >= frames)
                        continue;
                    // sqrt-Hann twice at a quarter frame's hop adds up to 2.
                    const double scale = window[i] / double(n) / 2;
                    out[a][c][std::size_t(at)] += float(re1[i] * scale);
                    if (b >= 0)
                        out[b][c][std::size_t(at)] += float(-im1[i] * scale);
                }
            };
            synthesise(0, 1);
            synthesise(2, -1);
        }
    return out;
}

} // namespace hf::test::measures
