#pragma once

#include "ZoqCore/Capture/CaptureAction.h"
#include "ZoqCore/Capture/CaptureAllowlist.h"
#include "ZoqCore/Capture/CapturePrebuffer.h"
#include "ZoqCore/Capture/CaptureSegment.h"
#include "ZoqCore/Capture/CaptureState.h"
#include "ZoqCore/Capture/ProcessActivity.h"
#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zoq {

/// A call in progress, as a later run needs it to go on with the call: the
/// session its next part belongs to, that part's index, and the application
/// it records.
struct CallContinuation {
    std::string captureSessionId;
    std::int64_t partIndex = 0;
    std::string app;

    friend bool operator==(const CallContinuation&, const CallContinuation&) = default;
};

/// Decides when a recording part begins, continues and ends, from audio-process
/// activity and contiguous chunks of mixed PCM (16-bit stereo, 16 kHz, 4-byte
/// frames, positions in frames). It owns no files and no hardware: every input
/// returns the ordered `CaptureAction`s its owner must apply, and the owner
/// reports back with `finalised()` (a finish was applied) and `failed()` (a call
/// or the application of its actions threw).
///
/// Policy: an allowed application must hold input for `debounceInterval` before
/// a part begins, and the last `prebufferLimit` bytes heard meanwhile open the
/// part; once no allowed application holds input, the part goes on for
/// `idleGraceInterval`; a part is cut at exactly `rolloverFrames` into the next
/// part of the same session; a gap or overlap in the positions ends the part as
/// interrupted.
///
/// Not thread-safe: the owner serialises every call. The clock is borrowed and
/// must outlive the machine. The machine never catches errors; after a throw
/// the owner calls `failed()`.
class CaptureMachine {
public:
    using IdentifierMaker = std::function<std::string()>;

    static constexpr std::int64_t sampleRate = pcm::sampleRate;
    /// Frames per part (3 hours); a part is cut exactly at this count.
    static constexpr std::int64_t rolloverFrames = pcm::maximumPartFrames;
    /// Monotonic seconds DEBOUNCING lasts at least before RECORDING.
    static constexpr double debounceInterval = 3.0;
    /// Monotonic seconds IDLE_GRACE lasts before the part is finished.
    static constexpr double idleGraceInterval = 15.0;
    /// The most audio kept while debouncing, in bytes (3 s).
    static constexpr std::size_t prebufferLimit = 192'000;
    /// Added to a part's `startedAt` to date its successor at a rollover: the
    /// duration of `rolloverFrames`.
    static constexpr double partBoundaryOffset = 10'800.0;

    /// Starts PAUSED when `paused`, else ARMED. `makeID` names each new capture
    /// session (a random lower-case UUID by default).
    CaptureMachine(const CoreClock& clock, CaptureAllowlist allowlist, bool paused,
                   IdentifierMaker makeID = makeUUID);

    CaptureState state() const noexcept { return state_; }
    /// The identity of the part currently open (also kept while PAUSED after a
    /// pause until `resume()`).
    const std::optional<CaptureSegment>& segment() const noexcept { return segment_; }
    /// Frames appended to the current part.
    std::int64_t partFrames() const noexcept { return partFrames_; }
    const CaptureAllowlist& allowlist() const noexcept { return allowlist_; }
    /// Takes effect at the next `processes()` call.
    void setAllowlist(CaptureAllowlist allowlist) { allowlist_ = std::move(allowlist); }
    /// The bundle identifier currently eligible, and the one this session records.
    const std::optional<std::string>& eligibleApp() const noexcept { return eligibleApp_; }
    const std::optional<std::string>& recordingApp() const noexcept { return recordingApp_; }
    /// Monotonic seconds when DEBOUNCING and IDLE_GRACE were last entered.
    double debounceAt() const noexcept { return debounceAt_; }
    double idleAt() const noexcept { return idleAt_; }
    /// The audio held while debouncing, oldest first, and the position of its first frame.
    Bytes prebuffer() const { return prebuffer_.contents(); }
    std::size_t prebufferSize() const noexcept { return prebuffer_.size(); }
    std::int64_t firstBufferedFrame() const noexcept { return prebuffer_.firstFrame(); }
    /// The position the next chunk must start at; none accepts any position.
    std::optional<std::int64_t> nextFrame() const noexcept { return nextFrame_; }
    bool pausedRequested() const noexcept { return pausedRequested_; }

    /// The current audio-process activity. Keeps the eligible activities;
    /// `eligibleApp` becomes the least of their bundle identifiers in byte
    /// order. Moves ARMED→DEBOUNCING, DEBOUNCING→ARMED, RECORDING→IDLE_GRACE and
    /// IDLE_GRACE→RECORDING as eligibility appears or goes, then returns `tick()`.
    std::vector<CaptureAction> processes(std::span<const ProcessActivity> activities);

    /// A chunk of whole frames starting at frame `firstFrame`.
    /// Throws `CoreError::invalid("whole PCM frames")` for a negative position or
    /// a partial frame, and `CoreError::invalid("frame overflow")` when the
    /// chunk's end position overflows; nothing changes then. Throws
    /// `CoreError::invalidState()` when a part must begin but no application is
    /// being recorded, and `CoreError::invalid("part overflow")` when a rollover
    /// would exceed the largest part index; this implementation checks both
    /// before changing anything, so nothing changes then either.
    /// Audio is dropped in ARMED, FINALISING, PAUSED and ERROR_VISIBLE. A chunk
    /// that does not start where the previous one ended is dropped and ends the
    /// part as interrupted (`interrupt()`). While DEBOUNCING the chunk is
    /// pre-buffered and `tick()` is returned; while RECORDING or IDLE_GRACE it is
    /// appended, split only at part boundaries.
    std::vector<CaptureAction> samples(ByteView data, std::int64_t firstFrame);

    /// Evaluates the debounce and idle-grace thresholds; called periodically.
    /// Leaving DEBOUNCING always starts a new session: an identity left over
    /// from a part its owner abandoned (after `failed()`) never receives audio.
    std::vector<CaptureAction> tick();

    /// Ends an open part as interrupted (FINALISING); otherwise returns to
    /// ARMED, or PAUSED when the user paused. Drops pre-buffered audio and
    /// forgets the eligible application and the expected position.
    std::vector<CaptureAction> interrupt();
    /// The audio broke off while the call goes on (a break in a stream, a
    /// device change): an open part ends as interrupted (FINALISING) and, once
    /// `finalised()`, the call is back in RECORDING or IDLE_GRACE as it was,
    /// with its application and grace timer; the next audio opens the next
    /// part of the same session, so every piece of the call is a piece
    /// (`partIndex` above 0), kept however short. Without an open part, the
    /// same as `interrupt()`.
    std::vector<CaptureAction> cut();
    /// The call in progress (RECORDING or IDLE_GRACE, with or without an open
    /// part) and where its next part goes; none otherwise, or when no part
    /// index is left.
    std::optional<CallContinuation> continuation() const;
    /// Only in ARMED: takes up a call an earlier run recorded (its run ended
    /// with the sound server) as if it were in its grace, from now: an allowed
    /// application holding input within `idleGraceInterval` makes it RECORDING
    /// again without a debounce, and its next audio opens `call`'s part;
    /// otherwise the grace runs out to ARMED with nothing written. Returns
    /// whether the call was taken up.
    bool continueCall(const CallContinuation& call);
    /// The computer is going to sleep: the same as `interrupt()`.
    std::vector<CaptureAction> sleep() { return interrupt(); }
    /// The user pauses: [persistPaused(true)], plus finish(false) of an open part;
    /// PAUSED in every state.
    std::vector<CaptureAction> pause();
    /// Only in PAUSED: [persistPaused(false)] and ARMED; otherwise nothing.
    std::vector<CaptureAction> resume();
    /// The computer woke: [reregisterObservers]; eligibility must be seen again.
    std::vector<CaptureAction> wake();

    /// The owner applied a finish. Only in FINALISING: back to ARMED (or PAUSED).
    void finalised() noexcept;
    /// The owner failed to apply actions: ERROR_VISIBLE, ignoring audio.
    void failed() noexcept;
    /// Only in ERROR_VISIBLE: the user saw the error; back to ARMED (or PAUSED).
    void acknowledgeError() noexcept;

private:
    CaptureState restingState() const noexcept {
        return pausedRequested_ ? CaptureState::paused : CaptureState::armed;
    }
    bool partOpen() const noexcept {
        return segment_ && (state_ == CaptureState::recording || state_ == CaptureState::idleGrace);
    }
    std::vector<CaptureAction> record(ByteView data, std::int64_t firstFrame, std::int64_t frames);

    CaptureState state_;
    std::optional<CaptureSegment> segment_;
    std::int64_t partFrames_ = 0;
    CaptureAllowlist allowlist_;
    const CoreClock& clock_;
    IdentifierMaker makeID_;
    std::optional<std::string> eligibleApp_;
    std::optional<std::string> recordingApp_;
    double debounceAt_ = 0;
    double idleAt_ = 0;
    CapturePrebuffer prebuffer_{prebufferLimit};
    std::optional<std::int64_t> nextFrame_;
    bool pausedRequested_;
    /// After `cut()`: the state the call returns to when the interrupted part
    /// is finalised, and the session and index the call's next part takes.
    std::optional<CaptureState> afterCut_;
    std::optional<std::pair<std::string, std::int64_t>> nextPart_;
};

} // namespace zoq
