#include "tests/TestSupport/TestAudio.h"

#include <cmath>
#include <fstream>
#include <numbers>
#include <stdexcept>

namespace zoq::test {
namespace {

/// Little-endian writer into a buffer sized up front (growing a vector byte by
/// byte trips a false g++ 12 overflow warning).
class LittleEndianWriter {
public:
    explicit LittleEndianWriter(Bytes& out) : out_(out) {}
    void put16(std::uint16_t value) {
        out_[at_++] = static_cast<std::uint8_t>(value);
        out_[at_++] = static_cast<std::uint8_t>(value >> 8);
    }
    void put32(std::uint32_t value) {
        put16(static_cast<std::uint16_t>(value));
        put16(static_cast<std::uint16_t>(value >> 16));
    }
    void putTag(const char (&tag)[5]) {
        for (int i = 0; i < 4; ++i) {
            out_[at_++] = static_cast<std::uint8_t>(tag[i]);
        }
    }

private:
    Bytes& out_;
    std::size_t at_ = 0;
};

} // namespace

Bytes syntheticPCM(std::int64_t frames, std::uint32_t seed, int channels) {
    Bytes out(static_cast<std::size_t>(frames * channels * 2));
    LittleEndianWriter writer(out);
    std::uint32_t state = seed;
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            state = state * 1664525u + 1013904223u;
            const double tone = std::sin(2 * std::numbers::pi * (440.0 + 220.0 * channel) *
                                         static_cast<double>(frame) / 16'000.0);
            const int noise = static_cast<int>(state >> 22) - 512;
            const auto sample = static_cast<std::int16_t>(std::lround(tone * 12'000.0) + noise);
            writer.put16(static_cast<std::uint16_t>(sample));
        }
    }
    return out;
}

Bytes canonicalWAVHeader(std::uint32_t dataBytes, std::uint32_t sampleRate, std::uint16_t channels) {
    Bytes out(44);
    LittleEndianWriter writer(out);
    const std::uint16_t blockAlign = static_cast<std::uint16_t>(channels * 2);
    writer.putTag("RIFF");
    writer.put32(36 + dataBytes);
    writer.putTag("WAVE");
    writer.putTag("fmt ");
    writer.put32(16);
    writer.put16(1); // PCM
    writer.put16(channels);
    writer.put32(sampleRate);
    writer.put32(sampleRate * blockAlign);
    writer.put16(blockAlign);
    writer.put16(16);
    writer.putTag("data");
    writer.put32(dataBytes);
    return out;
}

void writeWAV(const std::filesystem::path& path, ByteView pcm, std::uint32_t sampleRate,
              std::uint16_t channels) {
    const Bytes header = canonicalWAVHeader(static_cast<std::uint32_t>(pcm.size()), sampleRate, channels);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace zoq::test
