#include "ZoqShell/Recorder/SystemRecording.h"

#include "ZoqCaptureEngine/CaptureEngine.h"
#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCore/Support/CoreClock.h"

namespace zoq {
namespace {

constexpr double microphoneRequestSeconds = 115;

/// A capture engine with the clock and the sink it borrows.
class OwnedCaptureEngine final : public RecordingEngine {
public:
    OwnedCaptureEngine(const EngineConfiguration& config, std::shared_ptr<EventSinking> sink,
                       CaptureEngine::Platform platform)
        : sink_(std::move(sink)), engine_(config, *sink_, clock_, std::move(platform)) {}

    void start() override { engine_.start(); }
    void stop() override { engine_.stop(); }
    void pause() override { engine_.pause(); }
    void resume() override { engine_.resume(); }
    void togglePause() override { engine_.togglePause(); }
    void afterCommands(std::function<void()> done) override { engine_.afterCommands(std::move(done)); }
    EngineTermination wait() override { return engine_.wait(); }

private:
    HostClock clock_;
    std::shared_ptr<EventSinking> sink_;
    CaptureEngine engine_;
};

} // namespace

RecorderController::EngineFactory SystemRecording::engineFactory(SleepObservation observeSleep) {
    return [observeSleep](const EngineConfiguration& config, std::shared_ptr<EventSinking> sink) {
        CaptureEngine::Platform platform = CaptureEngine::systemPlatform();
        if (observeSleep) {
            platform.observeSleep = observeSleep;
        }
        return std::make_shared<OwnedCaptureEngine>(config, std::move(sink), std::move(platform));
    };
}

RecorderController::MicrophoneRequester SystemRecording::microphoneRequester() {
    return [] {
        try {
            LibpulseBackend backend;
            return SoundServerMicrophoneAccess(backend).requestOnceIfNotDetermined(microphoneRequestSeconds);
        } catch (const std::exception&) {
            // No sound server to ask: nothing can be recorded either.
            return MicrophonePermissionResult{MicrophoneAuthorizationState::denied,
                                              MicrophoneAuthorizationState::denied, false, false};
        }
    };
}

RecorderController::SoundServerProbe SystemRecording::soundServerProbe() {
    return [] {
        try {
            LibpulseBackend::Options options;
            options.applicationName = "zoq probe";
            options.deadline = std::chrono::milliseconds(2'000);
            const LibpulseBackend backend(options);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
}

} // namespace zoq
