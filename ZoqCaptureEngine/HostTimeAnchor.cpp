#include "ZoqCaptureEngine/HostTimeAnchor.h"

#include <algorithm>
#include <cstdlib>

namespace zoq {
namespace {

/// Nanoseconds of `frames` frames, exact in 64 bits for any stream length:
/// whole seconds and the remainder apart.
std::uint64_t nanosOf(std::uint64_t frames, std::uint32_t rate) noexcept {
    return frames / rate * 1'000'000'000u + frames % rate * 1'000'000'000u / rate;
}

// Deliveries that arrive this close together came in one batch.
constexpr std::uint64_t batchNanos = 1'000'000;

std::uint64_t firstFrame(const RawChunk& chunk) noexcept {
    return static_cast<std::uint64_t>(chunk.sampleTime);
}

} // namespace

HostTimeAnchor::HostTimeAnchor(std::uint32_t rate, std::int64_t thresholdNanos, std::int64_t settleNanos)
    : rate_(rate == 0 ? 1 : rate), threshold_(thresholdNanos), settle_(settleNanos) {}

std::optional<std::uint64_t> HostTimeAnchor::anchoredTime(std::uint64_t frame) const noexcept {
    if (!anchorFrame_) {
        return std::nullopt;
    }
    if (frame < *anchorFrame_) {
        return anchorNanos_ - nanosOf(*anchorFrame_ - frame, rate_);
    }
    return anchorNanos_ + nanosOf(frame - *anchorFrame_, rate_);
}

std::int64_t HostTimeAnchor::departure(const RawChunk& chunk) const noexcept {
    const std::uint64_t end = *anchoredTime(firstFrame(chunk) + static_cast<std::uint64_t>(chunk.frames));
    return static_cast<std::int64_t>(chunk.receivedNanos - end);
}

void HostTimeAnchor::add(RawChunk chunk, std::vector<RawChunk>& ready) {
    heldFrames_ += chunk.frames;
    held_.push_back(std::move(chunk));
    const std::uint64_t latest = held_.back().receivedNanos;
    while (!held_.empty() && static_cast<std::int64_t>(latest - held_.front().receivedNanos) >= settle_) {
        judgeFront(ready);
    }
}

void HostTimeAnchor::flush(std::vector<RawChunk>& ready) {
    while (!held_.empty()) {
        if (!anchorFrame_) {
            // Never settled: the best line there is goes through these.
            judgeFront(ready);
            continue;
        }
        RawChunk& chunk = held_.front();
        chunk.hostTimeNanos = *anchoredTime(firstFrame(chunk));
        chunk.hostTimeValid = true;
        heldFrames_ -= chunk.frames;
        ready.push_back(std::move(chunk));
        held_.pop_front();
    }
}

void HostTimeAnchor::judgeFront(std::vector<RawChunk>& ready) {
    RawChunk& front = held_.front();
    const bool first = !anchorFrame_;
    if (first) {
        anchorFrame_ = firstFrame(front);
        anchorNanos_ = front.receivedNanos - nanosOf(static_cast<std::uint64_t>(front.frames), rate_);
    }
    // The earliest departure from each held delivery on (they arrive in
    // order, so a late one is followed by ones at least as late).
    std::vector<std::int64_t>& suffix = suffixMinima_;
    suffix.resize(held_.size());
    std::int64_t earliest = departure(held_.back());
    for (std::size_t i = held_.size(); i-- > 0;) {
        earliest = std::min(earliest, departure(held_[i]));
        suffix[i] = earliest;
    }
    earliest = suffix.front();
    // After a reported loss, audio went missing before this chunk when every
    // delivery from it on is late by more than the threshold, and no larger
    // jump follows within the window: a delivery that was merely late just
    // before a loss must not take the loss's place.
    //
    // A server delivers a cycle's audio in one batch of fragments, and where
    // a fragment's frames lay in the cycle moves its departure by up to a
    // fragment's length (a 1024-frame cycle carved into 10 ms fragments: a
    // sawtooth of 10 ms). So a loss, and a later jump, must exceed the
    // threshold by the longest delivery held; a smaller loss is followed like
    // drift. The newest batch, whose earlier fragments wait for the rest of
    // it, is not judged yet.
    std::uint64_t longest = 0;
    for (const RawChunk& chunk : held_) {
        longest = std::max(longest, static_cast<std::uint64_t>(chunk.frames));
    }
    const std::int64_t jump = threshold_ + static_cast<std::int64_t>(nanosOf(longest, rate_));
    const std::uint64_t newestBatch =
        held_.back().receivedNanos - std::min<std::uint64_t>(held_.back().receivedNanos, batchNanos);
    bool lateJumpFollows = false;
    for (std::size_t i = 1; i < held_.size() && held_[i].receivedNanos < newestBatch; ++i) {
        lateJumpFollows = lateJumpFollows || suffix[i] > earliest + jump;
    }
    baseline_ = earliest;
    // Only the server says audio was lost: a hole in the frame counter is
    // already on the line (stamps go by frame), and an overflow it reported
    // marks the first delivery after it. Then the arrivals' jump is the loss.
    // Everything else that moves the arrivals (a stall after which the server
    // delivers a cycle or more later than before, a line placed on late first
    // deliveries, drift) lost nothing and is followed in small steps.
    if (first || (front.lossBefore && earliest > jump && !lateJumpFollows)) {
        anchorNanos_ += static_cast<std::uint64_t>(earliest);
        baseline_ = 0;
        if (!first) {
            ++reanchors_;
            largestDeparture_ = 0;
        }
    } else if (std::llabs(earliest) > slewStartNanos) {
        // Follow by at most `maxSlewPerMillion` of the chunk's own length (and
        // never more than `maxSlewNanos`): far inside the two frames or 125 µs
        // the stream clock allows, and shorter than the chunk however short it
        // is, so one stream's stamps never go backwards. A line that lies
        // after audio that already arrived is plainly wrong (it was placed on
        // late first deliveries): it moves back faster, by up to
        // `maxCatchUpPerMillion`, still within the same bounds.
        const std::uint64_t duration = nanosOf(static_cast<std::uint64_t>(front.frames), rate_);
        const bool lineLate = earliest < -threshold_;
        const auto limit =
            lineLate
                ? std::min<std::int64_t>(maxCatchUpNanos, static_cast<std::int64_t>(
                                                              duration * maxCatchUpPerMillion / 1'000'000u))
                : std::min<std::int64_t>(
                      maxSlewNanos, static_cast<std::int64_t>(duration * maxSlewPerMillion / 1'000'000u));
        const std::int64_t step = std::clamp(earliest, -limit, limit);
        anchorNanos_ += static_cast<std::uint64_t>(step);
        slewed_ += step;
    }
    lastDeparture_ = departure(front);
    if (std::llabs(lastDeparture_) > std::llabs(largestDeparture_)) {
        largestDeparture_ = lastDeparture_;
    }
    front.hostTimeNanos = *anchoredTime(firstFrame(front));
    front.hostTimeValid = true;
    heldFrames_ -= front.frames;
    ready.push_back(std::move(front));
    held_.pop_front();
}

} // namespace zoq
