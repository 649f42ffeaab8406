#pragma once

// Real FFTs on FFmpeg's transform library, and window helpers.

#include <complex>
#include <memory>
#include <vector>

struct AVTXContext;

namespace hf::engine {

struct TransformDeleter {
    void operator()(AVTXContext* context) const;
};

// A real transform of a fixed length n: forward (n reals to n/2+1 complex bins) or inverse
// (n/2+1 bins to n reals, scaled by 1/n so that inverse(forward(x)) == x).
class RealFft {
public:
    RealFft(int n, bool inverse);
    int size() const { return m_n; }
    void forward(float* in, std::complex<float>* out) const; // `in` may be overwritten
    void inverse(std::complex<float>* in, float* out) const; // `in` is overwritten

private:
    int m_n;
    std::unique_ptr<AVTXContext, TransformDeleter> m_context;
    void (*m_fn)(AVTXContext*, void*, void*, std::ptrdiff_t) = nullptr;
};

// The periodic Hann window of length n, or its square root (for analysis and synthesis alike).
std::vector<float> hannWindow(int n, bool squareRoot);

} // namespace hf::engine
