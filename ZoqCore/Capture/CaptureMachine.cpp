#include "ZoqCore/Capture/CaptureMachine.h"

#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace zoq {
namespace {

constexpr std::int64_t frameBytes = pcm::bytesPerFrame;
constexpr std::int64_t largestInt = std::numeric_limits<std::int64_t>::max();

static_assert(CaptureMachine::prebufferLimit % frameBytes == 0);
static_assert(CaptureMachine::partBoundaryOffset * CaptureMachine::sampleRate ==
              static_cast<double>(CaptureMachine::rolloverFrames));

Bytes copyFrames(ByteView data, std::int64_t offset, std::int64_t count) {
    const auto first = data.begin() + offset * frameBytes;
    return Bytes(first, first + count * frameBytes);
}

} // namespace

CaptureMachine::CaptureMachine(const CoreClock& clock, CaptureAllowlist allowlist, bool paused,
                               IdentifierMaker makeID)
    : state_(paused ? CaptureState::paused : CaptureState::armed), allowlist_(std::move(allowlist)),
      clock_(clock), makeID_(std::move(makeID)), pausedRequested_(paused) {}

std::vector<CaptureAction> CaptureMachine::processes(std::span<const ProcessActivity> activities) {
    const ProcessActivity* first = nullptr;
    for (const ProcessActivity& activity : activities) {
        if (allowlist_.eligible(activity) && (first == nullptr || activity.bundleId < first->bundleId)) {
            first = &activity;
        }
    }
    eligibleApp_ = first ? std::optional<std::string>(first->bundleId) : std::nullopt;

    switch (state_) {
    case CaptureState::armed:
        if (eligibleApp_) {
            state_ = CaptureState::debouncing;
            debounceAt_ = clock_.now();
            prebuffer_.clear();
            nextFrame_.reset();
        }
        break;
    case CaptureState::debouncing:
        // A change of eligible application does not restart the debounce: the
        // microphone has been held by some allowed application all along.
        if (!eligibleApp_) {
            state_ = CaptureState::armed;
            prebuffer_.clear();
            nextFrame_.reset();
        }
        break;
    case CaptureState::recording:
        if (!eligibleApp_) {
            state_ = CaptureState::idleGrace;
            idleAt_ = clock_.now();
        }
        break;
    case CaptureState::idleGrace:
        // The part and its recorded application are kept even when another
        // allowed application took over: it is still the same call to the user.
        if (eligibleApp_) {
            state_ = CaptureState::recording;
        }
        break;
    case CaptureState::finalising:
    case CaptureState::paused:
    case CaptureState::errorVisible:
        break;
    }
    return tick();
}

std::vector<CaptureAction> CaptureMachine::samples(ByteView data, std::int64_t firstFrame) {
    if (firstFrame < 0 || data.size() % frameBytes != 0) {
        throw CoreError::invalid("whole PCM frames");
    }
    if (data.empty()) {
        return {};
    }
    const auto frames = static_cast<std::int64_t>(data.size() / frameBytes);
    if (firstFrame > largestInt - frames) {
        throw CoreError::invalid("frame overflow");
    }
    switch (state_) {
    case CaptureState::debouncing:
    case CaptureState::recording:
    case CaptureState::idleGrace:
        break;
    case CaptureState::armed:
    case CaptureState::finalising:
    case CaptureState::paused:
    case CaptureState::errorVisible:
        return {};
    }
    if (nextFrame_ && *nextFrame_ != firstFrame) {
        // A gap or an overlap: the part cannot go on as one contiguous recording.
        return interrupt();
    }
    if (state_ == CaptureState::debouncing) {
        prebuffer_.push(data, firstFrame);
        nextFrame_ = firstFrame + frames;
        return tick();
    }
    // Audio heard during the grace interval belongs to the part; this path
    // deliberately does not evaluate the thresholds.
    return record(data, firstFrame, frames);
}

std::vector<CaptureAction> CaptureMachine::record(ByteView data, std::int64_t firstFrame,
                                                  std::int64_t frames) {
    // Everything that can fail is decided before any field changes, so a throw
    // leaves the machine exactly as it was.
    std::optional<CaptureSegment> opened;
    if (!segment_) {
        if (!recordingApp_) {
            throw CoreError::invalidState();
        }
        // After a cut the call goes on in the next part of its session.
        opened = CaptureSegment{nextPart_ ? nextPart_->first : makeID_(), nextPart_ ? nextPart_->second : 0,
                                *recordingApp_, clock_.wallDate() - static_cast<double>(frames) / sampleRate,
                                firstFrame};
    }
    const std::int64_t rollovers = (partFrames_ + frames) / rolloverFrames;
    if (rollovers > largestInt - (opened ? opened->partIndex : segment_->partIndex)) {
        throw CoreError::invalid("part overflow");
    }

    std::vector<CaptureAction> actions;
    if (rollovers == 0) {
        // The common case: one chunk, one append, no segment copies.
        actions.reserve(opened ? 2 : 1);
        if (opened) {
            actions.push_back(CaptureAction::begin(*opened));
        }
        actions.push_back(CaptureAction::append(Bytes(data.begin(), data.end())));
        if (opened) {
            segment_ = std::move(opened);
            nextPart_.reset();
        }
        partFrames_ += frames;
        nextFrame_ = firstFrame + frames;
        return actions;
    }

    CaptureSegment segment = opened ? std::move(*opened) : *segment_;
    std::int64_t partFrames = partFrames_;
    actions.reserve(static_cast<std::size_t>(2 + 3 * rollovers));
    if (opened) {
        actions.push_back(CaptureAction::begin(segment));
    }
    for (std::int64_t offset = 0; offset < frames;) {
        const std::int64_t take = std::min(rolloverFrames - partFrames, frames - offset);
        actions.push_back(CaptureAction::append(copyFrames(data, offset, take)));
        partFrames += take;
        offset += take;
        if (partFrames == rolloverFrames) {
            // The successor is dated by the audio, not the wall clock, so the
            // parts of one session tile time exactly.
            const Date boundary = segment.startedAt + partBoundaryOffset;
            actions.push_back(CaptureAction::finish(false, boundary));
            segment.partIndex += 1;
            segment.startedAt = boundary;
            segment.firstFrame = firstFrame + offset;
            actions.push_back(CaptureAction::begin(segment));
            partFrames = 0;
        }
    }
    segment_ = std::move(segment);
    nextPart_.reset();
    partFrames_ = partFrames;
    nextFrame_ = firstFrame + frames;
    return actions;
}

std::vector<CaptureAction> CaptureMachine::tick() {
    if (state_ == CaptureState::debouncing && eligibleApp_ &&
        clock_.now() - debounceAt_ >= debounceInterval) {
        std::optional<std::string> sessionId;
        Bytes held;
        if (!prebuffer_.empty()) {
            sessionId = makeID_();
            held = prebuffer_.contents();
        }
        state_ = CaptureState::recording;
        recordingApp_ = eligibleApp_;
        partFrames_ = static_cast<std::int64_t>(held.size()) / frameBytes;
        // A segment left over from a part that ended without `finalised()`
        // (an interrupt out of ERROR_VISIBLE or FINALISING) must not receive
        // this session's audio.
        segment_.reset();
        nextPart_.reset();
        if (!sessionId) {
            return {};
        }
        segment_ = CaptureSegment{std::move(*sessionId), 0, *eligibleApp_,
                                  clock_.wallDate() - static_cast<double>(partFrames_) / sampleRate,
                                  prebuffer_.firstFrame()};
        prebuffer_.clear();
        std::vector<CaptureAction> actions;
        actions.reserve(2);
        actions.push_back(CaptureAction::begin(*segment_));
        actions.push_back(CaptureAction::append(std::move(held)));
        return actions;
    }
    if (state_ == CaptureState::idleGrace && clock_.now() - idleAt_ >= idleGraceInterval) {
        state_ = CaptureState::finalising;
        if (!segment_) {
            finalised();
            return {};
        }
        std::vector<CaptureAction> actions;
        actions.push_back(CaptureAction::finish(false, clock_.wallDate()));
        return actions;
    }
    return {};
}

std::vector<CaptureAction> CaptureMachine::cut() {
    if (!partOpen() || !recordingApp_ || segment_->partIndex == largestInt) {
        return interrupt();
    }
    const CaptureState callState = state_;
    std::pair<std::string, std::int64_t> next{segment_->captureSessionId, segment_->partIndex + 1};
    std::vector<CaptureAction> actions = interrupt();
    afterCut_ = callState;
    nextPart_ = std::move(next);
    return actions;
}

std::optional<CallContinuation> CaptureMachine::continuation() const {
    if ((state_ != CaptureState::recording && state_ != CaptureState::idleGrace) || !recordingApp_) {
        return std::nullopt;
    }
    if (segment_) {
        if (segment_->partIndex == largestInt) {
            return std::nullopt;
        }
        return CallContinuation{segment_->captureSessionId, segment_->partIndex + 1, *recordingApp_};
    }
    if (nextPart_) {
        return CallContinuation{nextPart_->first, nextPart_->second, *recordingApp_};
    }
    return std::nullopt;
}

bool CaptureMachine::continueCall(const CallContinuation& call) {
    if (state_ != CaptureState::armed || call.captureSessionId.empty() || call.app.empty() ||
        call.partIndex < 0) {
        return false;
    }
    state_ = CaptureState::idleGrace;
    idleAt_ = clock_.now();
    recordingApp_ = call.app;
    segment_.reset();
    partFrames_ = 0;
    prebuffer_.clear();
    nextFrame_.reset();
    nextPart_ = {call.captureSessionId, call.partIndex};
    return true;
}

std::vector<CaptureAction> CaptureMachine::interrupt() {
    afterCut_.reset();
    nextPart_.reset();
    const bool active = partOpen();
    prebuffer_.clear();
    nextFrame_.reset();
    eligibleApp_.reset();
    std::vector<CaptureAction> actions;
    if (active) {
        state_ = CaptureState::finalising;
        actions.push_back(CaptureAction::finish(true, clock_.wallDate()));
    } else {
        state_ = restingState();
    }
    return actions;
}

std::vector<CaptureAction> CaptureMachine::pause() {
    pausedRequested_ = true;
    afterCut_.reset();
    nextPart_.reset();
    std::vector<CaptureAction> actions;
    actions.reserve(2);
    actions.push_back(CaptureAction::persistPaused(true));
    if (partOpen()) {
        actions.push_back(CaptureAction::finish(false, clock_.wallDate()));
    }
    prebuffer_.clear();
    nextFrame_.reset();
    state_ = CaptureState::paused;
    return actions;
}

std::vector<CaptureAction> CaptureMachine::resume() {
    if (state_ != CaptureState::paused) {
        return {};
    }
    pausedRequested_ = false;
    state_ = CaptureState::armed;
    segment_.reset();
    eligibleApp_.reset();
    std::vector<CaptureAction> actions;
    actions.push_back(CaptureAction::persistPaused(false));
    return actions;
}

std::vector<CaptureAction> CaptureMachine::wake() {
    eligibleApp_.reset();
    std::vector<CaptureAction> actions;
    actions.push_back(CaptureAction::reregisterObservers());
    return actions;
}

void CaptureMachine::finalised() noexcept {
    if (state_ != CaptureState::finalising) {
        return;
    }
    segment_.reset();
    partFrames_ = 0;
    nextFrame_.reset();
    if (afterCut_) {
        // The call itself did not end: it waits for its next audio.
        state_ = *afterCut_;
        afterCut_.reset();
        return;
    }
    state_ = restingState();
    nextPart_.reset();
}

void CaptureMachine::failed() noexcept {
    state_ = CaptureState::errorVisible;
    afterCut_.reset();
    nextPart_.reset();
    prebuffer_.clear();
    nextFrame_.reset();
}

void CaptureMachine::acknowledgeError() noexcept {
    if (state_ != CaptureState::errorVisible) {
        return;
    }
    segment_.reset();
    eligibleApp_.reset();
    state_ = restingState();
}

} // namespace zoq
