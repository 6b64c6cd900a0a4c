#pragma once

#include "ZoqCaptureEngine/SampleRateConverter.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace zoq {

/// Converts one stream of interleaved 32-bit float audio at `sourceRate` to
/// signed 16-bit at 16 000 frames a second, same channel count, and checks
/// that the converter neither invents nor loses frames.
///
/// Counting rule, with ratio = 16 000 ÷ `sourceRate`, expected =
/// round(ratio × `consumedFrames`) and slack = trunc(4 ÷ ratio) + 6:
/// while the stream is open `producedFrames` never exceeds expected + slack
/// (the converter may hold frames back, never run ahead); once the end of the
/// stream has been announced and the filter's tail flushed, it lies within
/// slack + 64 of expected in either direction. A breach is
/// `ResampleError::frameCountMismatch`.
///
/// Samples are converted to 16-bit by rounding to nearest with saturation and
/// no dither, so digital silence stays exactly silent. Non-finite input
/// samples are replaced by silence before conversion: one NaN would
/// otherwise spread through the filter and ruin a whole block.
///
/// Used only from the engine's serial queue; not thread-safe.
class StreamResampler {
public:
    static constexpr double targetRate = 16'000.0;

    /// Converts with libsoxr. Throws `ResampleError::converterCreationFailed`
    /// when the rate or channel count is not positive.
    StreamResampler(double sourceRate, int channels);
    /// Converts with the given converter (the same checks; a null converter
    /// is `converterCreationFailed`).
    StreamResampler(double sourceRate, int channels, std::unique_ptr<SampleRateConverter> converter);

    double sourceRate() const noexcept { return sourceRate_; }
    int channels() const noexcept { return channels_; }

    /// Queues interleaved samples and converts what it can. Throws
    /// `conversionFailed` after `endOfStream()` or when the count is not a
    /// multiple of the channel count (nothing is queued then), and whatever
    /// the pump throws.
    void push(std::vector<float> interleaved);
    /// Announces the end of the stream and flushes the filter's tail into the
    /// pending output. Idempotent. Throws what the pump throws.
    void endOfStream();

    /// Takes and removes every pending sample.
    std::vector<std::int16_t> pullAll() noexcept;
    /// Takes and removes at most `maxFrames` leading pending frames (whole
    /// frames, `channels` values each).
    std::vector<std::int16_t> pull(std::int64_t maxFrames);

    std::int64_t bufferedInputFrames() const noexcept { return inputQueueFrames_; }
    std::int64_t bufferedOutputFrames() const noexcept {
        return static_cast<std::int64_t>(pending_.size()) / channels_;
    }
    std::int64_t consumedFrames() const noexcept { return consumedFrames_; }
    std::int64_t producedFrames() const noexcept { return producedFrames_; }
    bool ended() const noexcept { return ended_; }

    /// trunc(4 ÷ ratio) + 6 output frames: 18 at 48 kHz, 17 at 44.1 kHz.
    std::int64_t slack() const noexcept { return slack_; }
    /// round(ratio × `consumedFrames`), half away from zero.
    std::int64_t expectedFrames() const noexcept;

private:
    void pump();
    /// One conversion pass into a fresh buffer; returns whether it filled the
    /// buffer (the converter may have more ready).
    bool convertPass();
    void checkCounts(bool tailFlushed) const;

    double sourceRate_;
    int channels_;
    double ratio_;
    std::int64_t slack_;
    std::unique_ptr<SampleRateConverter> converter_;
    /// Input not yet taken by the converter; `frontOffsetFrames_` of the first
    /// buffer are already taken.
    std::deque<std::vector<float>> inputQueue_;
    std::size_t frontOffsetFrames_ = 0;
    std::int64_t inputQueueFrames_ = 0;
    std::vector<std::int16_t> pending_;
    std::int64_t consumedFrames_ = 0;
    std::int64_t producedFrames_ = 0;
    bool ended_ = false;
};

} // namespace zoq
