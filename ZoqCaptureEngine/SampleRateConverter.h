#pragma once

#include <cstddef>
#include <span>

namespace zoq {

/// A streaming sample-rate converter for one stream of interleaved 32-bit
/// float audio with a fixed channel count. `StreamResampler` drives it and
/// checks its frame counts; the production implementation is
/// `SoxrConverter`, tests substitute converters that misbehave on purpose.
///
/// Counts are in frames (one value per channel). Not thread-safe.
class SampleRateConverter {
public:
    struct Step {
        std::size_t consumedFrames = 0; ///< input frames taken, at most the input offered
        std::size_t producedFrames = 0; ///< output frames written, at most the room offered
    };

    virtual ~SampleRateConverter() = default;

    /// Takes a prefix of `input` (possibly none, possibly an empty span) and
    /// writes whatever output is ready into the front of `output`. The
    /// converter may hold input back internally (its filter's latency).
    /// Throws `ResampleError::conversionFailed`.
    virtual Step process(std::span<const float> input, std::span<float> output) = 0;

    /// The stream has ended: writes the held-back tail into the front of
    /// `output` and returns the frames written; 0 once the tail is drained.
    /// No `process` call may follow. Throws `ResampleError::conversionFailed`.
    virtual std::size_t flush(std::span<float> output) = 0;
};

} // namespace zoq
