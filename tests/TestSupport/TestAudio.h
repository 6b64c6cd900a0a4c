#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <cstdint>
#include <filesystem>

namespace zoq::test {

/// Deterministic 16-bit interleaved PCM (`frames` × `channels` samples): a tone
/// on each channel plus noise from a fixed-seed generator, so encoders have
/// real work to do and a flipped sample changes the hash.
Bytes syntheticPCM(std::int64_t frames, std::uint32_t seed = 1, int channels = 2);

/// The 44-byte canonical PCM WAV header ("RIFF", "fmt " of 16 bytes, "data")
/// for `dataBytes` bytes of 16-bit samples.
Bytes canonicalWAVHeader(std::uint32_t dataBytes, std::uint32_t sampleRate = 16'000,
                         std::uint16_t channels = 2);

/// Writes a canonical WAV file holding `pcm`.
void writeWAV(const std::filesystem::path& path, ByteView pcm, std::uint32_t sampleRate = 16'000,
              std::uint16_t channels = 2);

} // namespace zoq::test
