#include "ZoqShell/Recorder/RecorderUIState.h"

namespace zoq {

std::string_view rawValue(RecorderUIState state) noexcept {
    switch (state) {
    case RecorderUIState::stopped:
        return "stopped";
    case RecorderUIState::starting:
        return "starting";
    case RecorderUIState::armed:
        return "armed";
    case RecorderUIState::debouncing:
        return "debouncing";
    case RecorderUIState::recording:
        return "recording";
    case RecorderUIState::idleGrace:
        return "idleGrace";
    case RecorderUIState::finalising:
        return "finalising";
    case RecorderUIState::paused:
        return "paused";
    case RecorderUIState::errorVisible:
        return "errorVisible";
    case RecorderUIState::permissionNotGranted:
        return "permissionNotGranted";
    case RecorderUIState::deadGrant:
        return "deadGrant";
    case RecorderUIState::failure:
        return "failure";
    }
    return "stopped";
}

} // namespace zoq
