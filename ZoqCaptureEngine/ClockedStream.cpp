#include "ZoqCaptureEngine/ClockedStream.h"

#include "ZoqCaptureEngine/StreamClockError.h"
#include "ZoqCore/Support/PCM.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zoq {

ClockedStream::ClockedStream(double rate, int channels)
    : rate_(rate), channels_(channels), converter_(rate, channels) {}

ClockedStream::ClockedStream(double rate, int channels, std::unique_ptr<SampleRateConverter> converter)
    : rate_(rate), channels_(channels), converter_(rate, channels, std::move(converter)) {}

std::optional<MixSegment> ClockedStream::push(const RawChunk& chunk) {
    if (chunk.channels != channels_ || chunk.frames < 1 ||
        static_cast<std::uint64_t>(chunk.channels) * static_cast<std::uint64_t>(chunk.frames) !=
            chunk.samples.size()) {
        throw StreamClockError::invalidPCM();
    }
    if (!chunk.sampleTimeValid || !chunk.hostTimeValid || !std::isfinite(chunk.sampleTime)) {
        throw StreamClockError::invalidClock();
    }
    std::uint64_t gap = 0;
    if (expectedSample_ && previousHost_) {
        // Frames the server skipped over (a hole in the stream's own frame
        // counter): lost, and the stamps step over them.
        const double skipped = chunk.sampleTime - *expectedSample_;
        if (skipped < 0 || skipped != std::floor(skipped) || skipped > maximumGapSeconds * rate_) {
            throw StreamClockError::discontinuity();
        }
        // The step is taken in integers first so that it stays exact however
        // large the host clock reading is.
        const std::uint64_t previous = *previousHost_;
        const double step = chunk.hostTimeNanos >= previous
                                ? static_cast<double>(chunk.hostTimeNanos - previous)
                                : -static_cast<double>(previous - chunk.hostTimeNanos);
        const double duration = (static_cast<double>(previousFrames_) + skipped) * 1e9 / rate_;
        const double tolerance = std::max(2e9 / rate_, minimumToleranceNanos);
        double lost = skipped;
        if (step - duration > tolerance) {
            // The stamps jumped ahead of the frames: the server reported a
            // loss it left no hole for, and its length is the jump.
            lost += std::round((step - duration) * rate_ / 1e9);
        } else if (!(std::abs(step - duration) <= tolerance)) {
            throw StreamClockError::discontinuity();
        }
        if (lost > maximumGapSeconds * rate_) {
            throw StreamClockError::discontinuity();
        }
        gap = static_cast<std::uint64_t>(lost);
    }
    if (!originNanos_) {
        originNanos_ = chunk.hostTimeNanos;
    }
    expectedSample_ = chunk.sampleTime + static_cast<double>(chunk.frames);
    previousHost_ = chunk.hostTimeNanos;
    previousFrames_ = chunk.frames;
    lastGapFrames_ = gap;

    if (gap > 0) {
        // A short loss stays inside the stream as exactly that much silence,
        // so what follows keeps its place on the time line.
        converter_.push(std::vector<float>(gap * static_cast<std::uint64_t>(channels_), 0.f));
    }
    converter_.push(chunk.samples);
    return takeOutput();
}

std::optional<MixSegment> ClockedStream::takeOutput() {
    if (converter_.bufferedOutputFrames() == 0 || !originNanos_) {
        return std::nullopt;
    }
    constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();
    if (outputFrames_ > maximum / pcm::nanosPerFrame) {
        throw StreamClockError::timestampOverflow();
    }
    const std::uint64_t offset = outputFrames_ * pcm::nanosPerFrame;
    if (*originNanos_ > maximum - offset) {
        throw StreamClockError::timestampOverflow();
    }
    MixSegment segment{*originNanos_ + offset, converter_.pullAll()};
    outputFrames_ += segment.samples.size() / static_cast<std::size_t>(channels_);
    return segment;
}

std::optional<MixSegment> ClockedStream::finish() {
    if (!converter_.ended()) {
        converter_.endOfStream();
    }
    return takeOutput();
}

std::optional<std::uint64_t> ClockedStream::outputEndNanos() const noexcept {
    if (!originNanos_) {
        return std::nullopt;
    }
    constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();
    if (outputFrames_ > maximum / pcm::nanosPerFrame ||
        *originNanos_ > maximum - outputFrames_ * pcm::nanosPerFrame) {
        return maximum;
    }
    return *originNanos_ + outputFrames_ * pcm::nanosPerFrame;
}

} // namespace zoq
