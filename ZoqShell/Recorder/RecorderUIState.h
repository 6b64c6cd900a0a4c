#pragma once

#include <string>
#include <string_view>

namespace zoq {

/// What the menu shows of the recorder: the capture states the engine reports,
/// and how its last run ended. The raw values are the case names.
enum class RecorderUIState : unsigned char {
    stopped,
    /// An engine was started and has not yet said whether it is armed or paused.
    starting,
    armed,
    debouncing,
    recording,
    idleGrace,
    finalising,
    paused,
    errorVisible,
    permissionNotGranted,
    deadGrant,
    failure,
};

std::string_view rawValue(RecorderUIState state) noexcept;

/// Capture is active (the red indicator shows) exactly while recording or in
/// the grace period after the call let go.
constexpr bool isCaptureActive(RecorderUIState state) noexcept {
    return state == RecorderUIState::recording || state == RecorderUIState::idleGrace;
}

/// How the last engine run ended, for the menu: `kind` is
/// "permission_not_granted", "dead_grant", "failure" or "error_visible".
struct EngineTerminationInfo {
    std::string kind;
    std::string detail;
    friend bool operator==(const EngineTerminationInfo&, const EngineTerminationInfo&) = default;
};

} // namespace zoq
