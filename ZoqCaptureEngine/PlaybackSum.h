#pragma once

#include "ZoqCaptureEngine/RawChunk.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace zoq {

/// Sums several record streams, each already stamped on the host clock by
/// its own `HostTimeAnchor`, into one stream whose stamps the stream clock
/// accepts: the host time of output frame n is exactly origin + n ÷ rate, and
/// the counter never jumps. The timeline is driven by the host clock, not by
/// the inputs: `produce` hands out every frame up to the time it is given,
/// silence where no input played, so inputs may come and go (a playback
/// stream that starts, moves or ends) without the output breaking.
///
/// Each input keeps its own place on the timeline: a chunk continues where
/// the input's last one ended as long as its stamp agrees within
/// `slackFrames`; otherwise (a new anchor after a loss, or drift beyond the
/// slack) it is placed by its stamp. Audio stamped before the frames already
/// handed out is late and dropped; audio more than `maxAheadSeconds` ahead
/// of them is dropped too, so a wild stamp cannot grow the buffer.
///
/// Not thread-safe; the owner serialises `add`, `produce` and `remove`.
class PlaybackSum {
public:
    static constexpr std::int64_t slackFrames = 96;
    static constexpr double maxAheadSeconds = 10;

    PlaybackSum(std::uint32_t rate, int channels);

    /// Adds a stamped chunk of input `key` (its channel count must be the
    /// sum's; others are ignored).
    void add(std::uint32_t key, const RawChunk& chunk);
    /// Forgets where input `key` stood: its next chunk is placed by its stamp.
    void remove(std::uint32_t key);
    /// The frames from the last one handed out up to host time `upToNanos`
    /// (the first call only fixes the origin there). Nothing when no whole
    /// frame is due.
    std::optional<RawChunk> produce(std::uint64_t upToNanos);
    /// Host time just past the last frame any input has delivered; absent
    /// before any audio.
    std::optional<std::uint64_t> inputEndNanos() const noexcept;

    std::optional<std::uint64_t> originNanos() const noexcept { return origin_; }
    std::uint64_t producedFrames() const noexcept { return produced_; }
    /// Input frames dropped as late or too far ahead.
    std::uint64_t droppedFrames() const noexcept { return dropped_; }

private:
    std::uint64_t timeOf(std::uint64_t frame) const noexcept;

    std::uint32_t rate_;
    int channels_;
    std::optional<std::uint64_t> origin_;
    std::uint64_t produced_ = 0;
    std::uint64_t dropped_ = 0;
    /// Frames from `produced_` on, summed so far (interleaved). A plain
    /// vector: it holds well under a second, and the sum loops vectorise.
    std::vector<float> pending_;
    /// Per input, the output frame its next chunk continues at.
    std::map<std::uint32_t, std::int64_t> next_;
    std::optional<std::uint64_t> inputEnd_;
};

} // namespace zoq
