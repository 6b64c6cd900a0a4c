#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace zoq {

/// One audio callback's worth of one stream, as the sound server delivered
/// it: 32-bit float samples at the device's rate, stamped with the device's
/// sample counter and the host clock. A plain value: made on a callback
/// thread, handed to the engine's queue by copy or move.
struct RawChunk {
    /// Host time (CLOCK_MONOTONIC nanoseconds) of the chunk's first frame.
    std::uint64_t hostTimeNanos = 0;
    /// Host time at which the callback copied the chunk (for health checks).
    std::uint64_t receivedNanos = 0;
    /// The device's sample counter at the chunk's first frame.
    double sampleTime = 0;
    /// Interleaved samples, frame-major.
    std::vector<float> samples;
    int channels = 0;
    /// `samples.size() / channels`, fixed at construction; 0 when `channels` is not positive.
    std::int64_t frames = 0;
    bool sampleTimeValid = false;
    bool hostTimeValid = false;
    /// The server reported losing audio (an overflow) just before this
    /// delivery, without a hole in the frame counter to show how much.
    bool lossBefore = false;

    RawChunk() = default;
    RawChunk(std::uint64_t hostTime, std::uint64_t received, double sampleCounter, std::vector<float> values,
             int channelCount, bool sampleTimeIsValid, bool hostTimeIsValid)
        : hostTimeNanos(hostTime), receivedNanos(received), sampleTime(sampleCounter),
          samples(std::move(values)), channels(channelCount),
          frames(channelCount > 0 ? static_cast<std::int64_t>(samples.size()) / channelCount : 0),
          sampleTimeValid(sampleTimeIsValid), hostTimeValid(hostTimeIsValid) {}

    friend bool operator==(const RawChunk&, const RawChunk&) = default;
};

} // namespace zoq
