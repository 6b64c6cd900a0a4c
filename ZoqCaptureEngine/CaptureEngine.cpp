#include "ZoqCaptureEngine/CaptureEngine.h"

#include "ZoqCaptureEngine/AlertChime.h"
#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCaptureEngine/LogindSleepMonitor.h"
#include "ZoqCaptureEngine/MicrophonePermission.h"
#include "ZoqCaptureEngine/MixError.h"
#include "ZoqCaptureEngine/ScannerError.h"
#include "ZoqCaptureEngine/StreamClockError.h"
#include "ZoqCaptureEngine/TapError.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/RecoveryResult.h"
#include "ZoqCore/Spool/SpoolRoot.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

namespace zoq {
namespace {

constexpr std::uint64_t largestNanos = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t framesPerPull = 16'000;
constexpr std::uint64_t pullSpanNanos = 20'000'000'000;
constexpr std::uint64_t deliveryDelayNanos = 500'000'000;
constexpr double idleRestartSeconds = 15;
constexpr double systemCloseSeconds = 0.25;
/// How long a part records with no playback stream of the recorded
/// application before the right channel falls back to the whole mix.
constexpr double appPlaybackPatienceSeconds = 5;

const char* sourceName(SystemAudioSource source) {
    return source == SystemAudioSource::recordedApp ? "recordedApp" : "all";
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "unknown error";
    }
}

void rethrowIfSet(const std::exception_ptr& error) {
    if (error) {
        std::rethrow_exception(error);
    }
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

/// A time or sample counter as a decimal number: whole values without a
/// fraction, others to the nanosecond.
std::string decimal(double value) {
    return value == std::floor(value) && std::abs(value) < 1e15 ? formatted("%.0f", value)
                                                                : formatted("%.9f", value);
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

/// The failures the tap session reported, as the error that ends the run: an
/// overflowing queue is the mixer's backlog; anything else (a stream the
/// server ended) keeps its own text, so the reason stays visible.
[[noreturn]] void throwFailures(const std::vector<std::string>& failures) {
    if (std::find(failures.begin(), failures.end(), TapSession::backlogExceeded) != failures.end()) {
        throw MixError::backlogExceeded();
    }
    std::string text;
    for (const std::string& failure : failures) {
        text += (text.empty() ? "" : ", ") + failure;
    }
    throw std::runtime_error(text);
}

/// The chime on the run's own sound server connection.
class BackendAlertPlayer final : public AlertPlayer {
public:
    BackendAlertPlayer(AudioBackend& backend, double frequency, double duration)
        : backend_(backend), samples_(AlertChime::samples(frequency, duration)) {}

    bool play(std::function<void(bool)> finished) override {
        try {
            playback_ = backend_.playSound(samples_, AlertChime::sampleRate, std::move(finished));
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    void stop() noexcept override { playback_.reset(); }

private:
    AudioBackend& backend_;
    std::vector<std::int16_t> samples_;
    std::unique_ptr<SoundPlayback> playback_;
};

} // namespace

/// The sleep observer's handlers run on its own thread and may outlive a
/// subscription that was ended while one of them ran: they reach the engine's
/// queue only through this gate, which the engine closes (waiting for any
/// handler inside) before its queue goes away.
struct CaptureEngine::SleepGate {
    std::mutex lock;
    std::condition_variable idle;
    SerialQueue* queue = nullptr; // guarded by lock
    int inside = 0;               // guarded by lock

    /// Runs `use` with the queue, unless the gate is closed.
    void through(const std::function<void(SerialQueue&)>& use) {
        SerialQueue* open = nullptr;
        {
            const std::lock_guard guard(lock);
            open = queue;
            if (open == nullptr) {
                return;
            }
            ++inside;
        }
        try {
            use(*open);
        } catch (...) {
            // The engine is going away; nothing is recording any more.
        }
        const std::lock_guard guard(lock);
        --inside;
        idle.notify_all();
    }

    void close() {
        std::unique_lock guard(lock);
        queue = nullptr;
        idle.wait(guard, [&] { return inside == 0; });
    }
};

CaptureEngine::Platform CaptureEngine::systemPlatform() {
    Platform platform;
    platform.connect = [] { return std::make_unique<LibpulseBackend>(); };
    platform.microphoneStatus = [](AudioBackend& backend) {
        return SoundServerMicrophoneAccess(backend).status();
    };
    platform.observeSleep = [](std::function<void()> willSleep, std::function<void()> didWake) {
        auto monitor = std::make_shared<LogindSleepMonitor>();
        monitor->start({std::move(willSleep), std::move(didWake), [](const std::string& reason) {
                            // Said once per process, however often the engine
                            // restarts: without a system bus (a container, a
                            // bare session) this is normal, not a fault, and
                            // recording goes on without sleep handling.
                            static std::atomic<bool> said{false};
                            if (!said.exchange(true)) {
                                std::fprintf(stderr,
                                             "zoq: note: sleep and wake are not observed (%s); "
                                             "this is normal without a system bus, as in a container, "
                                             "and recording works as usual\n",
                                             reason.c_str());
                            }
                        }});
        return std::shared_ptr<void>(std::move(monitor));
    };
    return platform;
}

CaptureEngine::CaptureEngine(EngineConfiguration config, EventSinking& sink, const CoreClock& clock,
                             Platform platform)
    : config_(std::move(config)), sink_(sink), clock_(clock), platform_(std::move(platform)),
      ownPid_(static_cast<std::int32_t>(::getpid())),
      coreClock_(clock), allowlist_{CaptureAllowlist::BundleIds(config_.allowed.begin(),
                                                                config_.allowed.end()),
                                    ownPid_, ownBundleId},
      cpuStart_(cpuSeconds()), publisher_(std::make_unique<SerialQueue>("zoq.capture.publish")),
      queue_(std::make_unique<SerialQueue>("zoq.capture.engine")) {
    if (!platform_.startHardware) {
        platform_.startHardware = [](TapSession& session, ProcessScanner&) { session.start(); };
    }
    if (!platform_.idleTick) {
        // A test that drives the ticks itself drives both kinds.
        platform_.idleTick = platform_.repeatTick ? platform_.repeatTick
                                                  : [](SerialQueue& queue,
                                                       std::function<void()> tick) -> std::shared_ptr<void> {
            return queue.repeating(idleTickInterval, std::move(tick));
        };
    }
    if (!platform_.repeatTick) {
        platform_.repeatTick = [](SerialQueue& queue, std::function<void()> tick) -> std::shared_ptr<void> {
            return queue.repeating(tickInterval, std::move(tick));
        };
    }
}

CaptureEngine::~CaptureEngine() {
    runOnQueue([this] { shutdown(Termination::stopped()); });
    // Off the queue, which is idle now: a sleep handler still inside the gate
    // gets its turn on it before the gate closes.
    if (sleepGate_) {
        sleepGate_->close();
    }
    sleepObservation_.reset();
    queue_.reset();
}

void CaptureEngine::start() {
    queue_->async([this] { boot(); });
}

void CaptureEngine::stop() {
    queue_->async([this] { shutdown(Termination::stopped()); });
}

void CaptureEngine::pause() {
    queue_->async([this] { doPause(); });
}

void CaptureEngine::resume() {
    queue_->async([this] { doResume(); });
}

void CaptureEngine::togglePause() {
    queue_->async([this] {
        if (corePaused()) {
            doResume();
        } else {
            doPause();
        }
    });
}

void CaptureEngine::afterCommands(std::function<void()> done) {
    queue_->async([done = std::move(done)] {
        try {
            done();
        } catch (...) {
            // The owner's continuation must not end the queue.
        }
    });
}

void CaptureEngine::requestAlert() {
    queue_->async([this] { playAlert(); });
}

CaptureEngine::Termination CaptureEngine::wait() {
    std::unique_lock guard(finishLock_);
    finished_.wait(guard, [this] { return done_; });
    return termination_;
}

void CaptureEngine::runOnQueue(const std::function<void()>& work) {
    queue_->sync(work);
}

CaptureEngine::MicrophoneGateDecision CaptureEngine::microphoneGate(std::int64_t status,
                                                                    std::optional<bool> promptAnswer) {
    const auto refused = [](const char* event, const char* detail, const char* terminationDetail) {
        return MicrophoneGateDecision{event,
                                      {{"service", "microphone"}, {"detail", detail}},
                                      Termination::permissionNotGranted("microphone", terminationDetail)};
    };
    const MicrophoneGateDecision granted{"permission_granted", {{"service", "microphone"}}, std::nullopt};
    if (promptAnswer) {
        return *promptAnswer ? granted
                             : refused("permission_not_granted", "avcapture_denied", "avcapture_denied");
    }
    switch (status) {
    case 0:
        return refused("permission_required", "human_grant_required", "not_determined");
    case 1:
        return refused("permission_not_granted", "tcc_restricted", "tcc_restricted");
    case 2:
        return refused("permission_not_granted", "tcc_denied", "tcc_denied");
    case 3:
        return granted;
    default:
        return refused("permission_not_granted", "unknown_status", "unknown_status");
    }
}

// MARK: Boot

void CaptureEngine::boot() {
    if (booted_ || stopRequested_) {
        return;
    }
    booted_ = true;
    startMonotonic_ = clock_.now();
    try {
        prepareCore();
    } catch (...) {
        const std::string text = "core_init_failed:" + describe(std::current_exception());
        emit("error_visible", {{"detail", text}});
        shutdown(Termination::failure(text));
        return;
    }
    if (config_.continuation) {
        // The call the sound server cut off when the last run ended goes on
        // here, as its grace: its next part is told once it holds audio.
        core_->continueCall(*config_.continuation);
    }
    std::string allowed;
    for (const std::string& id : config_.allowed) {
        allowed += (allowed.empty() ? "" : ",") + id;
    }
    emit("engine_started", {{"spool", config_.spool.string()},
                            {"allowed_count", std::to_string(config_.allowed.size())},
                            {"allowed", allowed},
                            {"state", stateName()}});
    if (corePaused()) {
        // The person's pause outlives the run that took it (the core read it
        // from the spool): the owner learns it now, since no tick announces a
        // state while paused.
        lastAnnouncedState_ = CaptureState::paused;
        emit("paused", {{"state", stateName()}});
    }
    if (platform_.observeSleep && !sleepObservation_) {
        sleepGate_ = std::make_shared<SleepGate>();
        sleepGate_->queue = queue_.get();
        sleepObservation_ = platform_.observeSleep(
            [gate = sleepGate_, this] { gate->through([this](SerialQueue& queue) { willSleep(queue); }); },
            [gate = sleepGate_, this] {
                gate->through([this](SerialQueue& queue) { queue.async([this] { didWake(); }); });
            });
    }
    if (stopRequested_) {
        return;
    }
    // The sound server is this run's hardware: without it nothing can start.
    try {
        backend_ = platform_.connect();
        scanner_ = std::make_unique<ProcessScanner>(*backend_, platform_.attribution);
        session_ = std::make_unique<TapSession>(*backend_, config_.systemAudioSource);
    } catch (...) {
        const std::string text = "tap_start_failed:" + describe(std::current_exception());
        emit("error_visible", {{"detail", text}});
        shutdown(Termination::failure(text));
        return;
    }
    const std::int64_t status = platform_.microphoneStatus ? platform_.microphoneStatus(*backend_) : 3;
    const MicrophoneGateDecision gate = microphoneGate(status, std::nullopt);
    emit(gate.eventName, gate.eventFields);
    if (gate.termination) {
        shutdown(*gate.termination);
        return;
    }
    arm("initial");
    // A run that boots paused starts no hardware, and so no ticks with it;
    // they still run, or --max-seconds would never end the run.
    if (!timer_ && !stopRequested_) {
        timer_ = platform_.idleTick(*queue_, [this] { tick(); });
    }
}

void CaptureEngine::prepareCore() {
    // Before recovery, which would lock and quarantine every subfolder of a
    // folder that is no spool.
    SpoolRoot::prepare(config_.spool);
    encoder_ = std::make_unique<FFmpegFLACEncoder>(config_.ffmpeg, encoderDeadlineSeconds);
    core_ = std::make_unique<RecorderCore>(config_.spool, coreClock_, allowlist_, config_.deviceId, *encoder_,
                                           std::make_shared<DurableIO>());
    // Encoding and verifying a finished part takes seconds (half a minute for
    // a three-hour part); the queue keeps moving audio meanwhile.
    core_->publishWith([this](std::shared_ptr<Artifact> sealed) { publishSealed(std::move(sealed)); });

    // What an earlier run left behind, oldest name first.
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(config_.spool)) {
        if (!entry.path().filename().string().starts_with(".")) {
            entries.push_back(entry.path());
        }
    }
    std::sort(entries.begin(), entries.end());
    for (const std::filesystem::path& directory : entries) {
        if (std::filesystem::is_symlink(directory) || !std::filesystem::is_directory(directory)) {
            continue;
        }
        std::optional<RecoveryResult> result;
        try {
            result.emplace(Artifact::recover(directory, clock_, *encoder_, std::make_shared<DurableIO>()));
        } catch (const CoreError& error) {
            // Held by a live worker (the uploader, here or in another zoq
            // process): it is in use, not abandoned, and not this run's to
            // recover.
            if (error.kind() != CoreError::Kind::locked) {
                throw;
            }
            emit("recovery_skipped", {{"directory", directory.string()}, {"detail", error.reason()}});
            continue;
        }
        if (result->isQuarantined()) {
            emit("recovery_quarantined", {{"directory", directory.string()}, {"detail", result->reason()}});
            continue;
        }
        const ArtifactManifest& manifest = result->artifact().manifest();
        emit("recovered", {{"directory", directory.string()},
                           {"state", std::string(rawValue(manifest.state))},
                           {"frames", std::to_string(manifest.durableFrames)},
                           {"first_frame", std::to_string(manifest.capture.firstFrame)},
                           {"interrupted", manifest.interrupted ? "true" : "false"}});
    }
}

// MARK: Hardware

void CaptureEngine::startHardware(const std::string& reason) {
    if (stopRequested_ || sleeping_ || corePaused() || !session_) {
        return;
    }
    try {
        platform_.startHardware(*session_, *scanner_);
    } catch (...) {
        const std::string text = describe(std::current_exception());
        if (rebuildUntil_ && clock_.now() < *rebuildUntil_ && !isSoundServerLoss(text)) {
            if (!rebuildWaitAnnounced_) {
                rebuildWaitAnnounced_ = true;
                emit("hardware_waiting", {{"reason", reason}, {"detail", text}});
            }
            return;
        }
        try {
            throw;
        } catch (const TapError& error) {
            startFailed(error);
        } catch (...) {
            const std::string failure = "tap_start_failed:" + text;
            emit("error_visible", {{"detail", failure}});
            shutdown(Termination::failure(failure));
        }
        return;
    }
    rebuildUntil_.reset();
    rebuildWaitAnnounced_ = false;
    startedHardware(reason);
}

void CaptureEngine::startFailed(const TapError& error) {
    if (error.kind() == TapError::Kind::tapCreationFailed && error.status() != 0) {
        const std::string status = std::to_string(error.status());
        const std::string code = fourCC(error.status());
        emit("capture_failed",
             {{"service", "system_audio"}, {"osstatus", status}, {"code", code}, {"denial", "unconfirmed"}});
        shutdown(Termination::failure("tap_osstatus_" + status + "_" + code));
        return;
    }
    const std::string text = "tap_start_failed:" + error.description();
    emit("error_visible", {{"detail", text}});
    shutdown(Termination::failure(text));
}

void CaptureEngine::startedHardware(const std::string& reason) {
    micRate_ = session_->micSampleRate();
    systemRate_ = session_->tapSampleRate();
    hardwareStartedAt_ = clock_.now();
    lastMicChunkAt_.reset();
    lastSystemChunkAt_.reset();
    systemExpectedAt_.reset();
    recordedApps_.clear();
    followedPlayback_.clear();
    appPlaybackSeenAt_.reset();
    wantedPlayback_.clear();
    wantedOwners_.clear();
    wantedReadUnder_.reset();
    try {
        hardwareSignature_ = scanner_->hardwareSignature();
        listen();
    } catch (...) {
        fail("listener_install_failed", std::current_exception());
        return;
    }
    emit("tap_started", {{"reason", reason},
                         {"mic_rate", formatted("%.0f", micRate_)},
                         {"tap_rate", formatted("%.0f", systemRate_)},
                         {"tap_id", std::to_string(session_->systemStreamID())},
                         {"aggregate_id", std::to_string(session_->micStreamID())},
                         {"system_source", sourceName(session_->recording())}});
    timer_.reset();
    timer_ = platform_.repeatTick(*queue_, [this] { tick(); });
}

void CaptureEngine::listen() {
    const std::uint64_t generation = hardwareGeneration_;
    // On the backend's event thread: only hand work to the queue, and only
    // for the hardware the listeners were installed for.
    scanner_->installListeners(
        [this, generation] {
            queue_->async([this, generation] {
                if (hardwareGeneration_ == generation) {
                    hardwareChangeCheck();
                }
            });
        },
        [this, generation] {
            queue_->async([this, generation] {
                if (hardwareGeneration_ != generation || stopRequested_ || !session_) {
                    return;
                }
                if (session_->isStarted()) {
                    rescan();
                } else if (!rebuildUntil_ && scanner_->isDefaultInputRunningSomewhere()) {
                    startHardware("microphone_taken");
                    if (!stopRequested_) {
                        rescan();
                    }
                }
            });
        });
}

void CaptureEngine::arm(const std::string& reason) {
    if (stopRequested_ || sleeping_ || corePaused() || !session_) {
        return;
    }
    // Listening first: an application that takes the microphone between the
    // check and the subscription would otherwise go unnoticed.
    try {
        listen();
    } catch (...) {
        fail("listener_install_failed", std::current_exception());
        return;
    }
    if (scanner_->isDefaultInputRunningSomewhere()) {
        startHardware(reason);
        return;
    }
    // Nothing holds the microphone: no record stream of ours exists until
    // something does (the activity listener opens them), and the ticks slow
    // down to what the clock duties need.
    emit("standby", {{"reason", reason}});
    timer_.reset();
    timer_ = platform_.idleTick(*queue_, [this] { tick(); });
}

void CaptureEngine::standbyIfUnheld(bool inputRunning) {
    if (inputRunning || stopRequested_ || rebuildUntil_ || !session_ || !session_->isStarted() || !core_ ||
        core_->machine().state() != CaptureState::armed) {
        return;
    }
    try {
        closeHardware();
        reportCompleted();
    } catch (...) {
        fail("process_transition_failed", std::current_exception());
        return;
    }
    resetStreams();
    arm("microphone_released");
}

void CaptureEngine::closeHardware() {
    ++hardwareGeneration_;
    scanner_->removeListeners();
    const std::uint32_t tapID = session_->systemStreamID();
    const std::uint32_t aggregateID = session_->micStreamID();
    TapSession::Drained drained = session_->teardown();
    EngineEvent::Fields fields;
    bool teardownFailed = false;
    for (const auto& [step, status] : session_->teardownResults()) {
        fields[step] = std::to_string(status);
        teardownFailed = teardownFailed || status != 0;
    }
    fields["tap_id"] = std::to_string(tapID);
    fields["aggregate_id"] = std::to_string(aggregateID);
    fields["listeners_remaining"] = std::to_string(scanner_->listenerCount());
    emit("hardware_closed", fields);

    // Every frame that was captured reaches the core before a failure is
    // told: the audio already queued is good, whatever ended the streams.
    ingest(std::move(drained.mic), std::move(drained.system));
    finishStreams();
    deliverFrames(true);
    hardwareStartedAt_.reset();
    // Streams whose device went away (`drained.ended`) are no failure: what
    // they captured is in, and the next start opens the new defaults.
    if (!drained.failures.empty()) {
        throwFailures(drained.failures);
    }
    const std::vector<std::string>& removal = scanner_->removalErrors();
    if (teardownFailed || !removal.empty()) {
        std::string text = "hardware_teardown:";
        for (const auto& [name, value] : fields) {
            text += name + "=" + value + ";";
        }
        text += ":";
        for (const std::string& error : removal) {
            text += error + ";";
        }
        throw ScannerError::propertyFailed(text);
    }
}

void CaptureEngine::hardwareChangeCheck() {
    if (stopRequested_ || !session_ || !session_->isStarted()) {
        return;
    }
    std::vector<std::uint64_t> signature;
    try {
        signature = scanner_->hardwareSignature();
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (isSoundServerLoss(describe(error))) {
            fail("hardware_observation_failed", error);
        }
        // Otherwise a default device is missing for a moment: the server
        // names the next one shortly (with another event), and a stream that
        // ended with the old one says so on the next tick.
        return;
    }
    if (signature != hardwareSignature_) {
        hardwareChanged();
    }
}

void CaptureEngine::hardwareChanged(const std::string& endedStreams) {
    emit("hardware_changed",
         endedStreams.empty() ? EngineEvent::Fields{} : EngineEvent::Fields{{"ended", endedStreams}});
    rebuildHardware("device_changed");
    if (!stopRequested_) {
        rescan();
    }
}

void CaptureEngine::rebuildHardware(const std::string& reason) {
    if (stopRequested_ || sleeping_ || corePaused()) {
        return;
    }
    try {
        closeHardware();
        if (core_) {
            // The call goes on on the new devices, in the next part.
            cutCall();
        }
        reportCompleted();
        resetStreams();
    } catch (...) {
        fail("rebuild_failed", std::current_exception());
        return;
    }
    // The new default may not be named yet when the old one went away: the
    // start is tried again on every tick until `rebuildPatienceSeconds`.
    rebuildUntil_ = clock_.now() + rebuildPatienceSeconds;
    rebuildReason_ = reason;
    startHardware(reason);
}

void CaptureEngine::retryRebuild() {
    if (rebuildUntil_ && session_ && !session_->isStarted()) {
        startHardware(rebuildReason_);
    }
}

// MARK: Tick

void CaptureEngine::tick() {
    if (stopRequested_) {
        return;
    }
    if (config_.maxSeconds && clock_.now() - startMonotonic_ >= *config_.maxSeconds) {
        shutdown(Termination::stopped());
        return;
    }
    if (sleeping_) {
        return;
    }
    retryRebuild();
    if (stopRequested_) {
        return;
    }
    try {
        if (!pumpAudio()) {
            return;
        }
        if (!rescan()) {
            return;
        }
        deliverFrames(false);
        if (core_) {
            core_->tick();
        }
    } catch (...) {
        fail("capture_pipeline_failed", std::current_exception());
        return;
    }
    announceState();
    reportCompleted();
    if (healthCheck()) {
        metrics();
    }
}

bool CaptureEngine::pumpAudio() {
    if (!session_ || !session_->isStarted()) {
        return true;
    }
    const double seconds = clock_.now();
    TapSession::Drained drained = session_->pump(seconds > 0 ? static_cast<std::uint64_t>(seconds * 1e9) : 0);
    if (!drained.failures.empty()) {
        throwFailures(drained.failures);
    }
    ingest(std::move(drained.mic), std::move(drained.system));
    if (drained.ended.empty()) {
        return true;
    }
    // A stream may not move, so the server ended it with its device: the
    // same as a change of the default device.
    std::string ended;
    for (const std::string& stream : drained.ended) {
        ended += (ended.empty() ? "" : ", ") + stream;
    }
    hardwareChanged(ended);
    return !stopRequested_;
}

void CaptureEngine::ingest(std::vector<RawChunk> mic, std::vector<RawChunk> system) {
    struct Tagged {
        Stream stream;
        RawChunk chunk;
    };
    // The two streams interleave by host time, but each keeps the order it
    // was delivered in: a stream's chunks are its frames in sequence, and a
    // stamp that moved by less than a chunk must never reorder them. A merge,
    // microphone first at equal host times.
    std::vector<Tagged> chunks;
    chunks.reserve(mic.size() + system.size());
    for (std::size_t m = 0, k = 0; m < mic.size() || k < system.size();) {
        if (k == system.size() || (m < mic.size() && mic[m].hostTimeNanos <= system[k].hostTimeNanos)) {
            chunks.push_back({Stream::mic, std::move(mic[m++])});
        } else {
            chunks.push_back({Stream::system, std::move(system[k++])});
        }
    }

    for (const Tagged& tagged : chunks) {
        const bool isMic = tagged.stream == Stream::mic;
        const RawChunk& chunk = tagged.chunk;
        std::int64_t& total = isMic ? micChunksTotal_ : systemChunksTotal_;
        (isMic ? lastMicChunkAt_ : lastSystemChunkAt_) = static_cast<double>(chunk.receivedNanos) / 1e9;
        if (++total == 1) {
            emit("pcm_observed", {{"stream", isMic ? "microphone" : "system_audio"}});
        }
        std::unique_ptr<ClockedStream>& stream = isMic ? micStream_ : systemStream_;
        const auto open = [&] {
            stream = isMic ? std::make_unique<ClockedStream>(micRate_, 1)
                           : std::make_unique<ClockedStream>(systemRate_, 2);
        };
        if (!stream) {
            open();
        }
        try {
            handToMixer(tagged.stream, stream->push(chunk));
            if (const std::uint64_t gap = stream->lastGapFrames(); gap > 0) {
                const double rate = isMic ? micRate_ : systemRate_;
                emit("audio_gap", {{"stream", isMic ? "mic" : "system"},
                                   {"frames", std::to_string(gap)},
                                   {"seconds", formatted("%.6f", static_cast<double>(gap) / rate)},
                                   {"host_nanos", std::to_string(chunk.hostTimeNanos)},
                                   {"sample_time", decimal(chunk.sampleTime)}});
            }
        } catch (const StreamClockError& error) {
            if (error.kind() != StreamClockError::Kind::discontinuity) {
                throw;
            }
            emit("discontinuity", {{"stream", isMic ? "mic" : "system"},
                                   {"host_nanos", std::to_string(chunk.hostTimeNanos)},
                                   {"sample_time", decimal(chunk.sampleTime)}});
            // Everything up to the break goes into the part, which then ends
            // as interrupted; the offending chunk starts the new streams, and
            // the call goes on in the next part of its session.
            finishStreams();
            if (core_) {
                if (!corePaused()) {
                    deliverBlocks(largestNanos);
                }
                cutCall();
            }
            reportCompleted();
            resetStreams();
            open();
            handToMixer(tagged.stream, stream->push(chunk));
        }
    }
}

void CaptureEngine::handToMixer(Stream stream, std::optional<MixSegment> segment) {
    if (!segment) {
        return;
    }
    if (stream == Stream::mic) {
        if (!segment->samples.empty()) {
            mixer_.pushMic(segment->startNanos, std::move(segment->samples));
        }
        return;
    }
    // The system stream is closed when nothing plays and the system audio
    // stops coming (`rescan`); frames then go out behind the microphone alone,
    // silent on the right. A server that stalled and catches up afterwards
    // sends system audio for instants already handed out that way: those can
    // never be filled any more, so they are dropped and the rest joins the
    // mix, instead of the mixer refusing it (`lateData`) and ending the run.
    const std::optional<std::uint64_t> origin = mixer_.originNanos();
    if (origin && mixer_.deliveredFrames() > 0) {
        const std::uint64_t deliveredEnd =
            *origin + static_cast<std::uint64_t>(mixer_.deliveredFrames()) * pcm::nanosPerFrame;
        if (segment->startNanos < deliveredEnd) {
            const std::uint64_t late = deliveredEnd - segment->startNanos;
            const std::uint64_t frames =
                std::min<std::uint64_t>(late / pcm::nanosPerFrame + (late % pcm::nanosPerFrame != 0 ? 1 : 0),
                                        segment->samples.size() / 2);
            segment->samples.erase(segment->samples.begin(),
                                   segment->samples.begin() + static_cast<std::ptrdiff_t>(frames * 2));
            segment->startNanos += frames * pcm::nanosPerFrame;
        }
    }
    if (segment->samples.size() >= 2) {
        mixer_.pushSystem(segment->startNanos, std::move(segment->samples));
    }
}

void CaptureEngine::finishStreams() {
    if (micStream_) {
        handToMixer(Stream::mic, micStream_->finish());
    }
    if (systemStream_) {
        handToMixer(Stream::system, systemStream_->finish());
    }
    micStream_.reset();
    systemStream_.reset();
}

void CaptureEngine::resetStreams() {
    mixer_.reset();
    announcedOrigin_.reset();
    micStream_.reset();
    systemStream_.reset();
    idleSince_.reset();
}

void CaptureEngine::deliverFrames(bool final) {
    if (!core_ || corePaused()) {
        return;
    }
    std::uint64_t upTo = largestNanos;
    if (!final) {
        const double seconds = clock_.now();
        const std::uint64_t now = seconds > 0 ? static_cast<std::uint64_t>(seconds * 1e9) : 0;
        if (!micStream_ || !micStream_->originNanos()) {
            return;
        }
        std::uint64_t limit = micStream_->outputEndNanos().value_or(0);
        if (systemStream_ && systemStream_->originNanos()) {
            limit = std::min(limit, systemStream_->outputEndNanos().value_or(0));
        } else if (systemExpectedAt_) {
            // Playing audio that has not arrived yet would leave a hole on
            // the right that could never be filled.
            return;
        }
        // Only whole frames the streams cover: the mixer hands out every
        // frame that starts before `upTo`, and a frame reaching past a
        // stream's end would make that stream's next audio late for the mixer
        // (`lateData`), which ends the run. The end binds whenever a stream
        // runs more than half a second behind (a stalled or loaded server).
        if (const std::optional<std::uint64_t> origin = mixer_.originNanos(); origin && limit > *origin) {
            limit -= (limit - *origin) % pcm::nanosPerFrame;
        }
        upTo = now <= deliveryDelayNanos ? 0 : std::min(now - deliveryDelayNanos, limit);
    }
    deliverBlocks(upTo);
}

void CaptureEngine::deliverBlocks(std::uint64_t upTo) {
    while (std::optional<StereoFrameMixer::Block> block =
               mixer_.pullFrames(upTo, framesPerPull, pullSpanNanos)) {
        const std::optional<std::uint64_t> origin = mixer_.originNanos();
        if (origin && origin != announcedOrigin_) {
            announcedOrigin_ = origin;
            emit("sample_clock",
                 {{"origin_nanos", std::to_string(*origin)}, {"first_frame", std::to_string(block->first)}});
        }
        const auto frames = static_cast<std::int64_t>(block->pcm.size() / 4);
        if (origin) {
            coreClock_.setSampleEnd(static_cast<double>(*origin) / 1e9 +
                                    static_cast<double>(block->first + frames) / 16'000.0);
        }
        core_->samples(block->pcm, block->first);
    }
}

// MARK: Processes

bool CaptureEngine::rescan() {
    if (stopRequested_ || sleeping_ || !session_ || !session_->isStarted() || !core_) {
        return !stopRequested_;
    }
    const bool inputRunning = scanner_->isDefaultInputRunningSomewhere();
    const ProcessObservation observation = scanner_->scan(inputRunning);
    // The device listener is the fast path; the scan reads the same devices
    // anyway, so a change the server never announced (pipewire-pulse may fold
    // a default-device change into nothing under load) is caught here.
    if (observation.hardwareSignature && *observation.hardwareSignature != hardwareSignature_ &&
        !corePaused()) {
        hardwareChanged();
        return !stopRequested_;
    }
    const double now = clock_.now();
    if (!observation.externalOutputRunning) {
        systemExpectedAt_.reset();
        if (lastSystemChunkAt_ && now - *lastSystemChunkAt_ >= systemCloseSeconds && systemStream_) {
            try {
                handToMixer(Stream::system, systemStream_->finish());
                systemStream_.reset();
            } catch (...) {
                fail("system_drain_failed", std::current_exception());
                return false;
            }
        }
    } else if (!systemExpectedAt_) {
        systemExpectedAt_ = now;
    }

    for (const ProcessActivity& user : observation.inputUsers) {
        if (allowlist_.eligible(user)) {
            if (eligibleSeen_.insert(user.pid).second) {
                emit("mic_opened", {{"bundleID", user.bundleId}, {"pid", std::to_string(user.pid)}});
            }
        } else if (user.pid != ownPid_ && user.bundleId != ownBundleId &&
                   !CaptureAllowlist::ignored.contains(user.bundleId) &&
                   ignoredAnnounced_.insert(user.bundleId).second) {
            emit("mic_ignored", {{"bundleID", user.bundleId},
                                 {"pid", std::to_string(user.pid)},
                                 {"reason", "not_allowlisted"}});
        }
    }
    // A process that lets go and takes the microphone again is announced again.
    std::set<std::int32_t> eligibleNow;
    for (const ProcessActivity& activity : observation.activities) {
        if (allowlist_.eligible(activity)) {
            eligibleNow.insert(activity.pid);
        }
    }
    std::erase_if(eligibleSeen_, [&](std::int32_t pid) { return !eligibleNow.contains(pid); });

    try {
        observeProcesses(observation.activities);
    } catch (...) {
        fail("process_transition_failed", std::current_exception());
        return false;
    }
    if (!followRecordedPlayback(observation.activities)) {
        return false;
    }
    standbyIfUnheld(inputRunning);
    return !stopRequested_;
}

bool CaptureEngine::followRecordedPlayback(const std::vector<ProcessActivity>& activities) {
    if (!session_ || !session_->isStarted() || session_->recording() != SystemAudioSource::recordedApp) {
        return true;
    }
    const CaptureState state = core_->machine().state();
    if (state == CaptureState::armed) {
        // Between calls: the next call may be another application's.
        recordedApps_.clear();
    }
    for (const ProcessActivity& activity : activities) {
        if (allowlist_.eligible(activity) && activity.pid != ownPid_ && activity.bundleId != ownBundleId) {
            recordedApps_.insert(activity.bundleId);
        }
    }
    // The recorded application's playback, attributed like its microphone
    // use; this connection's own streams (the chime) are never among them.
    // Read before the graph: a change announced while it is read makes the
    // next tick read again.
    const std::uint64_t changes = scanner_->playbackChanges();
    if (wantedReadUnder_ && wantedReadUnder_->first == changes && wantedReadUnder_->second == recordedApps_) {
        // Nothing announced since the last reading: the same playback.
    } else if (recordedApps_.empty()) {
        wantedPlayback_.clear();
        wantedOwners_.clear();
        wantedReadUnder_.emplace(changes, recordedApps_);
    } else {
        std::map<std::uint32_t, std::string> wanted;
        std::map<std::uint32_t, std::string> owners;
        try {
            const std::uint32_t own = backend_->ownClientIndex();
            const AudioGraph graph = backend_->graph();
            for (const AudioStreamInfo& stream : graph.playbackStreams) {
                if (!stream.client || *stream.client == own || !stream.device) {
                    continue;
                }
                const auto sink =
                    std::find_if(graph.sinks.begin(), graph.sinks.end(),
                                 [&](const AudioSinkInfo& info) { return info.index == *stream.device; });
                if (sink == graph.sinks.end()) {
                    continue;
                }
                const std::string app = scanner_->attribution().attributedBundleID(
                    ProcessScanner::identityOf(stream, graph, own));
                if (recordedApps_.contains(app)) {
                    wanted[stream.index] = sink->monitorSourceName;
                    owners[stream.index] = app;
                }
            }
        } catch (const AudioBackendError&) {
            // Read again at the next tick; the streams followed stay open.
            return true;
        }
        wantedPlayback_ = std::move(wanted);
        wantedOwners_ = std::move(owners);
        wantedReadUnder_.emplace(changes, recordedApps_);
    }
    std::set<std::uint32_t> followed;
    try {
        followed = session_->followPlayback(wantedPlayback_);
    } catch (...) {
        fail("playback_follow_failed", std::current_exception());
        return false;
    }
    if (followed != followedPlayback_) {
        std::string list;
        for (const std::uint32_t index : followed) {
            list += (list.empty() ? "" : ",") + std::to_string(index);
        }
        EngineEvent::Fields fields{{"sink_inputs", list}, {"count", std::to_string(followed.size())}};
        if (!followed.empty()) {
            fields["bundleID"] = wantedOwners_[*followed.begin()];
        }
        emit("app_playback", fields);
        followedPlayback_ = followed;
    }

    const double now = clock_.now();
    if (state != CaptureState::recording) {
        appPlaybackSeenAt_.reset();
        return true;
    }
    if (!followed.empty() || !appPlaybackSeenAt_) {
        appPlaybackSeenAt_ = now;
        return true;
    }
    if (now - *appPlaybackSeenAt_ < appPlaybackPatienceSeconds) {
        return true;
    }
    // The far side may play through a process nobody can attribute: losing
    // it would be worse than recording everything.
    try {
        session_->fallBackToMix();
    } catch (...) {
        fail("system_fallback_failed", std::current_exception());
        return false;
    }
    followedPlayback_.clear();
    EngineEvent::Fields fallen{{"source", sourceName(session_->recording())},
                               {"reason", "no_app_playback"},
                               {"seconds", formatted("%.1f", now - *appPlaybackSeenAt_)}};
    if (const Artifact* part = core_->active()) {
        fallen["directory"] = part->directory().string();
    }
    emit("system_audio_source", fallen);
    return true;
}

void CaptureEngine::observeProcesses(const std::vector<ProcessActivity>& activities) {
    const double now = clock_.now();
    const bool anyEligible =
        std::any_of(activities.begin(), activities.end(),
                    [&](const ProcessActivity& activity) { return allowlist_.eligible(activity); });
    bool restart = false;
    if (!anyEligible && idleSince_ && now - *idleSince_ >= idleRestartSeconds &&
        core_->machine().state() == CaptureState::idleGrace) {
        // The part is about to end: every captured frame goes in first.
        closeHardware();
        restart = true;
    }
    core_->processes(activities);
    if (core_->machine().state() == CaptureState::idleGrace) {
        if (!idleSince_) {
            idleSince_ = now;
        }
    } else {
        idleSince_.reset();
    }
    announceState();
    reportCompleted();
    if (restart) {
        resetStreams();
        arm("idle_finalized");
    }
}

void CaptureEngine::reportCompleted() {
    if (!core_) {
        return;
    }
    for (const std::filesystem::path& directory : core_->completed()) {
        announceFinalized(directory, mixer_.originNanos());
    }
}

void CaptureEngine::announceFinalized(const std::filesystem::path& directory,
                                      std::optional<std::uint64_t> originNanos) {
    if (completedAnnounced_.insert(directory).second) {
        EngineEvent::Fields fields{{"directory", directory.string()}};
        if (originNanos) {
            fields["origin_nanos"] = std::to_string(*originNanos);
        }
        emit("finalized", fields);
    }
}

void CaptureEngine::publishSealed(std::shared_ptr<Artifact> sealed) {
    // Dated now, while the mixer is still the one that produced the part.
    const std::optional<std::uint64_t> origin = mixer_.originNanos();
    publisher_->async([this, sealed = std::move(sealed), origin]() mutable {
        Published outcome{sealed->directory(), origin, nullptr};
        try {
            sealed->publish(*encoder_);
        } catch (...) {
            // The part stays sealed on disk; recovery publishes it later.
            outcome.error = std::current_exception();
        }
        sealed.reset(); // its lock: the directory now belongs to the uploader
        {
            const std::lock_guard guard(publishedLock_);
            published_.push_back(std::move(outcome));
        }
        queue_->async([this] {
            if (const std::exception_ptr error = reportPublished(); error && !stopRequested_) {
                fail("capture_pipeline_failed", error);
            }
        });
    });
}

std::exception_ptr CaptureEngine::reportPublished() {
    std::vector<Published> outcomes;
    {
        const std::lock_guard guard(publishedLock_);
        outcomes.swap(published_);
    }
    std::exception_ptr firstError;
    for (const Published& outcome : outcomes) {
        if (outcome.error) {
            firstError = firstError ? firstError : outcome.error;
        } else {
            announceFinalized(outcome.directory, outcome.originNanos);
        }
    }
    return firstError;
}

std::exception_ptr CaptureEngine::finishPublishing() {
    publisher_->sync([] {});
    return reportPublished();
}

// MARK: Pause, sleep, shutdown

void CaptureEngine::doPause() {
    if (stopRequested_) {
        return;
    }
    try {
        if (session_) {
            closeHardware();
        }
        if (core_) {
            core_->pause();
        }
        rethrowIfSet(finishPublishing());
    } catch (...) {
        fail("pause_failed", std::current_exception());
        return;
    }
    reportCompleted();
    lastAnnouncedState_ = CaptureState::paused;
    emit("paused", {{"state", stateName()}});
}

void CaptureEngine::doResume() {
    if (stopRequested_ || !corePaused()) {
        return;
    }
    try {
        core_->resume();
    } catch (...) {
        fail("resume_failed", std::current_exception());
        return;
    }
    resetStreams();
    // "resumed" tells the owner the core is ARMED again; later ticks announce
    // what follows from there.
    lastAnnouncedState_ = core_->machine().state();
    arm("resume");
    emit("resumed", {{"state", stateName()}});
}

void CaptureEngine::willSleep(SerialQueue& queue) {
    // Synchronously: the part is finished before the computer may sleep.
    try {
        queue.sync([this] {
            if (stopRequested_ || sleeping_) {
                return;
            }
            sleeping_ = true;
            emit("sleep");
            try {
                if (session_) {
                    closeHardware();
                }
                if (core_) {
                    core_->sleep();
                }
                rethrowIfSet(finishPublishing());
            } catch (...) {
                fail("sleep_failed", std::current_exception());
                return;
            }
            reportCompleted();
            resetStreams();
            emit("sleep_finalized", {{"state", stateName()}});
        });
    } catch (...) {
        // The queue is going away with the engine: nothing is recording.
    }
}

void CaptureEngine::didWake() {
    if (stopRequested_ || !sleeping_) {
        return;
    }
    sleeping_ = false;
    // The monotonic clock stood still while the wall clock went on.
    coreClock_.reanchor();
    emit("wake");
    try {
        if (core_) {
            (void)core_->wake();
        }
    } catch (...) {
        fail("wake_failed", std::current_exception());
        return;
    }
    arm("wake");
}

void CaptureEngine::shutdown(Termination termination) {
    if (stopRequested_) {
        return;
    }
    stopRequested_ = true;
    timer_.reset();
    // The sleep observation stays until the engine is destroyed (off the
    // queue); from now on its callbacks do nothing.
    if (alertPlayer_) {
        alertPlayer_->stop();
        alertPlayer_.reset();
    }
    std::exception_ptr drainError;
    try {
        if (session_) {
            closeHardware();
        }
    } catch (...) {
        // Streams that died with the server fail to close, but every frame
        // they captured is in the core already: the part still ends now,
        // as interrupted, rather than at the next run's recovery.
        drainError = std::current_exception();
    }
    try {
        if (core_) {
            // A failure mid-call hands the call on to the owner's next run.
            if (termination.kind == Termination::Kind::failure) {
                termination.call = core_->machine().continuation();
            }
            core_->interrupt();
        }
        reportCompleted();
        rethrowIfSet(finishPublishing());
    } catch (...) {
        drainError = drainError ? drainError : std::current_exception();
    }
    if (drainError) {
        const std::string text = "shutdown_drain_failed:" + describe(drainError);
        emit("error_visible", {{"detail", text}});
        std::optional<CallContinuation> call = std::move(termination.call);
        termination = Termination::failure(text);
        termination.call = std::move(call);
    }
    resetStreams();
    core_.reset();
    EngineEvent::Fields stopped{{"reason", termination.description()},
                                {"mic_chunks", std::to_string(micChunksTotal_)},
                                {"system_chunks", std::to_string(systemChunksTotal_)}};
    if (termination.call) {
        stopped["call_session"] = termination.call->captureSessionId;
        stopped["call_next_part"] = std::to_string(termination.call->partIndex);
    }
    emit("engine_stopped", stopped);
    {
        const std::lock_guard guard(finishLock_);
        termination_ = std::move(termination);
        done_ = true;
    }
    finished_.notify_all();
}

void CaptureEngine::fail(const std::string& prefix, const std::exception_ptr& error) {
    const std::string text = prefix + ":" + describe(error);
    emit("error_visible", {{"detail", text}});
    shutdown(Termination::failure(text));
}

void CaptureEngine::cutCall() {
    core_->cut();
    // The call's next part is announced as its own `recording_started` (once
    // it holds audio) or `idle_grace`, though the machine's state came back
    // to what it was.
    lastAnnouncedState_.reset();
}

// MARK: Reporting

void CaptureEngine::announceState() {
    if (!core_) {
        return;
    }
    const CaptureState state = core_->machine().state();
    if (state == CaptureState::recording && !core_->machine().segment()) {
        // A part is told once it holds audio, so with the origin and the
        // first frame that place it on the host clock: the debounce may end
        // on a tick before the pre-buffer reaches the core.
        return;
    }
    if (state == lastAnnouncedState_) {
        return;
    }
    lastAnnouncedState_ = state;
    switch (state) {
    case CaptureState::debouncing:
        emit("debouncing");
        break;
    case CaptureState::recording: {
        const CaptureSegment& segment = *core_->machine().segment();
        EngineEvent::Fields fields{{"app", segment.app}, {"first_frame", std::to_string(segment.firstFrame)}};
        if (const auto origin = mixer_.originNanos()) {
            fields["origin_nanos"] = std::to_string(*origin);
        }
        if (const Artifact* part = core_->active()) {
            fields["directory"] = part->directory().string();
        }
        if (session_ && session_->isStarted()) {
            // A later part of a call whose streams fell back records
            // everything from its start: it says so, as the first did.
            const bool fellBack = session_->source() == SystemAudioSource::recordedApp &&
                                  session_->recording() == SystemAudioSource::all;
            fields["system_source"] = fellBack ? "fallback" : sourceName(session_->recording());
        }
        emit("recording_started", fields);
        break;
    }
    case CaptureState::idleGrace:
        emit("idle_grace");
        break;
    case CaptureState::finalising:
        emit("finalising");
        break;
    case CaptureState::errorVisible:
        emit("error_visible");
        break;
    case CaptureState::armed:
        // Told too: a part finishes within one step (FINALISING is never
        // seen between ticks), and without this the owner would go on
        // showing the grace period of a call that has ended.
        emit("armed");
        break;
    case CaptureState::paused:
        break;
    }
}

bool CaptureEngine::healthCheck() {
    if (!hardwareStartedAt_) {
        return true;
    }
    const double now = clock_.now();
    const auto failed = [&](const char* stream, double expected, std::optional<double> last) {
        const std::string detail = last ? "pcm_stalled" : "no_first_pcm";
        emit("capture_health_failed", {{"stream", stream},
                                       {"detail", detail},
                                       {"denial", "unconfirmed"},
                                       {"expected_at", formatted("%.3f", expected)},
                                       {"last_pcm", last ? formatted("%.3f", *last) : "none"},
                                       {"deadline_seconds", "19"}});
        shutdown(Termination::failure(std::string(stream) + "_" + detail));
        return false;
    };
    const double micReference = std::max(*hardwareStartedAt_, lastMicChunkAt_.value_or(*hardwareStartedAt_));
    if (now - micReference >= healthDeadlineSeconds) {
        return failed("microphone", *hardwareStartedAt_, lastMicChunkAt_);
    }
    if (systemExpectedAt_) {
        const double reference =
            std::max(*systemExpectedAt_, lastSystemChunkAt_.value_or(*systemExpectedAt_));
        if (now - reference >= healthDeadlineSeconds) {
            return failed("system_audio", *systemExpectedAt_, lastSystemChunkAt_);
        }
    }
    return true;
}

void CaptureEngine::metrics() {
    const double now = clock_.now();
    if (metricsStarted_ && now - lastMetricsAt_ < 5) {
        return;
    }
    metricsStarted_ = true;
    lastMetricsAt_ = now;
    const double cpu = (cpuSeconds() - cpuStart_) / std::max(now - startMonotonic_, 0.001) * 100;
    emit("metrics", {{"state", stateName()},
                     {"mic_chunks", std::to_string(micChunksTotal_)},
                     {"system_chunks", std::to_string(systemChunksTotal_)},
                     {"delivered_frames", std::to_string(mixer_.deliveredFrames())},
                     {"cpu_percent", formatted("%.1f", cpu)}});
}

void CaptureEngine::playAlert() {
    if (stopRequested_ || !(config_.alertFrequency > 0) || alertPlayer_) {
        return;
    }
    std::unique_ptr<AlertPlayer> player;
    try {
        if (platform_.makeAlertPlayer) {
            player =
                platform_.makeAlertPlayer(AlertChime::wav(config_.alertFrequency, config_.alertDuration));
        } else if (backend_) {
            player = std::make_unique<BackendAlertPlayer>(*backend_, config_.alertFrequency,
                                                          config_.alertDuration);
        } else {
            throw std::runtime_error("no sound server");
        }
    } catch (...) {
        emit("error_visible", {{"detail", "alert_failed:" + describe(std::current_exception())}});
        return;
    }
    const std::uint64_t id = ++alertGeneration_;
    if (!player->play([this, id](bool success) {
            queue_->async([this, id, success] { alertFinished(id, success); });
        })) {
        emit("alert_failed", {{"detail", "play_returned_false"}});
        return;
    }
    alertPlayer_ = std::move(player);
    emit("alert_started", {{"frequency", formatted("%.0f", config_.alertFrequency)}});
}

void CaptureEngine::alertFinished(std::uint64_t player, bool success) {
    if (stopRequested_ || player != alertGeneration_ || !alertPlayer_) {
        return;
    }
    emit("alert_completed", {{"success", success ? "true" : "false"}});
    alertPlayer_.reset();
}

void CaptureEngine::emit(const std::string& name, EngineEvent::Fields fields) {
    // The microphone events' "pid" is the client's, and stays so.
    fields.try_emplace("pid", std::to_string(ownPid_));
    fields["bundle"] = ownBundleId;
    try {
        sink_.emit(EngineEvent{name, clock_.now(), clock_.wallDate(), std::move(fields)});
    } catch (...) {
        // A sink's trouble is the sink's: the run goes on.
    }
}

std::string CaptureEngine::stateName() const {
    return core_ ? std::string(toText(core_->machine().state())) : "?";
}

bool CaptureEngine::corePaused() const {
    return core_ && core_->machine().state() == CaptureState::paused;
}

} // namespace zoq
