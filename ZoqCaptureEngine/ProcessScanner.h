#pragma once

#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/AudioBackend.h"
#include "ZoqCore/Capture/ProcessActivity.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// Which processes take part in audio, as one scan saw them.
struct ProcessObservation {
    /// Every client with a stream, one per process (empty while the microphone
    /// is not in use anywhere).
    std::vector<ProcessActivity> activities;
    /// The subset of `activities` that takes input.
    std::vector<ProcessActivity> inputUsers;
    /// Some other client plays audio.
    bool externalOutputRunning = false;
    /// `hardwareSignature()` as of the same reading, when both default
    /// devices exist.
    std::optional<std::vector<std::uint64_t>> hardwareSignature;

    friend bool operator==(const ProcessObservation&, const ProcessObservation&) = default;
};

/// Whether a listener callback may still act. Removal switches it off under
/// its lock first, so a callback either completes before removal or does
/// nothing.
class ListenerLease {
public:
    /// Runs `action` with the lock held, only while the lease is active.
    template <class Action>
    void ifActive(Action&& action) {
        std::lock_guard guard(lock_);
        if (active_) {
            action();
        }
    }
    void deactivate() {
        std::lock_guard guard(lock_);
        active_ = false;
    }
    bool isActive() {
        std::lock_guard guard(lock_);
        return active_;
    }

private:
    std::mutex lock_;
    bool active_ = true; // guarded by lock_
};

/// Watches the sound server's clients and streams for the capture engine.
///
/// The audio process objects are the clients that own streams. A client is
/// running input when it has an uncorked record stream linked to a source that
/// is not a monitor, and the stream is not a level meter; a stream the server
/// made for itself (no client, such as a remapped source's) is nobody's input.
/// A client runs output when it has an uncorked playback stream. This
/// connection's own client never appears: it is known by its index, not by a
/// pid anyone may claim. PipeWire shows a new record stream corked and unlinked
/// for a few milliseconds; it counts once it runs.
///
/// Changes come through the backend's one event subscription: the server's
/// defaults, sources and sinks (formats, channel maps) go to the device-change
/// callback, a lost connection too (so the engine's signature check fails
/// with a clear text); record stream changes go to the activity callback.
///
/// `scan`, `installListeners`, `removeListeners` and `hardwareSignature` are
/// called on the engine's queue; the callbacks run on the backend's event
/// thread and must only hand work to the engine (never call the scanner).
/// Borrows `backend`, which must outlive it.
class ProcessScanner {
public:
    using Callback = std::function<void()>;

    ProcessScanner(AudioBackend& backend, AttributionResolver attribution);
    ~ProcessScanner();
    ProcessScanner(const ProcessScanner&) = delete;
    ProcessScanner& operator=(const ProcessScanner&) = delete;

    /// The default source is in use: some client's record stream counting as
    /// input (as above) runs on it. A failure of the server reads as false.
    bool isDefaultInputRunningSomewhere();

    /// Fails soft: when the server cannot be read the observation is empty.
    /// Processes are listed only when `inputRunning`; a client whose pid is
    /// unknown is skipped. Two clients share an activity only when the
    /// attribution pinned both to the same process and named the same
    /// application; any other client is an activity of its own.
    ProcessObservation scan(bool inputRunning);

    /// Removes the previous listeners, then subscribes. Throws `ScannerError`
    /// when old listeners could not be removed or the server is unreachable.
    void installListeners(Callback onDeviceChange, Callback onActivity);
    /// Never throws; failures are kept in `removalErrors()`. Returns once no
    /// callback that started before is still running.
    void removeListeners();
    std::size_t listenerCount() const noexcept { return lease_ ? 1 : 0; }
    /// Raised whenever the server announces a change of a playback stream or
    /// a client (while listeners are installed): playback read before is
    /// still current while it stays the same. Any thread.
    std::uint64_t playbackChanges() const noexcept { return playbackChanges_->load(); }
    const std::vector<std::string>& removalErrors() const noexcept { return removalErrors_; }

    /// The default source and sink with their sample formats and channel maps;
    /// equal signatures mean the engine's devices did not change. Throws
    /// `ScannerError`.
    std::vector<std::uint64_t> hardwareSignature();
    /// The signature of a graph already read.
    static std::vector<std::uint64_t> signatureOf(const AudioGraph& graph);

    const AttributionResolver& attribution() const noexcept { return attribution_; }

    /// The identity of a stream's client: what the stream's property list
    /// claims, completed by its client's, with the pid the server verified.
    /// `ownClient` is this connection's client.
    static AudioClientIdentity identityOf(const AudioStreamInfo& stream, const AudioGraph& graph,
                                          std::uint32_t ownClient);
    /// The client's pid as the server took it from the socket's credentials:
    /// only PipeWire vouches for one, and not for the clients pipewire-pulse
    /// relays (they all show the relay's pid, as this connection does).
    static std::optional<std::int32_t> verifiedPidOf(const AudioClientInfo& client, const AudioGraph& graph,
                                                     std::uint32_t ownClient);
    /// Whether a record stream counts as a client's input (see above).
    static bool countsAsInput(const AudioStreamInfo& stream, const AudioGraph& graph,
                              std::uint32_t ownClient);

private:
    AudioBackend& backend_;
    AttributionResolver attribution_;
    std::shared_ptr<ListenerLease> lease_;
    // Shared with the event handler, which may outlive a removal by a call.
    std::shared_ptr<std::atomic<std::uint64_t>> playbackChanges_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    std::vector<std::string> removalErrors_;
};

} // namespace zoq
