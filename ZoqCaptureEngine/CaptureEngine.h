#pragma once

#include "ZoqCaptureEngine/AlertPlayer.h"
#include "ZoqCaptureEngine/AudioBackend.h"
#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/EngineConfiguration.h"
#include "ZoqCaptureEngine/EngineEvent.h"
#include "ZoqCaptureEngine/EngineTermination.h"
#include "ZoqCaptureEngine/ProcessScanner.h"
#include "ZoqCaptureEngine/RawChunk.h"
#include "ZoqCaptureEngine/RecordingEngine.h"
#include "ZoqCaptureEngine/SampleWallClock.h"
#include "ZoqCaptureEngine/SerialQueue.h"
#include "ZoqCaptureEngine/StereoFrameMixer.h"
#include "ZoqCaptureEngine/TapError.h"
#include "ZoqCaptureEngine/TapSession.h"
#include "ZoqCore/Capture/CaptureAllowlist.h"
#include "ZoqCore/Capture/CaptureState.h"
#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zoq {

/// One armed recording run: it owns the recorder core, the sound server
/// connection with the tap session and the process scanner, both stream
/// clocks and the stereo mixer, and runs all of them on one serial queue
/// ("zoq.capture.engine").
///
/// The record streams are open only while some application holds the
/// microphone (or a call's part is still open): armed and idle, the run only
/// listens to the server's events and ticks once a second, so it costs
/// nothing and shows no microphone in use. A stream that ends because its
/// device went away is a change of devices: the run goes on, on the new
/// defaults, in a new part.
///
/// While the streams are open, every 250 ms (first at once) a tick drains the captured audio into the
/// mixer, rescans who uses the microphone, hands the recorder core the
/// activity and the mixed frames (behind the slower stream and at least half
/// a second old), and watches both streams' health. Device changes, the
/// scanner's activity, sleep and wake, pause and resume arrive as work on the
/// same queue. Everything notable becomes an `EngineEvent` for the sink; how
/// the run ended is a `Termination` that `wait()` returns. The engine never
/// retries anything by itself: every failure ends the run, with a text made
/// of a fixed prefix, ":" and the error's description.
///
/// One object is one run: it boots once and cannot be restarted after it
/// stopped. Public commands only queue their work. Destroying the engine
/// stops it (every captured frame still reaches the core) and waits for its
/// queue; do not destroy it from its own queue or from the sink.
class CaptureEngine final : public RecordingEngine {
public:
    using Termination = EngineTermination;

    /// The engine's own identity in the allowlist and in events.
    static constexpr const char* ownBundleId = "org.zoq.Zoq";
    static constexpr std::chrono::milliseconds tickInterval{250};
    /// The ticks while no record stream is open: only the clock's duties
    /// (--max-seconds, metrics) are left to them.
    static constexpr std::chrono::milliseconds idleTickInterval{1000};
    /// A stream that delivers nothing for this long ends the run.
    static constexpr double healthDeadlineSeconds = 19;
    /// The encoder's time limit for one part.
    static constexpr double encoderDeadlineSeconds = 120;
    /// How long a rebuild after a device change waits for the server to name
    /// the new default devices before the run ends.
    static constexpr double rebuildPatienceSeconds = 10;

    /// Whether a microphone gate lets capture start.
    struct MicrophoneGateDecision {
        std::string eventName;
        EngineEvent::Fields eventFields;
        /// Absent when capture may start.
        std::optional<Termination> termination;

        friend bool operator==(const MicrophoneGateDecision&, const MicrophoneGateDecision&) = default;
    };

    /// What the engine needs from the platform; each part replaceable, so the
    /// engine runs on a scripted sound server with ticks given by a test.
    struct Platform {
        /// Opens this run's connection to the sound server; called once, at
        /// boot, on the engine's queue. A throw ends the boot like a core that
        /// cannot be prepared.
        std::function<std::unique_ptr<AudioBackend>()> connect;
        /// The microphone authorisation status (0 not determined, 1
        /// restricted, 2 denied, 3 authorised, anything else unknown).
        std::function<std::int64_t(AudioBackend&)> microphoneStatus;
        /// Starts the hardware; by default the tap session's own start.
        std::function<void(TapSession&, ProcessScanner&)> startHardware;
        /// Repeats the tick. By default a timer on the engine's queue firing
        /// at once and then every `tickInterval`; a test may keep the tick
        /// and run it itself (`runOnQueue`). Dropping the handle stops it.
        std::function<std::shared_ptr<void>(SerialQueue&, std::function<void()> tick)> repeatTick;
        /// Repeats the tick while the streams are closed. By default a timer
        /// every `idleTickInterval`, or `repeatTick` when only that is given.
        std::function<std::shared_ptr<void>(SerialQueue&, std::function<void()> tick)> idleTick;
        /// Subscribes to the computer's sleep and wake: `willSleep` must be
        /// called before the computer sleeps and returns once the engine is
        /// ready for it; `didWake` after it woke. Dropping the handle ends the
        /// subscription. Absent: the run has no sleep handling.
        std::function<std::shared_ptr<void>(std::function<void()> willSleep, std::function<void()> didWake)>
            observeSleep;
        /// Makes a player for the chime's WAV bytes (throws when it cannot).
        /// Absent: the chime plays on the run's sound server connection.
        std::function<std::unique_ptr<AlertPlayer>(const Bytes& wav)> makeAlertPlayer;
        /// The attribution of the scanner's clients.
        AttributionResolver attribution;
    };

    /// The production platform: libpulse to the user's sound server, the
    /// real timer, sleep and wake from logind (a run without logind goes on
    /// without them, saying so once on standard error) and the chime played
    /// through the sound server.
    static Platform systemPlatform();

    /// Builds the engine; nothing starts. `sink` and `clock` are borrowed and
    /// must outlive the engine.
    CaptureEngine(EngineConfiguration config, EventSinking& sink, const CoreClock& clock, Platform platform);
    ~CaptureEngine() override;
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    void start() override;
    void stop() override;
    void pause() override;
    void resume() override;
    void togglePause() override;
    void afterCommands(std::function<void()> done) override;
    void requestAlert();
    Termination wait() override;

    /// Runs `work` on the engine's queue and waits for it (tests drive their
    /// ticks with it; a `sync` barrier for anyone).
    void runOnQueue(const std::function<void()>& work);

    /// The gate decision for a microphone authorisation status, and for the
    /// answer to a prompt when there was one.
    static MicrophoneGateDecision microphoneGate(std::int64_t status, std::optional<bool> promptAnswer);

private:
    enum class Stream : std::uint8_t { mic, system };
    struct SleepGate;

    // Steps on the engine queue.
    void boot();
    void prepareCore();
    void startHardware(const std::string& reason);
    /// Listens to the server and opens the streams when an application
    /// holds the microphone, else waits for one (standby).
    void arm(const std::string& reason);
    void listen();
    /// Closes the streams when nothing holds the microphone and no call is
    /// in progress.
    void standbyIfUnheld(bool inputRunning);
    void tick();
    /// False when the run ended meanwhile.
    bool pumpAudio();
    void ingest(std::vector<RawChunk> mic, std::vector<RawChunk> system);
    void handToMixer(Stream stream, std::optional<MixSegment> segment);
    void finishStreams();
    void resetStreams();
    void deliverFrames(bool final);
    void deliverBlocks(std::uint64_t upTo);
    bool rescan();
    void observeProcesses(const std::vector<ProcessActivity>& activities);
    /// recordedApp mode: follows the playback streams of the applications
    /// being recorded, and falls back to the whole mix when a part records
    /// for `appPlaybackPatienceSeconds` with none. False when the run ended.
    bool followRecordedPlayback(const std::vector<ProcessActivity>& activities);
    void reportCompleted();
    void announceFinalized(const std::filesystem::path& directory, std::optional<std::uint64_t> originNanos);
    void publishSealed(std::shared_ptr<Artifact> sealed);
    /// Announces the parts published since the last call; returns the first
    /// publishing failure among them.
    std::exception_ptr reportPublished();
    /// Waits until every sealed part is published, then `reportPublished`.
    std::exception_ptr finishPublishing();
    void hardwareChangeCheck();
    void hardwareChanged(const std::string& endedStreams = {});
    void retryRebuild();
    void startFailed(const TapError& error);
    void startedHardware(const std::string& reason);
    void rebuildHardware(const std::string& reason);
    void closeHardware();
    void doPause();
    void doResume();
    void willSleep(SerialQueue& queue);
    void didWake();
    void shutdown(Termination termination);
    void fail(const std::string& prefix, const std::exception_ptr& error);
    void playAlert();
    void alertFinished(std::uint64_t player, bool success);

    // Tick duties that only report.
    void announceState();
    /// Ends the open part at a break or a device change; the call goes on.
    void cutCall();
    bool healthCheck();
    void metrics();

    void emit(const std::string& name, EngineEvent::Fields fields = {});
    std::string stateName() const;
    bool corePaused() const;
    bool onQueue() const noexcept { return queue_->isCurrent(); }

    const EngineConfiguration config_;
    EventSinking& sink_;
    const CoreClock& clock_;
    Platform platform_;
    const std::int32_t ownPid_;
    SampleWallClock coreClock_;
    const CaptureAllowlist allowlist_;
    std::unique_ptr<FFmpegFLACEncoder> encoder_;

    // Everything below is touched only on the engine queue.
    std::unique_ptr<AudioBackend> backend_;
    std::unique_ptr<ProcessScanner> scanner_;
    std::unique_ptr<TapSession> session_;
    StereoFrameMixer mixer_{true};
    std::unique_ptr<RecorderCore> core_;
    std::shared_ptr<void> timer_;
    std::shared_ptr<void> sleepObservation_;
    // Lets the sleep observer's thread reach the queue only while the engine
    // lives; shared with that thread's handlers.
    std::shared_ptr<SleepGate> sleepGate_;
    bool stopRequested_ = false;
    bool booted_ = false;
    bool sleeping_ = false;
    double startMonotonic_ = 0;
    std::int64_t micChunksTotal_ = 0;
    std::int64_t systemChunksTotal_ = 0;
    std::optional<double> lastMicChunkAt_;
    std::optional<double> lastSystemChunkAt_;
    std::optional<double> hardwareStartedAt_;
    std::optional<double> systemExpectedAt_;
    double lastMetricsAt_ = 0;
    bool metricsStarted_ = false;
    double cpuStart_ = 0;
    std::set<std::int32_t> eligibleSeen_;
    std::set<std::string> ignoredAnnounced_;
    std::unique_ptr<ClockedStream> micStream_;
    std::unique_ptr<ClockedStream> systemStream_;
    double micRate_ = 0;
    double systemRate_ = 0;
    std::optional<double> idleSince_;
    std::optional<std::uint64_t> announcedOrigin_;
    std::unique_ptr<AlertPlayer> alertPlayer_;
    std::uint64_t alertGeneration_ = 0;
    std::optional<CaptureState> lastAnnouncedState_;
    std::vector<std::uint64_t> hardwareSignature_;
    std::uint64_t hardwareGeneration_ = 0;
    // Set while a rebuild waits for the new devices.
    std::optional<double> rebuildUntil_;
    std::string rebuildReason_;
    bool rebuildWaitAnnounced_ = false;
    // The applications recorded since the streams opened, their playback
    // streams followed now, and when a recording part last had one.
    std::set<std::string> recordedApps_;
    std::set<std::uint32_t> followedPlayback_;
    // The playback wanted at the last reading of the server, and what it was
    // read under: read again only when either changed.
    std::map<std::uint32_t, std::string> wantedPlayback_;
    std::map<std::uint32_t, std::string> wantedOwners_;
    std::optional<std::pair<std::uint64_t, std::set<std::string>>> wantedReadUnder_;
    std::optional<double> appPlaybackSeenAt_;
    std::set<std::filesystem::path> completedAnnounced_;

    // Read by `wait()` on other threads.
    std::mutex finishLock_;
    std::condition_variable finished_;
    bool done_ = false;       // guarded by finishLock_
    Termination termination_; // guarded by finishLock_

    // Parts sealed on the engine queue are encoded, verified and published
    // here, one at a time; the outcomes go back to the engine queue.
    struct Published {
        std::filesystem::path directory;
        std::optional<std::uint64_t> originNanos;
        std::exception_ptr error;
    };
    std::mutex publishedLock_;
    std::vector<Published> published_; // guarded by publishedLock_
    // Idle once the run has stopped (shutdown waits for it).
    std::unique_ptr<SerialQueue> publisher_;

    // Declared last so that it is created last; destroyed first, explicitly,
    // in the destructor, once the run has stopped.
    std::unique_ptr<SerialQueue> queue_;
};

} // namespace zoq
