#include "ZoqShell/Recorder/RecorderController.h"

#include "ZoqCaptureEngine/FailureCause.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Settings/ShellSettings.h"

#include <system_error>
#include <utility>

namespace zoq {

/// Hands engine events (on the engine's queue) to the main thread.
class RecorderController::EventForwarder final : public EventSinking {
public:
    EventForwarder(MainExecutor& executor, std::weak_ptr<bool> alive, RecorderController& controller)
        : executor_(executor), alive_(std::move(alive)), controller_(controller) {}

    void emit(const EngineEvent& event) override {
        executor_.post([alive = alive_, &controller = controller_, name = event.name, fields = event.fields] {
            if (alive.lock()) {
                controller.handleEvent(name, fields);
            }
        });
    }

private:
    MainExecutor& executor_;
    std::weak_ptr<bool> alive_;
    RecorderController& controller_;
};

/// A blocking call (an engine's `wait`, the microphone request) on a thread
/// of its own, joined when the controller goes.
struct RecorderController::Background {
    explicit Background(std::function<void()> work)
        : thread([this, work = std::move(work)] {
              work();
              done = true;
          }) {}
    ~Background() { thread.join(); }

    std::atomic<bool> done = false;
    std::thread thread;
};

RecorderController::RecorderController(ShellSettings& settings, MainExecutor& executor,
                                       std::filesystem::path spoolRoot, EngineFactory engineFactory,
                                       MicrophoneRequester microphoneRequester,
                                       SoundServerProbe soundServerProbe)
    : settings_(settings), executor_(executor), spoolRoot_(std::move(spoolRoot)),
      engineFactory_(std::move(engineFactory)), microphoneRequester_(std::move(microphoneRequester)),
      soundServerProbe_(std::move(soundServerProbe)) {}

RecorderController::~RecorderController() {
    alive_.reset();
    if (engine_) {
        // Quitting while recording: the open part is finished, not abandoned.
        engine_->stop();
        (void)engine_->wait();
    }
    background_.clear();
}

EngineConfiguration RecorderController::configuration(const std::string& deviceId) const {
    EngineConfiguration config;
    config.spool = spoolRoot_;
    config.allowed = settings_.allowedBundleIDs();
    config.ffmpeg = settings_.ffmpegPath().value_or(FFmpegFLACEncoder::defaultExecutable);
    config.deviceId = deviceId;
    config.e2e = false;
    config.alertFrequency = settings_.chimeEnabled() ? chimeFrequency : 0;
    config.systemAudioSource = settings_.systemAudioSource();
    config.alertDuration = chimeDuration;
    return config;
}

void RecorderController::start(const std::string& deviceId) {
    if (engine_) {
        return;
    }
    if (ending_) {
        startWhenEnded_ = deviceId;
        uiState_ = RecorderUIState::starting;
        changed();
        return;
    }
    terminationInfo_.reset();
    permissionContext_.reset();
    requestingMicrophone_ = false;
    microphoneChoicePending_ = false;
    awaitingSoundServer_ = false;
    lastDeviceId_ = deviceId;
    EngineConfiguration config = configuration(deviceId);
    // Only the run that comes right after the one the server ended takes
    // up its call; a start by hand after a stop never does (`stop` forgets it).
    config.continuation = std::exchange(continuation_, std::nullopt);
    std::error_code ignored; // the engine's own preparation reports it
    std::filesystem::create_directories(config.spool, ignored);

    engine_ = engineFactory_(config, std::make_shared<EventForwarder>(executor_, alive_, *this));
    try {
        settings_.setRecorderEnabled(true);
    } catch (const std::exception&) {
        // Only the choice to re-arm at the next start is lost.
    }
    const std::uint64_t generation = ++engineGeneration_;
    engine_->start();
    runInBackground([engine = engine_, generation, alive = std::weak_ptr<bool>(alive_), &executor = executor_,
                     this] {
        const EngineTermination termination = engine->wait();
        executor.post([alive, termination, generation, this, ended = std::weak_ptr<RecordingEngine>(engine)] {
            if (alive.lock()) {
                engineEnded(ended);
                handleTermination(termination, generation);
            }
        });
    });
    // Armed or paused: the engine says which once it has read the person's
    // stored choice.
    uiState_ = RecorderUIState::starting;
    changed();
}

void RecorderController::stop() {
    requestingMicrophone_ = false;
    microphoneChoicePending_ = false;
    if (engine_ || awaitingSoundServer_ || startWhenEnded_) {
        startWhenEnded_.reset();
        try {
            settings_.setRecorderEnabled(false);
        } catch (const std::exception&) {
        }
        if (engine_) {
            engine_->stop();
            ending_ = std::move(engine_);
        }
        // Also ends waiting for the sound server: its checks carry the old
        // generation.
        ++engineGeneration_;
        awaitingSoundServer_ = false;
        continuation_.reset();
        uiState_ = RecorderUIState::stopped;
        terminationInfo_.reset();
    }
    changed();
}

void RecorderController::pause(std::function<void()> applied) {
    command(Command::pause, std::move(applied));
}

void RecorderController::resume(std::function<void()> applied) {
    command(Command::resume, std::move(applied));
}

void RecorderController::togglePause(std::function<void()> applied) {
    command(Command::toggle, std::move(applied));
}

void RecorderController::command(Command command, std::function<void()> applied) {
    if (!engine_) {
        if (applied) {
            applied();
        }
        return;
    }
    // Never decided on what is shown now: the engine applies the commands in
    // the order they came, each against the state the one before left.
    switch (command) {
    case Command::pause:
        engine_->pause();
        break;
    case Command::resume:
        engine_->resume();
        break;
    case Command::toggle:
        engine_->togglePause();
        break;
    }
    if (applied) {
        afterCommands(std::move(applied));
    }
}

void RecorderController::afterCommands(std::function<void()> applied) {
    if (!engine_) {
        applied();
        return;
    }
    // Posted once, when the engine's queue reaches it or, should the engine
    // end and drop its queued work first, when the job is destroyed: a caller
    // waiting for its answer is answered either way.
    struct PostOnce {
        std::function<void()> post;
        ~PostOnce() {
            if (post) {
                post();
            }
        }
    };
    auto once = std::make_shared<PostOnce>();
    once->post = [alive = std::weak_ptr<bool>(alive_), &executor = executor_, applied = std::move(applied)] {
        executor.post([alive, applied] {
            if (alive.lock()) {
                applied();
            }
        });
    };
    // The engine hands its events to the main thread before this, so the
    // state they show is in place when `applied` runs.
    engine_->afterCommands([once] {
        if (auto post = std::exchange(once->post, {})) {
            post();
        }
    });
}

void RecorderController::applySettings(const std::optional<std::string>& currentDeviceId) {
    if (currentDeviceId && engine_) {
        stop();
        start(*currentDeviceId);
    }
}

void RecorderController::requestMicrophonePermission() {
    if (!permissionContext_ ||
        permissionContext_->service != RecorderPermissionContext::Service::microphone ||
        permissionContext_->status != RecorderPermissionContext::Status::notDetermined ||
        requestingMicrophone_ || engine_) {
        return;
    }
    requestingMicrophone_ = true;
    microphoneChoicePending_ = false;
    changed();
    runInBackground(
        [requester = microphoneRequester_, alive = std::weak_ptr<bool>(alive_), &executor = executor_, this] {
            const MicrophonePermissionResult result = requester();
            executor.post([alive, result, this] {
                if (alive.lock()) {
                    finishMicrophoneRequest(result);
                }
            });
        });
}

void RecorderController::finishMicrophoneRequest(const MicrophonePermissionResult& result) {
    if (!requestingMicrophone_) {
        return;
    }
    requestingMicrophone_ = false;
    if (result.timedOutWaitingForHuman) {
        microphoneChoicePending_ = true;
    } else if (result.granted) {
        microphoneChoicePending_ = false;
        permissionContext_.reset();
        if (lastDeviceId_) {
            start(*lastDeviceId_);
            return;
        }
    } else {
        const char* detail = "tcc_denied";
        if (result.after == MicrophoneAuthorizationState::restricted) {
            detail = "tcc_restricted";
        } else if (result.after == MicrophoneAuthorizationState::notDetermined) {
            detail = "not_determined";
        }
        permissionContext_ = RecorderPermissionContext::from("microphone", detail);
        terminationInfo_ =
            EngineTerminationInfo{"permission_not_granted", std::string("microphone: ") + detail};
    }
    changed();
}

void RecorderController::handleEvent(const std::string& name, const EngineEvent::Fields& fields) {
    const auto field = [&](const char* key) -> std::optional<std::string> {
        const auto found = fields.find(key);
        return found == fields.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    const auto partName = [&]() -> std::optional<std::string> {
        const std::optional<std::string> directory = field("directory");
        return directory ? std::optional<std::string>(std::filesystem::path(*directory).filename().string())
                         : std::nullopt;
    };
    if (name == "recording_started") {
        uiState_ = RecorderUIState::recording;
        recordingApp_ = field("app");
        systemSource_ = field("system_source");
        if (const auto part = partName(); part && systemSource_) {
            partSources_[*part] = *systemSource_;
        }
    } else if (name == "system_audio_source") {
        if (field("reason") != "no_app_playback") {
            return;
        }
        systemSource_ = fallbackSource;
        if (const auto part = partName()) {
            partSources_[*part] = fallbackSource;
        }
    } else if (name == "armed" || name == "resumed") {
        // A resumed core is ARMED; the ticks announce what follows.
        uiState_ = RecorderUIState::armed;
        recordingApp_.reset();
        systemSource_.reset();
    } else if (name == "debouncing") {
        uiState_ = RecorderUIState::debouncing;
    } else if (name == "idle_grace") {
        uiState_ = RecorderUIState::idleGrace;
    } else if (name == "finalising") {
        uiState_ = RecorderUIState::finalising;
    } else if (name == "paused") {
        uiState_ = RecorderUIState::paused;
    } else if (name == "finalized") {
        if (const auto directory = field("directory")) {
            lastFinalizedDirectory_ = std::filesystem::path(*directory);
        }
    } else if (name == "mic_ignored") {
        if (const auto app = field("bundleID"); app && ignoredObserver_) {
            ignoredObserver_(*app);
        }
        return;
    } else if (name == "error_visible") {
        uiState_ = RecorderUIState::errorVisible;
        if (const auto detail = field("detail")) {
            terminationInfo_ = EngineTerminationInfo{"error_visible", *detail};
        }
    } else {
        return;
    }
    changed();
}

void RecorderController::engineEnded(const std::weak_ptr<RecordingEngine>& ended) {
    // `ending_` holds the engine it names, so that one is still there.
    if (!ending_ || ended.lock() != ending_) {
        return;
    }
    ending_.reset();
    if (const std::optional<std::string> device = std::exchange(startWhenEnded_, std::nullopt)) {
        start(*device);
    }
}

void RecorderController::handleTermination(const EngineTermination& termination, std::uint64_t generation) {
    if (generation != engineGeneration_ || !engine_) {
        return;
    }
    engine_.reset();
    switch (termination.kind) {
    case EngineTermination::Kind::permissionNotGranted:
        uiState_ = RecorderUIState::permissionNotGranted;
        permissionContext_ = RecorderPermissionContext::from(termination.service, termination.detail);
        requestingMicrophone_ = false;
        microphoneChoicePending_ = false;
        terminationInfo_ =
            EngineTerminationInfo{"permission_not_granted", termination.service + ": " + termination.detail};
        break;
    case EngineTermination::Kind::deadGrant:
        uiState_ = RecorderUIState::deadGrant;
        permissionContext_.reset();
        terminationInfo_ = EngineTerminationInfo{"dead_grant", termination.detail};
        break;
    case EngineTermination::Kind::failure:
        uiState_ = RecorderUIState::failure;
        permissionContext_.reset();
        terminationInfo_ = EngineTerminationInfo{"failure", termination.detail};
        if (const FailureCause cause = failureCause(termination.detail);
            soundServerProbe_ && lastDeviceId_ && cause != FailureCause::other) {
            // The run already finished its part (as interrupted) before it
            // ended; the next one starts on the server that comes back.
            awaitingSoundServer_ = true;
            continuation_ = termination.call;
            if (cause == FailureCause::soundServerLost) {
                terminationInfo_->detail = soundServerLostDetail;
                probeSoundServer(engineGeneration_);
            } else {
                terminationInfo_->detail = soundFaultDetail + termination.detail;
                probeSoundServerLater(engineGeneration_);
            }
        }
        break;
    case EngineTermination::Kind::stopped:
        uiState_ = RecorderUIState::stopped;
        terminationInfo_.reset();
        break;
    }
    changed();
}

void RecorderController::probeSoundServer(std::uint64_t generation) {
    runInBackground([probe = soundServerProbe_, generation, alive = std::weak_ptr<bool>(alive_),
                     &executor = executor_, this] {
        const bool answers = probe();
        executor.post([alive, answers, generation, this] {
            if (!alive.lock() || generation != engineGeneration_ || engine_ || !awaitingSoundServer_) {
                return; // stopped, started by hand, or gone meanwhile
            }
            if (answers) {
                start(*lastDeviceId_);
                return;
            }
            probeSoundServerLater(generation);
        });
    });
}

void RecorderController::probeSoundServerLater(std::uint64_t generation) {
    executor_.postAfter(soundServerRetryInterval, [alive = std::weak_ptr<bool>(alive_), generation, this] {
        if (alive.lock() && generation == engineGeneration_ && awaitingSoundServer_) {
            probeSoundServer(generation);
        }
    });
}

void RecorderController::changed() {
    if (observer_) {
        observer_();
    }
}

void RecorderController::runInBackground(std::function<void()> work) {
    std::erase_if(background_, [](const std::unique_ptr<Background>& task) { return task->done.load(); });
    background_.push_back(std::make_unique<Background>(std::move(work)));
}

} // namespace zoq
