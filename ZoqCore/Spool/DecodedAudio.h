#pragma once

#include <cstdint>
#include <string>

namespace zoq {

/// What decoding a FLAC file produced: its format and the SHA-256 of the
/// decoded interleaved 16-bit little-endian PCM.
struct DecodedAudio {
    std::int64_t frames = 0;
    std::int64_t sampleRate = 0;
    std::int64_t channels = 0;
    std::int64_t bitsPerSample = 0;
    /// 64 lower-case hexadecimal digits.
    std::string pcmSHA256;

    friend bool operator==(const DecodedAudio&, const DecodedAudio&) = default;
};

} // namespace zoq
