#pragma once

#include "ZoqCaptureEngine/RawChunk.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace zoq {

/// Host-time stamps for one record stream that the stream clock accepts.
///
/// The stamps lie on one line per anchor: host time of frame n = anchor time
/// + (n − anchor frame) ÷ rate, exact to the nanosecond, so the stream clock
/// (which allows a step of about two frames) never sees a break from jitter.
///
/// The line is placed by when the audio arrives. A delivery arrives just
/// after its last frame was captured, plus the server's delivery delay and
/// any scheduling delay, all of which only ever make it later: so the line is
/// put through the earliest arrivals (every delivery's departure, its arrival
/// minus the line's end of it, is then zero or positive). The server's own
/// latency reports are not used: pipewire-pulse's swing by tens of
/// milliseconds on monitor streams.
///
/// Each chunk is held until deliveries have arrived for `settle` after it,
/// and then judged with all deliveries since. Audio is lost only where the
/// server says so: a hole in the stream's frame counter (the stamps go by
/// frame, so the line already steps over it), or an overflow it reported,
/// which marks the next delivery `lossBefore`. At such a delivery, when even
/// the earliest of the deliveries from it on departs from the line by more
/// than `threshold` plus the longest delivery held, a new anchor starts there,
/// shifted by that departure, so the stream clock sees the loss's length
/// exactly there. The allowance of one delivery is the server's batching:
/// PipeWire sends each cycle's audio (often 1024 frames) at its end in 10 ms
/// fragments, so a fragment's departure depends on where in the cycle its
/// frames lay.
///
/// Late deliveries are no loss. After a stall pipewire-pulse may go on
/// delivering a cycle or more later than before with every frame there, and a
/// burst of held-back audio arrives all at once: the line follows such a
/// shift like drift, below, and never breaks the stream for it.
///
/// The server's clock and the host's drift apart by tens of ppm (a null sink
/// on PulseAudio: 35 ppm, about 4 ms in two minutes; sound cards alike).
/// Breaking the stream for that would split a call every few minutes, so once
/// the earliest arrivals sit more than `slewStartNanos` off the line (either
/// way), the line follows them by at most `maxSlewPerMillion` of each chunk's
/// length, and never more than `maxSlewNanos` per chunk (back to arrivals it
/// lies after by more than the threshold: `maxCatchUpPerMillion`, at most
/// `maxCatchUpNanos`): consecutive stamps
/// then differ from the frame count's duration by far less than the stream
/// clock accepts, and never go backwards, however short the chunks.
///
/// Not thread-safe; one per stream, used on the thread that delivers it.
class HostTimeAnchor {
public:
    static constexpr std::int64_t defaultThresholdNanos = 4'000'000;
    static constexpr std::int64_t defaultSettleNanos = 100'000'000;
    static constexpr std::int64_t slewStartNanos = 1'000'000;
    static constexpr std::int64_t maxSlewNanos = 20'000;
    /// 2 ms per second: a shift of a 1024-frame cycle is followed in ten
    /// seconds, drift of hundreds of ppm at once.
    static constexpr std::uint64_t maxSlewPerMillion = 2'000;
    /// A line later than the arrivals by more than the threshold moves back
    /// by up to 1 % (a 1024-frame cycle in about two seconds).
    static constexpr std::int64_t maxCatchUpNanos = 100'000;
    static constexpr std::uint64_t maxCatchUpPerMillion = 10'000;

    explicit HostTimeAnchor(std::uint32_t rate, std::int64_t thresholdNanos = defaultThresholdNanos,
                            std::int64_t settleNanos = defaultSettleNanos);

    /// Takes a delivery (its `sampleTime` the stream's frame counter, its
    /// `receivedNanos` its arrival) and appends to `ready`, in order, every
    /// held chunk whose stamp is now decided, stamped.
    void add(RawChunk chunk, std::vector<RawChunk>& ready);
    /// Stamps every held chunk on the current line (at the stream's end).
    void flush(std::vector<RawChunk>& ready);
    std::size_t heldChunks() const noexcept { return held_.size(); }
    std::int64_t heldFrames() const noexcept { return heldFrames_; }

    /// The stamp of a frame on the current line; absent before the first anchor.
    std::optional<std::uint64_t> anchoredTime(std::uint64_t frame) const noexcept;

    std::uint32_t rate() const noexcept { return rate_; }
    /// New anchors taken after the first.
    std::uint64_t reanchors() const noexcept { return reanchors_; }
    /// Departure of the last judged delivery from the line, and the largest
    /// since the last anchor (nanoseconds): how late deliveries arrive, and
    /// how far the clocks drift apart.
    std::int64_t lastDepartureNanos() const noexcept { return lastDeparture_; }
    std::int64_t largestDepartureNanos() const noexcept { return largestDeparture_; }
    /// The earliest departure of the deliveries the last judgement saw: how
    /// far the line sits from the arrivals, which grows as the clocks drift.
    std::int64_t baselineNanos() const noexcept { return baseline_; }
    /// How far the line has followed the arrivals since the first anchor
    /// (nanoseconds): with the baseline, the drift of the clocks.
    std::int64_t slewedNanos() const noexcept { return slewed_; }

private:
    std::int64_t departure(const RawChunk& chunk) const noexcept;
    void judgeFront(std::vector<RawChunk>& ready);

    std::uint32_t rate_;
    std::int64_t threshold_;
    std::int64_t settle_;
    std::deque<RawChunk> held_;
    std::vector<std::int64_t> suffixMinima_;
    std::int64_t heldFrames_ = 0;
    std::optional<std::uint64_t> anchorFrame_;
    std::uint64_t anchorNanos_ = 0;
    std::uint64_t reanchors_ = 0;
    std::int64_t lastDeparture_ = 0;
    std::int64_t largestDeparture_ = 0;
    std::int64_t baseline_ = 0;
    std::int64_t slewed_ = 0;
};

} // namespace zoq
