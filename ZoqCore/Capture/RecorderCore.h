#pragma once

#include "ZoqCore/Capture/CaptureAction.h"
#include "ZoqCore/Capture/CaptureAllowlist.h"
#include "ZoqCore/Capture/CaptureMachine.h"
#include "ZoqCore/Capture/CaptureSegment.h"
#include "ZoqCore/Capture/ProcessActivity.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DirectoryLock.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FLACEncoder.h"
#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/CoreClock.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zoq {

/// Applies the capture decisions of one armed recording session to the spool.
///
/// Owns the `CaptureMachine` and at most one `Artifact` (the part being
/// written), and holds the lock on the spool root for its whole life, so two
/// recorders never write one spool. Every input goes to the machine first; the
/// returned `CaptureAction`s are applied to disk at once, in order, and the
/// first that fails stops the list. Any failure moves the machine to
/// ERROR_VISIBLE (it then ignores audio) and is rethrown: the owner ends its run
/// and drops the core, and a later core's recovery takes up whatever part was
/// left open. The core never acknowledges the error itself.
///
/// The user's pause choice survives launches in `preferencesFileName` in the
/// root, one of exactly two canonical texts.
///
/// Not thread-safe: the capture engine serialises every call on its queue.
/// Finishing a part encodes and verifies the FLAC synchronously, unless a
/// publisher takes that slow half elsewhere (`publishWith`). The clock and
/// the encoder are borrowed and must outlive the core. Every error is a
/// `CoreError`, except a preferences file that is not JSON at all
/// (`JSONSyntaxError`).
class RecorderCore {
public:
    static constexpr const char* preferencesFileName = "capture-preferences.json";
    /// The preferences file is read no further than this.
    static constexpr std::int64_t preferencesReadLimit = 1024;

    /// Takes the root's lock (`CoreError::locked()` when another core or process
    /// holds the spool), then reads the pause choice: no file means not paused;
    /// otherwise the file must hold an object whose only member is "paused"
    /// (else invalid("closed object")) and that member a boolean (else
    /// invalid("boolean")). The machine starts PAUSED or ARMED accordingly.
    RecorderCore(std::filesystem::path root, const CoreClock& clock, CaptureAllowlist allowlist,
                 std::string deviceId, const FLACEncoder& encoder, std::shared_ptr<DurableIO> io);

    RecorderCore(const RecorderCore&) = delete;
    RecorderCore& operator=(const RecorderCore&) = delete;

    /// Receives each finished part once it is sealed (FINALISING_FLAC, its
    /// lock held by the artifact) and must see to its `publish`; the part is
    /// then not listed in `completed()`. Short parts are discarded here as
    /// before. Called on the caller's thread, inside the call that finished
    /// the part; it must not throw.
    using Publisher = std::function<void(std::shared_ptr<Artifact> sealed)>;
    /// Lets the owner encode and verify finished parts on a thread of its
    /// own, so that recording the next part never waits for `ffmpeg`.
    void publishWith(Publisher publisher) { publisher_ = std::move(publisher); }

    const CaptureMachine& machine() const noexcept { return machine_; }
    /// The part being written, if any (kept, possibly poisoned, after a failure).
    const Artifact* active() const noexcept { return active_.get(); }
    /// Directories of the parts this core finished, in finishing order.
    const std::vector<std::filesystem::path>& completed() const noexcept { return completed_; }
    const std::filesystem::path& root() const noexcept { return root_; }

    /// The directory of a part: its session identifier, "-" and the decimal
    /// part index, so the parts of one session sort together.
    static std::filesystem::path partDirectory(const std::filesystem::path& root,
                                               const CaptureSegment& segment);

    void processes(std::span<const ProcessActivity> activities);
    void samples(ByteView data, std::int64_t firstFrame);
    /// The machine's thresholds, then the active part's periodic flush.
    void tick();
    /// Persists the choice and finishes an open part.
    void pause();
    void resume();
    /// The computer is going to sleep: an open part ends as interrupted.
    void sleep();
    /// The same as `sleep()`.
    void interrupt();
    /// The audio broke off but the call goes on: an open part ends as
    /// interrupted and the call's next audio opens the next part of its
    /// session (`CaptureMachine::cut`).
    void cut();
    /// Takes up a call an earlier run recorded (`CaptureMachine::continueCall`).
    bool continueCall(const CallContinuation& call) { return machine_.continueCall(call); }
    /// The machine's answer, not applied: the caller re-registers its
    /// audio-process observers when it sees `reregisterObservers`. Writes nothing.
    std::vector<CaptureAction> wake();

private:
    template <typename Call>
    void drive(Call&& call);
    void apply(std::vector<CaptureAction>& actions);
    void persistPaused(bool paused);

    std::filesystem::path root_;
    DirectoryLock rootLock_;
    const CoreClock& clock_;
    std::shared_ptr<DurableIO> io_;
    const FLACEncoder& encoder_;
    std::string deviceId_;
    CaptureMachine machine_;
    std::unique_ptr<Artifact> active_;
    std::vector<std::filesystem::path> completed_;
    Publisher publisher_;
};

} // namespace zoq
