#pragma once

#include "ZoqCaptureEngine/MixError.h"
#include "ZoqCaptureEngine/MixSegment.h"
#include "ZoqCore/Support/Bytes.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace zoq {

/// Lines up the converted microphone and system streams on the host-time axis
/// and hands out one contiguous stereo stream: 16 kHz, signed 16-bit
/// little-endian, left the microphone, right the system audio.
///
/// Output frame k lies at `originNanos + k × 62 500`. The left channel is a
/// copy of the microphone's sample at that instant; the right channel is the
/// mean of the system segment's (left, right) pair there (rounded toward
/// zero), so that sound played on either side is heard; a position no
/// segment of a stream covers is silence; where segments of one stream
/// overlap, the one that starts latest wins (on equal starts, the one pushed
/// later).
///
/// Frames that come out as silence can never be filled later (a segment that
/// starts before the delivered end is `lateData`), so callers pull only up to
/// the end of the slower stream, at least `reorderNanos` in the past, except
/// when flushing at the end of a part.
///
/// Not thread-safe; used only from the engine's serial queue.
class StereoFrameMixer {
public:
    struct Block {
        std::int64_t first = 0; ///< index of the block's first frame
        Bytes pcm;              ///< 4 bytes per frame: left, right, 16-bit little-endian

        friend bool operator==(const Block&, const Block&) = default;
    };

    /// The age a frame must reach before `pullReadyFrames` hands it out.
    static constexpr std::uint64_t reorderNanos = 500'000'000;
    /// History kept behind the delivery point when not live.
    static constexpr std::uint64_t pruneBehindNanos = 2'000'000'000;
    /// At most this many frames (40 s) may be buffered in live mode.
    static constexpr std::int64_t maximumBufferedFrames = 640'000;
    /// The span `pullReadyFrames` allows a single pull.
    static constexpr std::uint64_t readyMaxSpanNanos = 20'000'000'000;

    /// `live` turns on admission control (late data, backlog) and prunes
    /// everything behind the delivery point. The engine always runs live.
    explicit StereoFrameMixer(bool live = true) : live_(live) {}

    /// Adds a microphone segment (one value per frame). Ignored when empty
    /// or refused; a refusal is thrown by the next pull.
    void pushMic(std::uint64_t startNanos, std::vector<std::int16_t> samples);
    /// Adds a system segment of (left, right) pairs covering
    /// `interleaved.size() / 2` frames. Ignored when it covers no frame or is
    /// refused; a refusal is thrown by the next pull.
    void pushSystem(std::uint64_t startNanos, std::vector<std::int16_t> interleaved);

    /// Hands out the next frames from the delivery cursor up to
    /// min(coverage end, `upTo`), at most `maxFrames`. Returns nothing when
    /// there is nothing to hand out.
    ///
    /// Throws the pending admission error (`lateData`, `backlogExceeded`)
    /// every time until `reset()`; throws `windowTooLong`, consuming nothing,
    /// when the window from the cursor exceeds `maxSpanNanos`.
    std::optional<Block> pullFrames(std::uint64_t upTo, std::int64_t maxFrames, std::uint64_t maxSpanNanos);

    /// `pullFrames` up to min(`nowNanos` − `reorderNanos`, `pendingFrom`)
    /// (0 while `nowNanos` ≤ `reorderNanos`), with a 20 s span limit.
    std::optional<Block> pullReadyFrames(std::uint64_t nowNanos, std::uint64_t pendingFrom,
                                         std::int64_t maxFrames);

    /// Back to empty: no origin, nothing delivered or buffered, no error.
    void reset() noexcept;

    bool live() const noexcept { return live_; }
    std::optional<std::uint64_t> originNanos() const noexcept { return originNanos_; }
    std::int64_t deliveredFrames() const noexcept { return deliveredFrames_; }
    std::int64_t bufferedFrames() const noexcept { return bufferedFrames_; }
    /// The furthest end of any segment that covers a frame (saturating at the
    /// largest value); 0 when no segment covers a frame; absent when both
    /// lists are empty.
    std::optional<std::uint64_t> coverageEnd() const noexcept;
    const std::optional<MixError>& pendingError() const noexcept { return pendingError_; }
    const std::vector<MixSegment>& micSegments() const noexcept { return micSegments_; }
    const std::vector<MixSegment>& systemSegments() const noexcept { return systemSegments_; }

private:
    bool admit(std::uint64_t startNanos, std::int64_t frames);
    std::optional<std::uint64_t> cursor() const noexcept;
    void prune() noexcept;

    bool live_;
    std::optional<std::uint64_t> originNanos_;
    std::int64_t deliveredFrames_ = 0;
    std::vector<MixSegment> micSegments_;
    std::vector<MixSegment> systemSegments_;
    std::int64_t bufferedFrames_ = 0;
    std::optional<MixError> pendingError_;
};

} // namespace zoq
