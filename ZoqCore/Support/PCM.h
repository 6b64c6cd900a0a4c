#pragma once

#include <cstdint>

/// The one PCM format zoq records: signed 16-bit little-endian, two channels
/// interleaved (left the microphone, right the system audio), 16 000 frames a
/// second. Stream positions are host-clock nanoseconds.
namespace zoq::pcm {

inline constexpr std::int64_t sampleRate = 16'000;
inline constexpr int channels = 2;
inline constexpr int bytesPerSample = 2;
inline constexpr int bytesPerFrame = channels * bytesPerSample;
/// A part holds at most three hours.
inline constexpr std::int64_t maximumPartFrames = 172'800'000;
/// Parts shorter than 20 seconds are discarded.
inline constexpr std::int64_t minimumPartFrames = 320'000;
/// One frame lasts exactly this many nanoseconds.
inline constexpr std::uint64_t nanosPerFrame = 62'500;

} // namespace zoq::pcm
