#include "ZoqCaptureEngine/FailureCause.h"

#include "ZoqCaptureEngine/AudioBackendError.h"

#include <array>

namespace zoq {

FailureCause failureCause(std::string_view text) noexcept {
    if (isSoundServerLoss(text)) {
        return FailureCause::soundServerLost;
    }
    const auto contains = [&](std::string_view part) { return text.find(part) != std::string_view::npos; };
    // Refused for access reasons: the same answer every time.
    if (contains("Access denied") || text.starts_with("tap_osstatus_1_")) {
        return FailureCause::other;
    }
    // Steps that only touch the server and its devices.
    static constexpr std::array hardwareSteps{
        "tap_start_failed:",        "tap_osstatus_",
        "listener_install_failed:", "hardware_observation_failed:",
        "rebuild_failed:",          "microphone_no_first_pcm",
        "microphone_pcm_stalled",   "system_audio_no_first_pcm",
        "system_audio_pcm_stalled",
    };
    for (const std::string_view step : hardwareSteps) {
        if (text.starts_with(step)) {
            return FailureCause::soundServerFault;
        }
    }
    // Whatever the step: a stream the server ended, or audio that piled up
    // because the server or this process stood still for seconds.
    if (contains("streamEnded") || contains("backlogExceeded") || contains("callback_backlog_exceeded")) {
        return FailureCause::soundServerFault;
    }
    return FailureCause::other;
}

} // namespace zoq
