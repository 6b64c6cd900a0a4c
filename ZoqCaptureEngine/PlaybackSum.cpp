#include "ZoqCaptureEngine/PlaybackSum.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zoq {

PlaybackSum::PlaybackSum(std::uint32_t rate, int channels) : rate_(rate), channels_(channels) {}

std::uint64_t PlaybackSum::timeOf(std::uint64_t frame) const noexcept {
    // In integers, so the stamps stay exact however far the stream runs.
    return origin_.value_or(0) + frame / rate_ * 1'000'000'000ULL + frame % rate_ * 1'000'000'000ULL / rate_;
}

void PlaybackSum::add(std::uint32_t key, const RawChunk& chunk) {
    if (chunk.channels != channels_ || chunk.frames < 1 || !chunk.hostTimeValid) {
        return;
    }
    const std::uint64_t end =
        chunk.hostTimeNanos + static_cast<std::uint64_t>(chunk.frames) * 1'000'000'000ULL / rate_;
    inputEnd_ = std::max(inputEnd_.value_or(0), end);
    if (!origin_) {
        // Nothing handed out yet: the timeline starts at the first `produce`,
        // and audio before it has nowhere to go.
        dropped_ += static_cast<std::uint64_t>(chunk.frames);
        return;
    }
    const double offset = chunk.hostTimeNanos >= *origin_
                              ? static_cast<double>(chunk.hostTimeNanos - *origin_)
                              : -static_cast<double>(*origin_ - chunk.hostTimeNanos);
    auto placed = static_cast<std::int64_t>(std::llround(offset * rate_ / 1e9));
    if (const auto known = next_.find(key);
        known != next_.end() && std::llabs(placed - known->second) <= slackFrames) {
        placed = known->second;
    }
    next_[key] = placed + chunk.frames;

    std::int64_t first = 0; // the chunk's first frame still due
    const auto produced = static_cast<std::int64_t>(produced_);
    if (placed < produced) {
        first = std::min(produced - placed, chunk.frames);
        dropped_ += static_cast<std::uint64_t>(first);
    }
    const auto aheadLimit = produced + static_cast<std::int64_t>(maxAheadSeconds * rate_);
    std::int64_t last = chunk.frames;
    if (placed + last > aheadLimit) {
        const std::int64_t kept = std::max<std::int64_t>(first, aheadLimit - placed);
        dropped_ += static_cast<std::uint64_t>(last - kept);
        last = kept;
    }
    if (first >= last) {
        return;
    }
    const auto channels = static_cast<std::size_t>(channels_);
    const auto start = static_cast<std::size_t>(placed + first - produced) * channels;
    const auto count = static_cast<std::size_t>(last - first) * channels;
    if (pending_.size() < start + count) {
        pending_.resize(start + count, 0.0f);
    }
    const float* source = chunk.samples.data() + static_cast<std::size_t>(first) * channels;
    float* target = pending_.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
        target[i] += source[i];
    }
}

void PlaybackSum::remove(std::uint32_t key) {
    next_.erase(key);
}

std::optional<RawChunk> PlaybackSum::produce(std::uint64_t upToNanos) {
    if (!origin_) {
        origin_ = upToNanos;
        return std::nullopt;
    }
    if (upToNanos <= *origin_) {
        return std::nullopt;
    }
    const std::uint64_t elapsed = upToNanos - *origin_;
    const std::uint64_t due =
        elapsed / 1'000'000'000ULL * rate_ + elapsed % 1'000'000'000ULL * rate_ / 1'000'000'000ULL;
    if (due <= produced_) {
        return std::nullopt;
    }
    const auto channels = static_cast<std::size_t>(channels_);
    const std::size_t count = static_cast<std::size_t>(due - produced_) * channels;
    std::vector<float> samples(count, 0.0f);
    const std::size_t available = std::min(count, pending_.size());
    std::copy_n(pending_.begin(), available, samples.begin());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(available));
    RawChunk chunk(timeOf(produced_), upToNanos, static_cast<double>(produced_), std::move(samples),
                   channels_, true, true);
    produced_ = due;
    return chunk;
}

std::optional<std::uint64_t> PlaybackSum::inputEndNanos() const noexcept {
    return inputEnd_;
}

} // namespace zoq
