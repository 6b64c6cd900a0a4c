#include "ZoqCaptureEngine/AlertChime.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zoq {
namespace {

void put32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putText(Bytes& out, const char (&text)[5]) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(text[i]));
    }
}

} // namespace

std::vector<std::int16_t> AlertChime::samples(double frequency, double duration) {
    // At most ten seconds: a chime, never a way to allocate without bound.
    if (!std::isfinite(frequency) || !(duration > 0) || !(duration <= 10)) {
        return {};
    }
    const auto count = static_cast<std::size_t>(duration * sampleRate);
    std::vector<std::int16_t> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = static_cast<double>(i);
        const double fade = std::min(n / 4410.0, 1.0);
        out[i] = static_cast<std::int16_t>(std::sin(2 * std::numbers::pi * frequency * n / sampleRate) *
                                           fade * 0.5 * 32767);
    }
    return out;
}

Bytes AlertChime::wav(double frequency, double duration) {
    const std::vector<std::int16_t> pcm = samples(frequency, duration);
    const auto dataBytes = static_cast<std::uint32_t>(pcm.size() * 2);
    Bytes out;
    out.reserve(44 + dataBytes);
    putText(out, "RIFF");
    put32(out, dataBytes + 36);
    putText(out, "WAVE");
    putText(out, "fmt ");
    put32(out, 16);
    put16(out, 1); // PCM
    put16(out, 1); // mono
    put32(out, sampleRate);
    put32(out, sampleRate * 2);
    put16(out, 2);
    put16(out, 16);
    putText(out, "data");
    put32(out, dataBytes);
    for (const std::int16_t sample : pcm) {
        put16(out, static_cast<std::uint16_t>(sample));
    }
    return out;
}

} // namespace zoq
