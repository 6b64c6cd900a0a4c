#include "ZoqCaptureEngine/FailureCause.h"
#include "ZoqShell/Recorder/MainLoop.h"
#include "ZoqShell/Recorder/RecorderController.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "tests/TestSupport/TempDirectory.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace zoq {
namespace {

using namespace std::chrono_literals;
using State = RecorderUIState;

/// An engine the test drives: it records the commands it gets, emits the
/// events the test gives it, and ends when the test says so.
class FakeEngine final : public RecordingEngine {
public:
    FakeEngine(EngineConfiguration configuration, std::shared_ptr<EventSinking> eventSink)
        : config(std::move(configuration)), sink(std::move(eventSink)) {}

    void start() override { record("start"); }
    void stop() override {
        record("stop");
        if (endsOnStop) {
            finish(EngineTermination::stopped());
        }
    }
    void pause() override { record("pause"); }
    void resume() override { record("resume"); }
    void togglePause() override { record("togglePause"); }
    void afterCommands(std::function<void()> done) override {
        record("afterCommands");
        done();
    }
    EngineTermination wait() override {
        std::unique_lock guard(lock_);
        ended_.wait(guard, [this] { return termination_.has_value(); });
        return *termination_;
    }

    void emit(const std::string& name, EngineEvent::Fields fields = {}) {
        sink->emit(EngineEvent{name, 0, {}, std::move(fields)});
    }
    void finish(EngineTermination termination) {
        {
            const std::lock_guard guard(lock_);
            if (!termination_) {
                termination_ = std::move(termination);
            }
        }
        ended_.notify_all();
    }
    std::vector<std::string> calls() {
        const std::lock_guard guard(lock_);
        return calls_;
    }

    const EngineConfiguration config;
    const std::shared_ptr<EventSinking> sink;
    /// As the real engine does, a stopped one may take a while to finish
    /// its open part (and let go of the spool) after `stop()`.
    std::atomic<bool> endsOnStop = true;

private:
    void record(const char* call) {
        const std::lock_guard guard(lock_);
        calls_.emplace_back(call);
    }
    std::mutex lock_;
    std::condition_variable ended_;
    std::optional<EngineTermination> termination_;
    std::vector<std::string> calls_;
};

class RecorderControllerTest : public ::testing::Test {
protected:
    RecorderControllerTest() {
        settings.setAllowedBundleIDs({"org.example.Call"});
        makeController();
    }
    void makeController(RecorderController::SoundServerProbe probe = {}) {
        controller = std::make_unique<RecorderController>(
            settings, loop, temp / "spool",
            [this](const EngineConfiguration& config, std::shared_ptr<EventSinking> sink) {
                engines.push_back(std::make_shared<FakeEngine>(config, std::move(sink)));
                return engines.back();
            },
            [this] {
                const std::lock_guard guard(answerLock);
                return answer;
            },
            std::move(probe));
    }
    ~RecorderControllerTest() override {
        for (const auto& engine : engines) {
            engine->finish(EngineTermination::stopped());
        }
    }

    /// Runs the main loop until `done()` holds.
    void settle(const std::function<bool()>& done = [] { return true; }) {
        ASSERT_TRUE(loop.runUntil(done, 10s));
    }
    void emit(const std::string& name, EngineEvent::Fields fields = {}) {
        engines.back()->emit(name, std::move(fields));
        settle();
    }
    void end(EngineTermination termination) {
        engines.back()->finish(std::move(termination));
        settle([this] { return !controller->hasEngine(); });
    }

    test::TempDirectory temp;
    ShellSettings settings{temp / "settings.json"};
    MainLoop loop;
    std::vector<std::shared_ptr<FakeEngine>> engines;
    std::mutex answerLock;
    MicrophonePermissionResult answer;
    std::unique_ptr<RecorderController> controller;
};

TEST_F(RecorderControllerTest, EventsBecomeTheStateTheMenuShows) {
    controller->start("device-1");
    controller->start("device-2");
    ASSERT_EQ(engines.size(), 1u) << "a second start while running is ignored";
    EXPECT_EQ(engines[0]->calls(), std::vector<std::string>{"start"});
    EXPECT_EQ(engines[0]->config.deviceId, "device-1");
    EXPECT_EQ(engines[0]->config.allowed, std::set<std::string>{"org.example.Call"});
    EXPECT_EQ(engines[0]->config.alertFrequency, 880);
    EXPECT_TRUE(settings.recorderEnabled());
    EXPECT_EQ(controller->uiState(), State::starting) << "armed or paused: the engine says which";

    const std::vector<std::tuple<std::string, EngineEvent::Fields, State>> steps = {
        {"paused", {{"state", "PAUSED"}}, State::paused}, // booted on a stored pause
        {"resumed", {{"state", "ARMED"}}, State::armed},
        {"debouncing", {}, State::debouncing},
        {"recording_started", {{"app", "org.example.Call"}}, State::recording},
        {"idle_grace", {}, State::idleGrace},
        {"finalising", {}, State::finalising},
        {"finalized", {{"directory", "/spool/a-0"}}, State::finalising},
        {"metrics", {{"state", "ARMED"}}, State::finalising},
        {"armed", {}, State::armed},
        {"paused", {}, State::paused},
        {"resumed", {}, State::armed},
        {"error_visible", {{"detail", "capture_pipeline_failed:lateData"}}, State::errorVisible},
    };
    for (const auto& [name, fields, state] : steps) {
        emit(name, fields);
        EXPECT_EQ(controller->uiState(), state) << name;
        EXPECT_EQ(controller->showsRedIndicator(), state == State::recording || state == State::idleGrace);
    }
    EXPECT_FALSE(controller->recordingApp()) << "no app is recorded once armed again";
    EXPECT_EQ(controller->lastFinalizedDirectory(), std::filesystem::path("/spool/a-0"));
    EXPECT_EQ(controller->terminationInfo(),
              (EngineTerminationInfo{"error_visible", "capture_pipeline_failed:lateData"}));
}

TEST_F(RecorderControllerTest, TerminationsEndTheRunAndALateOneOfAStoppedEngineChangesNothing) {
    struct Case {
        EngineTermination termination;
        State state;
        std::optional<EngineTerminationInfo> info;
        std::optional<RecorderPermissionContext::Status> status;
    };
    for (const Case& c : std::vector<Case>{
             {EngineTermination::permissionNotGranted("microphone", "not_determined"),
              State::permissionNotGranted,
              EngineTerminationInfo{"permission_not_granted", "microphone: not_determined"},
              RecorderPermissionContext::Status::notDetermined},
             {EngineTermination::failure("microphone_no_first_pcm"), State::failure,
              EngineTerminationInfo{"failure", "microphone_no_first_pcm"}, std::nullopt},
             {EngineTermination::deadGrant("no audio"), State::deadGrant,
              EngineTerminationInfo{"dead_grant", "no audio"}, std::nullopt},
             {EngineTermination::stopped(), State::stopped, std::nullopt, std::nullopt},
         }) {
        controller->start("device-1");
        end(c.termination);
        EXPECT_EQ(controller->uiState(), c.state) << c.termination.description();
        EXPECT_EQ(controller->terminationInfo(), c.info) << c.termination.description();
        EXPECT_EQ(controller->permissionContext().has_value(), c.status.has_value());
        if (c.status) {
            EXPECT_EQ(controller->permissionContext()->status, *c.status);
        }
        EXPECT_FALSE(controller->isRunning());
    }

    // Stopped by the person: the old engine's own end, arriving later, is ignored.
    controller->start("device-1");
    const std::shared_ptr<FakeEngine> old = engines.back();
    controller->stop();
    EXPECT_EQ(controller->uiState(), State::stopped);
    EXPECT_FALSE(settings.recorderEnabled());
    controller->start("device-1");
    old->finish(EngineTermination::failure("late"));
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(controller->uiState(), State::starting);
    EXPECT_TRUE(controller->isRunning());
}

// The sound server restarts in ordinary use: a run it ended is armed again
// once it answers; any other failure waits for the person, and so does a
// person who stopped recording meanwhile.
TEST_F(RecorderControllerTest, ARunTheSoundServerEndedIsArmedAgainWhenTheServerAnswers) {
    std::atomic<int> probes = 0;
    std::atomic<bool> serverUp = false;
    makeController([&] {
        ++probes;
        return serverUp.load();
    });
    controller->start("device-1");
    // The server went away mid-call: the call goes on in the next run.
    EngineTermination lost = EngineTermination::failure(
        "shutdown_drain_failed:streamEnded(11): microphone: Connection terminated");
    lost.call = CallContinuation{"session-1", 3, "us.zoom.xos"};
    end(lost);
    EXPECT_EQ(controller->uiState(), State::failure);
    EXPECT_TRUE(controller->awaitingSoundServer());
    EXPECT_EQ(controller->terminationInfo(),
              (EngineTerminationInfo{"failure", RecorderController::soundServerLostDetail}));
    // Meanwhile recording counts as on: the menu offers to stop it, and the
    // choice stored for the next start stays on.
    EXPECT_TRUE(controller->isRunning());
    EXPECT_FALSE(controller->hasEngine());
    EXPECT_TRUE(settings.recorderEnabled());
    settle([&] { return probes >= 1; });
    serverUp = true;
    settle([&] { return controller->hasEngine(); }); // the next check, 5 s on
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines.back()->config.deviceId, "device-1");
    EXPECT_EQ(engines.back()->config.continuation, lost.call);
    EXPECT_EQ(controller->uiState(), State::starting);
    EXPECT_FALSE(controller->awaitingSoundServer());

    end(EngineTermination::failure("core_init_failed:io(open, 13)"));
    EXPECT_FALSE(controller->awaitingSoundServer());
    loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(engines.size(), 2u);

    // Only the run right after takes the call up.
    serverUp = false;
    controller->start("device-1");
    EXPECT_FALSE(engines.back()->config.continuation);
    end(EngineTermination::failure("tap_start_failed:connect: Connection refused (6)"));
    EXPECT_TRUE(controller->awaitingSoundServer());
    controller->stop();
    EXPECT_EQ(controller->uiState(), State::stopped);
    EXPECT_FALSE(settings.recorderEnabled());
    serverUp = true;
    loop.runUntil([] { return false; }, 6s);
    EXPECT_EQ(engines.size(), 3u);
    EXPECT_FALSE(controller->isRunning());
}

// Which endings arm again without the person: everything the sound server
// or the devices caused, by whatever step it surfaced; never the spool, the
// permission or zoq's own faults.
TEST(FailureCause, ServerAndDeviceFaultsAreToldFromEverythingElse) {
    const struct {
        const char* text;
        FailureCause cause;
    } cases[] = {
        {"shutdown_drain_failed:streamEnded(11): microphone: Connection terminated",
         FailureCause::soundServerLost},
        {"tap_start_failed:connect: Connection refused (6)", FailureCause::soundServerLost},
        {"rebuild_failed:streamEnded(12): system mix: Entity killed", FailureCause::soundServerFault},
        {"hardware_observation_failed:device_format:sink \"@DEFAULT_SINK@\"", FailureCause::soundServerFault},
        {"tap_start_failed:missingDefaultOutput: default sink \"\"", FailureCause::soundServerFault},
        {"tap_osstatus_5_0005", FailureCause::soundServerFault},
        {"listener_install_failed:add_listener:subscribe: Timeout (8)", FailureCause::soundServerFault},
        {"microphone_pcm_stalled", FailureCause::soundServerFault},
        {"microphone_no_first_pcm", FailureCause::soundServerFault},
        {"system_audio_pcm_stalled", FailureCause::soundServerFault},
        {"capture_pipeline_failed:backlogExceeded", FailureCause::soundServerFault},
        {"process_transition_failed:backlogExceeded", FailureCause::soundServerFault},
        {"capture_pipeline_failed:streamEnded(12): microphone: Entity killed",
         FailureCause::soundServerFault},
        {"tap_start_failed:engineStartFailed(1): record_stream: Access denied (1)", FailureCause::other},
        {"tap_osstatus_1_0001", FailureCause::other},
        {"core_init_failed:io(open, 13)", FailureCause::other},
        {"capture_pipeline_failed:io(write, 28)", FailureCause::other},
        {"pause_failed:invalidState", FailureCause::other},
        {"capture_pipeline_failed:lateData", FailureCause::other},
        {"", FailureCause::other},
    };
    for (const auto& [text, cause] : cases) {
        EXPECT_EQ(failureCause(text), cause) << text;
    }
}

// A device that went away with no other to take its place, or a server that
// stood still for seconds, ends a run; the next one is armed a retry
// interval later, not at once, so a fault that stays does not spin.
TEST_F(RecorderControllerTest, ARunEndedByADeviceFaultIsArmedAgainAfterAPause) {
    std::atomic<int> probes = 0;
    makeController([&] {
        ++probes;
        return true;
    });
    controller->start("device-1");
    end(EngineTermination::failure("microphone_pcm_stalled"));
    EXPECT_TRUE(controller->awaitingSoundServer());
    EXPECT_EQ(controller->terminationInfo(),
              (EngineTerminationInfo{"failure", std::string(RecorderController::soundFaultDetail) +
                                                    "microphone_pcm_stalled"}));
    loop.runUntil([] { return false; }, 1s);
    EXPECT_EQ(probes, 0);
    EXPECT_EQ(engines.size(), 1u);
    settle([&] { return controller->hasEngine(); });
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines.back()->config.deviceId, "device-1");
    EXPECT_FALSE(controller->awaitingSoundServer());
}

// Pause, resume and the hotkey's toggle go to the engine as they come,
// whatever the menu shows at that moment (here still "starting"); the engine
// applies them in order. Each caller learns when its command took effect.
TEST_F(RecorderControllerTest, PauseCommandsReachTheEngineInOrderAndSettingsRestartIt) {
    bool appliedWithoutEngine = false;
    controller->togglePause(); // stopped: nothing to pause
    controller->pause([&] { appliedWithoutEngine = true; });
    EXPECT_TRUE(appliedWithoutEngine);
    controller->start("device-1");
    std::vector<std::string> applied;
    controller->pause([&] { applied.emplace_back("pause"); });
    controller->resume([&] { applied.emplace_back("resume"); });
    controller->togglePause();
    emit("error_visible");
    controller->togglePause([&] { applied.emplace_back("toggle"); });
    EXPECT_EQ(engines[0]->calls(),
              (std::vector<std::string>{"start", "pause", "afterCommands", "resume", "afterCommands",
                                        "togglePause", "togglePause", "afterCommands"}));
    settle([&] { return applied.size() == 3; });
    EXPECT_EQ(applied, (std::vector<std::string>{"pause", "resume", "toggle"}));

    settings.setAllowedBundleIDs({"org.example.Other"});
    settings.setChimeEnabled(false);
    controller->applySettings(std::nullopt);
    EXPECT_EQ(engines.size(), 1u) << "no device, no restart";
    controller->applySettings("device-2");
    settle([&] { return engines.size() == 2; });
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines[1]->config.allowed, std::set<std::string>{"org.example.Other"});
    EXPECT_EQ(engines[1]->config.alertFrequency, 0);
    EXPECT_EQ(engines[1]->config.deviceId, "device-2");
    EXPECT_EQ(engines[0]->calls().back(), "stop");
}

// A stopped engine finishes its open part and only then lets go of the
// spool's lock: a restart (a changed allowlist, "Always record") starts the
// next engine once the last one has ended, or it would find the spool locked.
TEST_F(RecorderControllerTest, ARestartWaitsForTheStoppedEngineToEnd) {
    controller->start("device-1");
    emit("armed");
    engines[0]->endsOnStop = false;
    controller->applySettings("device-1");
    EXPECT_TRUE(controller->isRunning());
    EXPECT_EQ(controller->uiState(), State::starting);
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(engines.size(), 1u) << "no second engine while the first one still holds the spool";

    engines[0]->finish(EngineTermination::stopped());
    settle([&] { return engines.size() == 2; });
    EXPECT_EQ(engines[1]->calls(), std::vector<std::string>{"start"});
    emit("armed");
    EXPECT_EQ(controller->uiState(), State::armed);

    // Stopped by the person while the start waits: nothing starts.
    engines[1]->endsOnStop = false;
    controller->applySettings("device-1");
    controller->stop();
    EXPECT_FALSE(controller->isRunning());
    engines[1]->finish(EngineTermination::stopped());
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(engines.size(), 2u);
    EXPECT_EQ(controller->uiState(), State::stopped);
}

TEST_F(RecorderControllerTest, AnUndecidedMicrophoneIsAskedForAndAGrantArmsAgain) {
    controller->start("device-1");
    end(EngineTermination::permissionNotGranted("microphone", "not_determined"));

    answer = {MicrophoneAuthorizationState::notDetermined, MicrophoneAuthorizationState::notDetermined, false,
              true};
    controller->requestMicrophonePermission();
    EXPECT_TRUE(controller->isRequestingMicrophonePermission());
    settle([this] { return !controller->isRequestingMicrophonePermission(); });
    EXPECT_TRUE(controller->microphoneChoicePending());
    EXPECT_EQ(controller->permissionContext()->status, RecorderPermissionContext::Status::notDetermined);

    {
        const std::lock_guard guard(answerLock);
        answer = {MicrophoneAuthorizationState::notDetermined, MicrophoneAuthorizationState::authorized, true,
                  false};
    }
    controller->requestMicrophonePermission();
    settle([this] { return controller->isRunning(); });
    EXPECT_FALSE(controller->permissionContext().has_value());
    EXPECT_EQ(engines.back()->config.deviceId, "device-1");

    // Refused: the context says so, and asking again needs an undecided state.
    end(EngineTermination::permissionNotGranted("microphone", "not_determined"));
    {
        const std::lock_guard guard(answerLock);
        answer = {MicrophoneAuthorizationState::notDetermined, MicrophoneAuthorizationState::denied, false,
                  false};
    }
    controller->requestMicrophonePermission();
    settle([this] { return !controller->isRequestingMicrophonePermission(); });
    EXPECT_EQ(controller->permissionContext()->status, RecorderPermissionContext::Status::denied);
    EXPECT_EQ(controller->terminationInfo(),
              (EngineTerminationInfo{"permission_not_granted", "microphone: tcc_denied"}));
    const std::size_t before = engines.size();
    controller->requestMicrophonePermission();
    EXPECT_FALSE(controller->isRequestingMicrophonePermission());
    EXPECT_EQ(engines.size(), before);
}

TEST_F(RecorderControllerTest, GoingAwayStopsTheRunningEngineAndWaitsForIt) {
    controller->start("device-1");
    const std::shared_ptr<FakeEngine> engine = engines.back();
    controller.reset();
    EXPECT_EQ(engine->calls(), (std::vector<std::string>{"start", "stop"}));
}

} // namespace
} // namespace zoq
