#include "engine/dsp.h"

#include "engine/engine.h"

extern "C" {
#include <libavutil/tx.h>
}

#include <cmath>
#include <numbers>

namespace hf::engine {

void TransformDeleter::operator()(AVTXContext* context) const { av_tx_uninit(&context); }

RealFft::RealFft(int n, bool inverse) : m_n(n)
{
    AVTXContext* raw = nullptr;
    av_tx_fn fn = nullptr;
    const float scale = inverse ? 1.0f / float(n) : 1.0f;
    if (av_tx_init(&raw, &fn, AV_TX_FLOAT_RDFT, inverse ? 1 : 0, n, &scale, AV_TX_UNALIGNED) < 0 || !raw)
        throw EngineError(EngineError::Kind::outputFailed, "Cannot set up a transform of length " + std::to_string(n));
    m_context.reset(raw);
    m_fn = fn;
}

void RealFft::forward(float* in, std::complex<float>* out) const
{
    m_fn(m_context.get(), out, in, sizeof(float));
}

void RealFft::inverse(std::complex<float>* in, float* out) const
{
    m_fn(m_context.get(), out, in, sizeof(std::complex<float>));
}

std::vector<float> hannWindow(int n, bool squareRoot)
{
    std::vector<float> window(n);
    for (int i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
        window[i] = float(squareRoot ? std::sqrt(w) : w);
    }
    return window;
}

} // namespace hf::engine
