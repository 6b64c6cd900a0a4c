#pragma once

#include "ZoqCaptureEngine/EngineConfiguration.h"
#include "ZoqCaptureEngine/EngineEvent.h"
#include "ZoqCaptureEngine/EngineTermination.h"
#include "ZoqCaptureEngine/MicrophonePermission.h"
#include "ZoqCaptureEngine/RecordingEngine.h"
#include "ZoqShell/Recorder/MainExecutor.h"
#include "ZoqShell/Recorder/RecorderPermissionContext.h"
#include "ZoqShell/Recorder/RecorderUIState.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zoq {

class ShellSettings;

/// The main thread's face of the capture engine: arms recording by creating
/// and starting an engine, turns its events and its termination into the
/// state the menu shows, asks for the microphone on request, and stops,
/// pauses or re-arms.
///
/// Everything here runs on the main thread (the executor's). Engine events
/// arrive on the engine's queue and are posted to the main thread; each
/// engine's blocking `wait` runs on a background thread of its own, whose
/// result is posted back with the engine's generation: `stop()` and every new
/// start advance the generation, so the late termination of an engine that
/// was stopped changes nothing. Events are applied whatever their engine.
///
/// What is shown comes from the engine: a new engine shows `starting` until
/// it announces its state (armed, or paused when the person's pause from an
/// earlier run is still in force). Pause and resume are commands the engine
/// applies in the order they were given, against its own state, never a
/// decision taken on what the menu showed when the command came.
///
/// `settings` and `executor` are borrowed and must outlive the controller.
/// Destroying the controller stops a running engine and waits for it (every
/// captured frame reaches the spool), so it never leaves a recording behind.
class RecorderController {
public:
    using EngineFactory = std::function<std::shared_ptr<RecordingEngine>(const EngineConfiguration&,
                                                                         std::shared_ptr<EventSinking>)>;
    using MicrophoneRequester = std::function<MicrophonePermissionResult()>;
    /// Whether the sound server answers now (blocking, a few seconds at most).
    using SoundServerProbe = std::function<bool()>;

    static constexpr double chimeFrequency = 880;
    static constexpr double chimeDuration = 0.12;
    /// How often a run the sound server ended asks whether it is back.
    static constexpr std::chrono::seconds soundServerRetryInterval{5};
    /// What the status says meanwhile.
    static constexpr const char* soundServerLostDetail =
        "sound server lost — recording resumes when it is back";
    /// Before the engine's text, after a fault of the server or the devices.
    static constexpr const char* soundFaultDetail = "audio fault — recording resumes in a few seconds: ";
    /// A part that was to record only the recorded application's playback
    /// but heard none of it and records everything the computer plays.
    static constexpr const char* fallbackSource = "fallback";

    /// With a `soundServerProbe`, a run that ended because the sound server
    /// went away (or was not there) is armed again as soon as the server
    /// answers, checked at once and then every `soundServerRetryInterval`:
    /// the server restarts in ordinary use. A run ended by another fault of
    /// the server or the devices (`FailureCause`) is armed the same way, but
    /// only after a first `soundServerRetryInterval`, so a fault that stays
    /// costs one attempt per interval. A call such a run was recording goes
    /// on in the next run, as the next part of its session, when it still
    /// holds the microphone then. Every other failure waits for the person.
    RecorderController(ShellSettings& settings, MainExecutor& executor, std::filesystem::path spoolRoot,
                       EngineFactory engineFactory, MicrophoneRequester microphoneRequester,
                       SoundServerProbe soundServerProbe = {});
    ~RecorderController();
    RecorderController(const RecorderController&) = delete;
    RecorderController& operator=(const RecorderController&) = delete;

    /// Called on the main thread after every change of the state below.
    void onChange(std::function<void()> observer) { observer_ = std::move(observer); }
    /// Called on the main thread with the bundle identifier of each
    /// application the engine saw using the microphone without being allowed
    /// (once per engine run and application).
    void onIgnoredApp(std::function<void(const std::string&)> observer) {
        ignoredObserver_ = std::move(observer);
    }

    RecorderUIState uiState() const noexcept { return uiState_; }
    const std::optional<std::string>& recordingApp() const noexcept { return recordingApp_; }
    /// What the right channel of the part being recorded holds: "all",
    /// "recordedApp" or `fallbackSource`; none outside a part, or when the
    /// engine did not say.
    const std::optional<std::string>& systemSource() const noexcept { return systemSource_; }
    /// The same for every part recorded since the controller was made, by
    /// spool directory name (the part's last word: a fallback replaces
    /// "recordedApp"). Kept for the recordings list and the upload history.
    const std::map<std::string, std::string>& partSources() const noexcept { return partSources_; }
    const std::optional<EngineTerminationInfo>& terminationInfo() const noexcept { return terminationInfo_; }
    const std::optional<std::filesystem::path>& lastFinalizedDirectory() const noexcept {
        return lastFinalizedDirectory_;
    }
    const std::optional<RecorderPermissionContext>& permissionContext() const noexcept {
        return permissionContext_;
    }
    bool isRequestingMicrophonePermission() const noexcept { return requestingMicrophone_; }
    bool microphoneChoicePending() const noexcept { return microphoneChoicePending_; }
    /// Recording is switched on: an engine runs, or the last one ended with
    /// the sound server and the next starts when it answers.
    bool isRunning() const noexcept { return engine_ != nullptr || awaitingSoundServer_ || startWhenEnded_; }
    /// An engine runs now (it can take a pause or a resume).
    bool hasEngine() const noexcept { return engine_ != nullptr; }
    /// The last run ended with the sound server; a new one starts when it answers.
    bool awaitingSoundServer() const noexcept { return awaitingSoundServer_; }
    bool showsRedIndicator() const noexcept { return isCaptureActive(uiState_); }

    /// Arms recording under `deviceId`; nothing while an engine runs.
    void start(const std::string& deviceId);
    /// Switches recording off: stops the engine (its open part is finished)
    /// or ends waiting for the sound server, and stores the choice.
    void stop();
    /// Pause and resume the running engine, after every command given
    /// before; each changes nothing when the engine is already there.
    /// `applied` runs on the main thread once the engine has applied the
    /// command and its events have been shown (at once without an engine).
    void pause(std::function<void()> applied = {});
    void resume(std::function<void()> applied = {});
    /// The hotkey: resumes when the engine is paused, pauses otherwise, as
    /// the engine finds itself once the commands before are applied.
    void togglePause(std::function<void()> applied = {});
    /// Runs `applied` on the main thread once the engine has applied every
    /// command given before (its start included) and its events have been
    /// shown; at once without an engine.
    void afterCommands(std::function<void()> applied);
    /// Restarts a running engine (with `currentDeviceId`) so changed settings
    /// take effect.
    void applySettings(const std::optional<std::string>& currentDeviceId);
    /// Asks for the microphone again, after the engine ended because the
    /// microphone's permission was not decided.
    void requestMicrophonePermission();

    /// The configuration an engine started now would get.
    EngineConfiguration configuration(const std::string& deviceId) const;

private:
    class EventForwarder;
    struct Background;

    void handleEvent(const std::string& name, const EngineEvent::Fields& fields);
    /// An engine's run is over (main thread): a start that waited for it goes on.
    void engineEnded(const std::weak_ptr<RecordingEngine>& ended);
    void handleTermination(const EngineTermination& termination, std::uint64_t generation);
    void finishMicrophoneRequest(const MicrophonePermissionResult& result);
    void changed();
    void runInBackground(std::function<void()> work);
    void probeSoundServer(std::uint64_t generation);
    void probeSoundServerLater(std::uint64_t generation);
    enum class Command : unsigned char { pause, resume, toggle };
    void command(Command command, std::function<void()> applied);

    ShellSettings& settings_;
    MainExecutor& executor_;
    const std::filesystem::path spoolRoot_;
    EngineFactory engineFactory_;
    MicrophoneRequester microphoneRequester_;
    SoundServerProbe soundServerProbe_;
    std::function<void()> observer_;
    std::function<void(const std::string&)> ignoredObserver_;

    RecorderUIState uiState_ = RecorderUIState::stopped;
    std::optional<std::string> recordingApp_;
    std::optional<std::string> systemSource_;
    std::map<std::string, std::string> partSources_;
    std::optional<EngineTerminationInfo> terminationInfo_;
    std::optional<std::filesystem::path> lastFinalizedDirectory_;
    std::optional<RecorderPermissionContext> permissionContext_;
    bool requestingMicrophone_ = false;
    bool microphoneChoicePending_ = false;
    bool awaitingSoundServer_ = false;
    /// The call the last run was recording when the sound server ended it;
    /// the next run goes on with it.
    std::optional<CallContinuation> continuation_;
    std::shared_ptr<RecordingEngine> engine_;
    // A stopped engine finishes its open part on its own queue and lets go
    // of the spool's lock only then: a new engine started meanwhile would
    // find the spool locked. So a start while the last engine is still
    // ending (kept here) waits for it, with the device it was asked for.
    std::shared_ptr<RecordingEngine> ending_;
    std::optional<std::string> startWhenEnded_;
    std::uint64_t engineGeneration_ = 0;
    std::optional<std::string> lastDeviceId_;

    // Work posted from other threads checks this before touching the
    // controller (posted work runs on the main thread, as the destructor does).
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<std::unique_ptr<Background>> background_;
};

} // namespace zoq
