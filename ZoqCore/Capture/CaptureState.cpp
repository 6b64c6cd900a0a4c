#include "ZoqCore/Capture/CaptureState.h"

#include "ZoqCore/Support/CoreError.h"

#include <array>
#include <ostream>
#include <utility>

namespace zoq {
namespace {

constexpr std::array<std::pair<CaptureState, std::string_view>, 7> rawValues{{
    {CaptureState::armed, "ARMED"},
    {CaptureState::debouncing, "DEBOUNCING"},
    {CaptureState::recording, "RECORDING"},
    {CaptureState::idleGrace, "IDLE_GRACE"},
    {CaptureState::finalising, "FINALISING"},
    {CaptureState::paused, "PAUSED"},
    {CaptureState::errorVisible, "ERROR_VISIBLE"},
}};

} // namespace

std::string_view toText(CaptureState state) noexcept {
    for (const auto& [candidate, text] : rawValues) {
        if (candidate == state) {
            return text;
        }
    }
    return "UNKNOWN";
}

CaptureState captureStateFromText(std::string_view text) {
    for (const auto& [state, candidate] : rawValues) {
        if (candidate == text) {
            return state;
        }
    }
    throw CoreError::invalid("capture state");
}

std::ostream& operator<<(std::ostream& out, CaptureState state) {
    return out << toText(state);
}

} // namespace zoq
