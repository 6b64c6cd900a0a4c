#include "ZoqCaptureEngine/StereoFrameMixer.h"

#include "ZoqCore/Support/PCM.h"

#include <algorithm>
#include <limits>

namespace zoq {
namespace {

constexpr std::uint64_t frameNanos = pcm::nanosPerFrame;
constexpr std::uint64_t maximumNanos = std::numeric_limits<std::uint64_t>::max();

/// start + frames × 62 500, or the largest value when that overflows.
std::uint64_t endOf(std::uint64_t start, std::uint64_t frames) noexcept {
    if (frames > maximumNanos / frameNanos || start > maximumNanos - frames * frameNanos) {
        return maximumNanos;
    }
    return start + frames * frameNanos;
}

std::uint64_t framesOf(const MixSegment& segment, std::size_t valuesPerFrame) noexcept {
    return segment.samples.size() / valuesPerFrame;
}

std::uint64_t ceilFrames(std::uint64_t nanos) noexcept {
    return nanos / frameNanos + (nanos % frameNanos != 0 ? 1 : 0);
}

/// Writes one stream's values for output frames [0, count) starting at
/// `cursor` into every second value of `out`.
///
/// Equivalent to looking up, for each frame, the covering segment with the
/// latest start (later push on ties), but in time linear in the output: the
/// covering segments are painted in ascending (start, push order), so the
/// last paint at each frame is the one that wins.
void paint(const std::vector<MixSegment>& segments, std::size_t valuesPerFrame, std::uint64_t cursor,
           std::uint64_t count, std::int16_t* out) {
    struct Span {
        const MixSegment* segment;
        std::uint64_t frames;
        std::uint64_t firstOutput;
        std::uint64_t endOutput;
    };
    std::vector<Span> spans;
    spans.reserve(segments.size());
    for (const MixSegment& segment : segments) {
        const std::uint64_t frames = framesOf(segment, valuesPerFrame);
        if (frames == 0) {
            continue;
        }
        const std::uint64_t end = endOf(segment.startNanos, frames);
        if (end <= cursor) {
            continue;
        }
        const std::uint64_t firstOutput =
            segment.startNanos <= cursor ? 0 : ceilFrames(segment.startNanos - cursor);
        const std::uint64_t endOutput = std::min(count, ceilFrames(end - cursor));
        if (firstOutput < endOutput) {
            spans.push_back({&segment, frames, firstOutput, endOutput});
        }
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return a.segment->startNanos < b.segment->startNanos;
    });

    for (const Span& span : spans) {
        const std::int16_t* samples = span.segment->samples.data();
        // Output frames advance exactly one frame through the segment, so
        // the index only needs computing once; it is clamped for a segment
        // whose end saturated.
        std::uint64_t index =
            (cursor + span.firstOutput * frameNanos - span.segment->startNanos) / frameNanos;
        const std::uint64_t lastIndex = span.frames - 1;
        for (std::uint64_t i = span.firstOutput; i < span.endOutput; ++i, ++index) {
            // The mean of the frame's channels: sound in any one of them is
            // heard, and sound in all of them keeps its level.
            const std::int16_t* frame = samples + valuesPerFrame * std::min(index, lastIndex);
            std::int32_t sum = 0;
            for (std::size_t channel = 0; channel < valuesPerFrame; ++channel) {
                sum += frame[channel];
            }
            out[2 * i] = static_cast<std::int16_t>(sum / static_cast<std::int32_t>(valuesPerFrame));
        }
    }
}

void prune(std::vector<MixSegment>& segments, std::size_t valuesPerFrame, std::uint64_t cutoff,
           std::int64_t& bufferedFrames) noexcept {
    std::erase_if(segments, [&](const MixSegment& segment) {
        const std::uint64_t frames = framesOf(segment, valuesPerFrame);
        if (endOf(segment.startNanos, frames) < cutoff) {
            bufferedFrames -= static_cast<std::int64_t>(frames);
            return true;
        }
        return false;
    });
}

} // namespace

void StereoFrameMixer::pushMic(std::uint64_t startNanos, std::vector<std::int16_t> samples) {
    if (samples.empty() || !admit(startNanos, static_cast<std::int64_t>(samples.size()))) {
        return;
    }
    bufferedFrames_ += static_cast<std::int64_t>(samples.size());
    micSegments_.push_back({startNanos, std::move(samples)});
}

void StereoFrameMixer::pushSystem(std::uint64_t startNanos, std::vector<std::int16_t> interleaved) {
    const auto frames = static_cast<std::int64_t>(interleaved.size() / 2);
    if (frames == 0 || !admit(startNanos, frames)) {
        return;
    }
    bufferedFrames_ += frames;
    systemSegments_.push_back({startNanos, std::move(interleaved)});
}

bool StereoFrameMixer::admit(std::uint64_t startNanos, std::int64_t frames) {
    if (live_) {
        if (deliveredFrames_ > 0) {
            const std::optional<std::uint64_t> deliveredEnd = cursor();
            if (deliveredEnd && startNanos < *deliveredEnd) {
                pendingError_ = MixError::lateData();
                return false;
            }
        }
        if (bufferedFrames_ + frames > maximumBufferedFrames) {
            pendingError_ = MixError::backlogExceeded();
            return false;
        }
    }
    if (deliveredFrames_ == 0) {
        originNanos_ = originNanos_ ? std::min(*originNanos_, startNanos) : startNanos;
    }
    return true;
}

std::optional<std::uint64_t> StereoFrameMixer::cursor() const noexcept {
    if (!originNanos_) {
        return std::nullopt;
    }
    const auto delivered = static_cast<std::uint64_t>(deliveredFrames_);
    if (delivered > maximumNanos / frameNanos || *originNanos_ > maximumNanos - delivered * frameNanos) {
        return std::nullopt;
    }
    return *originNanos_ + delivered * frameNanos;
}

std::optional<std::uint64_t> StereoFrameMixer::coverageEnd() const noexcept {
    if (micSegments_.empty() && systemSegments_.empty()) {
        return std::nullopt;
    }
    std::uint64_t end = 0;
    for (const MixSegment& segment : micSegments_) {
        if (const std::uint64_t frames = framesOf(segment, 1); frames > 0) {
            end = std::max(end, endOf(segment.startNanos, frames));
        }
    }
    for (const MixSegment& segment : systemSegments_) {
        if (const std::uint64_t frames = framesOf(segment, 2); frames > 0) {
            end = std::max(end, endOf(segment.startNanos, frames));
        }
    }
    return end;
}

std::optional<StereoFrameMixer::Block>
StereoFrameMixer::pullFrames(std::uint64_t upTo, std::int64_t maxFrames, std::uint64_t maxSpanNanos) {
    if (pendingError_) {
        throw *pendingError_;
    }
    const std::optional<std::uint64_t> start = cursor();
    if (!start) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> covered = coverageEnd();
    if (!covered) {
        return std::nullopt;
    }
    const std::uint64_t limit = std::min(*covered, upTo);
    if (*start >= limit) {
        return std::nullopt;
    }
    if (limit - *start > maxSpanNanos) {
        throw MixError::windowTooLong();
    }
    if (maxFrames < 1) {
        return std::nullopt;
    }
    const std::uint64_t count = std::min(static_cast<std::uint64_t>(maxFrames), ceilFrames(limit - *start));

    std::vector<std::int16_t> values(2 * count, 0);
    paint(micSegments_, 1, *start, count, values.data());
    paint(systemSegments_, 2, *start, count, values.data() + 1);

    Block block{deliveredFrames_, Bytes(values.size() * 2)};
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto value = static_cast<std::uint16_t>(values[i]);
        block.pcm[2 * i] = static_cast<std::uint8_t>(value & 0xff);
        block.pcm[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    deliveredFrames_ += static_cast<std::int64_t>(count);
    prune();
    return block;
}

std::optional<StereoFrameMixer::Block>
StereoFrameMixer::pullReadyFrames(std::uint64_t nowNanos, std::uint64_t pendingFrom, std::int64_t maxFrames) {
    const std::uint64_t upTo = nowNanos <= reorderNanos ? 0 : std::min(nowNanos - reorderNanos, pendingFrom);
    return pullFrames(upTo, maxFrames, readyMaxSpanNanos);
}

void StereoFrameMixer::reset() noexcept {
    originNanos_.reset();
    deliveredFrames_ = 0;
    micSegments_.clear();
    systemSegments_.clear();
    bufferedFrames_ = 0;
    pendingError_.reset();
}

void StereoFrameMixer::prune() noexcept {
    const std::optional<std::uint64_t> position = cursor();
    if (!position) {
        micSegments_.clear();
        systemSegments_.clear();
        bufferedFrames_ = 0;
        return;
    }
    const std::uint64_t cutoff =
        live_ ? *position : (*position <= pruneBehindNanos ? 0 : *position - pruneBehindNanos);
    zoq::prune(micSegments_, 1, cutoff, bufferedFrames_);
    zoq::prune(systemSegments_, 2, cutoff, bufferedFrames_);
}

} // namespace zoq
