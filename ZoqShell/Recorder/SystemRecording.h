#pragma once

#include "ZoqShell/Recorder/RecorderController.h"

namespace zoq {

/// The production parts of the recorder controller.
struct SystemRecording {
    SystemRecording() = delete;

    /// Subscribes to the computer's sleep and wake (see
    /// `CaptureEngine::Platform::observeSleep`); absent for logind's.
    using SleepObservation =
        std::function<std::shared_ptr<void>(std::function<void()> willSleep, std::function<void()> didWake)>;

    /// Engines on the user's sound server, on the host clock.
    static RecorderController::EngineFactory engineFactory(SleepObservation observeSleep = {});
    /// Asks the sound server whether the microphone may be recorded (there
    /// is no prompt on a plain Linux desktop), within 115 s.
    static RecorderController::MicrophoneRequester microphoneRequester();
    /// Connects to the user's sound server to see whether it answers (2 s).
    static RecorderController::SoundServerProbe soundServerProbe();
};

} // namespace zoq
