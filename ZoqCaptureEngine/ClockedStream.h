#pragma once

#include "ZoqCaptureEngine/MixSegment.h"
#include "ZoqCaptureEngine/RawChunk.h"
#include "ZoqCaptureEngine/StreamResampler.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace zoq {

/// One stream's timing state: checks that each raw chunk continues the
/// stream, converts it to 16 kHz, and places the converted audio on the
/// host-time axis.
///
/// Positions are derived only from the origin (the host time of the first
/// accepted chunk) and the number of frames converted since: segment n starts
/// at `originNanos + 62 500 × frames handed out before`, silence filled into
/// short losses included. Later chunks' host times only detect losses and
/// breaks; slow drift between the device clock and the host
/// clock stays inside the per-chunk tolerance and is not corrected.
///
/// A stream cannot be reopened after `finish()`; the engine makes a new one,
/// with a new origin. Used only from the engine's serial queue.
class ClockedStream {
public:
    /// Throws `ResampleError::converterCreationFailed`.
    ClockedStream(double rate, int channels);
    /// The same with a given converter (for tests).
    ClockedStream(double rate, int channels, std::unique_ptr<SampleRateConverter> converter);

    /// Checks, accepts and converts one chunk; returns the audio the
    /// converter had ready, if any.
    ///
    /// Checks, in order; a refused chunk changes nothing:
    /// - `StreamClockError::invalidPCM`: channel count differs from the
    ///   stream's, no frames, or a sample count that is not channels × frames;
    /// - `invalidClock`: a timestamp flag is missing or the sample time is not
    ///   finite;
    /// - `discontinuity`: the sample time goes back or by a fraction of a
    ///   frame, the host time moved back by more than max(two source frames,
    ///   125 µs) from the previous chunk's duration, or more than
    ///   `maximumGapSeconds` were lost. The engine starts a new stream with
    ///   this chunk.
    ///
    /// A loss of up to `maximumGapSeconds` is not a break: frames the sample
    /// time skipped, plus however far the host time ran ahead of the frames
    /// beyond the tolerance (a loss the server reported without a hole), are
    /// converted as silence before the chunk, and `lastGapFrames()` says how
    /// many source frames that was.
    /// Once accepted, the chunk's timing stays recorded even when the
    /// conversion that follows throws (`ResampleError`,
    /// `StreamClockError::timestampOverflow`).
    std::optional<MixSegment> push(const RawChunk& chunk);

    /// Takes the converter's pending output as a segment, if there is any.
    /// Throws `StreamClockError::timestampOverflow` (and takes nothing) when
    /// the segment's start does not fit in 64 bits.
    std::optional<MixSegment> takeOutput();

    /// Ends the stream: flushes the converter's tail (once) and takes the
    /// remaining output.
    std::optional<MixSegment> finish();

    double rate() const noexcept { return rate_; }
    int channels() const noexcept { return channels_; }
    std::optional<std::uint64_t> originNanos() const noexcept { return originNanos_; }
    std::uint64_t outputFrames() const noexcept { return outputFrames_; }
    std::optional<double> expectedSample() const noexcept { return expectedSample_; }
    /// Host time just after the last frame handed out; absent before the
    /// first chunk. Saturates at the largest value.
    std::optional<std::uint64_t> outputEndNanos() const noexcept;
    const StreamResampler& converter() const noexcept { return converter_; }
    /// Source frames of silence the last accepted chunk was preceded by.
    std::uint64_t lastGapFrames() const noexcept { return lastGapFrames_; }

    /// The longest loss kept inside the stream as silence.
    static constexpr double maximumGapSeconds = 2.0;

    /// Two source frames, but never less than this, of host-time jitter are
    /// tolerated between chunks.
    static constexpr double minimumToleranceNanos = 125'000;

private:
    double rate_;
    int channels_;
    StreamResampler converter_;
    std::optional<std::uint64_t> originNanos_;
    std::uint64_t outputFrames_ = 0;
    std::optional<double> expectedSample_;
    std::optional<std::uint64_t> previousHost_;
    std::int64_t previousFrames_ = 0;
    std::uint64_t lastGapFrames_ = 0;
};

} // namespace zoq
