#include "ZoqCaptureEngine/StreamResampler.h"

#include "ZoqCaptureEngine/ResampleError.h"
#include "ZoqCaptureEngine/SoxrConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zoq {
namespace {

/// The smallest output buffer a pass allocates, and the headroom above the
/// queued input's share: enough for the converter's held-back frames.
constexpr std::size_t minimumPassFrames = 4096;
constexpr std::size_t passHeadroomFrames = 1024;
/// After the end of the stream the total may differ from the ideal count by
/// this much beyond the slack, in either direction.
constexpr std::int64_t endOfStreamTolerance = 64;

std::unique_ptr<SampleRateConverter> makeSoxr(double sourceRate, int channels) {
    if (!(sourceRate > 0) || !std::isfinite(sourceRate) || channels <= 0) {
        throw ResampleError::converterCreationFailed();
    }
    return std::make_unique<SoxrConverter>(sourceRate, StreamResampler::targetRate, channels);
}

std::int16_t quantize(float value) noexcept {
    const float scaled = value * 32768.0f;
    if (scaled >= 32767.0f) {
        return 32767;
    }
    if (scaled <= -32768.0f) {
        return -32768;
    }
    if (std::isnan(scaled)) {
        return 0;
    }
    return static_cast<std::int16_t>(std::lrint(scaled));
}

} // namespace

StreamResampler::StreamResampler(double sourceRate, int channels)
    : StreamResampler(sourceRate, channels, makeSoxr(sourceRate, channels)) {}

StreamResampler::StreamResampler(double sourceRate, int channels,
                                 std::unique_ptr<SampleRateConverter> converter)
    : sourceRate_(sourceRate), channels_(channels), ratio_(targetRate / sourceRate), slack_(0),
      converter_(std::move(converter)) {
    if (!(sourceRate > 0) || !std::isfinite(sourceRate) || channels <= 0 || !converter_) {
        throw ResampleError::converterCreationFailed();
    }
    slack_ = static_cast<std::int64_t>(std::trunc(4.0 / ratio_)) + 6;
}

std::int64_t StreamResampler::expectedFrames() const noexcept {
    return static_cast<std::int64_t>(std::round(ratio_ * static_cast<double>(consumedFrames_)));
}

void StreamResampler::push(std::vector<float> interleaved) {
    const auto channelCount = static_cast<std::size_t>(channels_);
    if (ended_ || interleaved.size() % channelCount != 0) {
        throw ResampleError::conversionFailed();
    }
    if (!interleaved.empty()) {
        for (float& value : interleaved) {
            if (!std::isfinite(value)) {
                value = 0;
            }
        }
        inputQueueFrames_ += static_cast<std::int64_t>(interleaved.size() / channelCount);
        inputQueue_.push_back(std::move(interleaved));
    }
    pump();
}

void StreamResampler::endOfStream() {
    ended_ = true;
    pump();
}

std::vector<std::int16_t> StreamResampler::pullAll() noexcept {
    std::vector<std::int16_t> taken;
    taken.swap(pending_);
    return taken;
}

std::vector<std::int16_t> StreamResampler::pull(std::int64_t maxFrames) {
    const std::size_t available = pending_.size() / static_cast<std::size_t>(channels_);
    const std::size_t frames = maxFrames <= 0 ? 0 : std::min(available, static_cast<std::size_t>(maxFrames));
    const auto values = static_cast<std::ptrdiff_t>(frames * static_cast<std::size_t>(channels_));
    std::vector<std::int16_t> taken(pending_.begin(), pending_.begin() + values);
    pending_.erase(pending_.begin(), pending_.begin() + values);
    return taken;
}

void StreamResampler::pump() {
    // A pass that fills its buffer may have left output inside the converter,
    // so run another; a pass that stops short has drained what is ready.
    while (convertPass()) {
        checkCounts(false);
    }
    checkCounts(ended_);
}

bool StreamResampler::convertPass() {
    const auto channelCount = static_cast<std::size_t>(channels_);
    const auto queuedShare =
        static_cast<std::size_t>(std::trunc(ratio_ * static_cast<double>(inputQueueFrames_)));
    const std::size_t capacity = std::max(minimumPassFrames, queuedShare + passHeadroomFrames);
    std::vector<float> output(capacity * channelCount);
    std::size_t produced = 0;

    while (produced < capacity) {
        const std::span<float> room = std::span<float>(output).subspan(produced * channelCount);
        std::span<const float> offered;
        if (!inputQueue_.empty()) {
            offered = std::span<const float>(inputQueue_.front()).subspan(frontOffsetFrames_ * channelCount);
        }
        SampleRateConverter::Step step;
        if (offered.empty() && ended_) {
            step.producedFrames = converter_->flush(room);
        } else {
            step = converter_->process(offered, room);
        }
        // A converter reporting more than it was offered would corrupt the
        // counts every check below relies on.
        if (step.consumedFrames > offered.size() / channelCount ||
            step.producedFrames > capacity - produced) {
            throw ResampleError::conversionFailed();
        }
        if (step.consumedFrames == 0 && step.producedFrames == 0) {
            if (!offered.empty()) {
                // Input and room were both offered: a converter that takes
                // neither would stall the stream without a word.
                throw ResampleError::conversionFailed();
            }
            break;
        }
        if (step.consumedFrames > 0) {
            frontOffsetFrames_ += step.consumedFrames;
            inputQueueFrames_ -= static_cast<std::int64_t>(step.consumedFrames);
            consumedFrames_ += static_cast<std::int64_t>(step.consumedFrames);
            if (frontOffsetFrames_ * channelCount == inputQueue_.front().size()) {
                inputQueue_.pop_front();
                frontOffsetFrames_ = 0;
            }
        }
        produced += step.producedFrames;
    }

    const std::size_t values = produced * channelCount;
    const std::size_t before = pending_.size();
    pending_.resize(before + values);
    std::transform(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(values),
                   pending_.begin() + static_cast<std::ptrdiff_t>(before), quantize);
    producedFrames_ += static_cast<std::int64_t>(produced);
    return produced == capacity;
}

void StreamResampler::checkCounts(bool tailFlushed) const {
    const std::int64_t expected = expectedFrames();
    const std::int64_t difference = producedFrames_ - expected;
    const bool breach = tailFlushed ? std::llabs(difference) > slack_ + endOfStreamTolerance
                                    : difference > slack_ + (ended_ ? endOfStreamTolerance : 0);
    if (breach) {
        throw ResampleError::frameCountMismatch(expected, producedFrames_);
    }
}

} // namespace zoq
