#pragma once

// Reads a built-in network's weights file: little-endian 32-bit integers and floats, and float16
// weights. Every failure is an EngineError naming the network.

#include "engine/engine.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace hf::engine {

class WeightsReader {
public:
    // `name`: the network as a message names it ("The <name> is damaged: ...").
    WeightsReader(std::span<const std::byte> bytes, std::string name) : m_bytes(bytes), m_name(std::move(name)) {}

    EngineError damaged(const std::string& what) const
    {
        return EngineError(EngineError::Kind::outputFailed, "The " + m_name + " is damaged: " + what);
    }
    void take(void* out, std::size_t size)
    {
        if (size > m_bytes.size() - m_at)
            throw damaged("it ends early");
        std::memcpy(out, m_bytes.data() + m_at, size);
        m_at += size;
    }
    std::uint32_t u32()
    {
        std::uint8_t b[4];
        take(b, 4);
        return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
    }
    float f32() { return std::bit_cast<float>(u32()); }
    float f16()
    {
        std::uint8_t b[2];
        take(b, 2);
        const std::uint32_t h = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8;
        const std::uint32_t sign = (h & 0x8000u) << 16, exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ff;
        float value;
        if (exponent == 0)
            value = std::ldexp(float(mantissa), -24); // zero or subnormal
        else if (exponent == 31)
            throw damaged("a weight is not a number");
        else
            value = std::bit_cast<float>(((exponent + 112) << 23) | (mantissa << 13));
        return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | sign);
    }
    std::size_t left() const { return m_bytes.size() - m_at; }
    bool atEnd() const { return m_at == m_bytes.size(); }

private:
    std::span<const std::byte> m_bytes;
    std::string m_name;
    std::size_t m_at = 0;
};

} // namespace hf::engine
