#pragma once

#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace zoq {

/// Where the capture decision stands. The upper-case raw value (`toText`) is
/// the state's only textual form: it is what events and stored files carry.
enum class CaptureState : std::uint8_t {
    armed,        ///< "ARMED": waiting for an allowed application to take input
    debouncing,   ///< "DEBOUNCING": an allowed application took input; audio is pre-buffered
    recording,    ///< "RECORDING": a part is being written
    idleGrace,    ///< "IDLE_GRACE": no allowed application any more; the part goes on a while
    finalising,   ///< "FINALISING": the part's finish was handed to the owner
    paused,       ///< "PAUSED": the user paused recording
    errorVisible, ///< "ERROR_VISIBLE": applying an action failed; audio is ignored
};

/// The raw value, e.g. "IDLE_GRACE".
std::string_view toText(CaptureState state) noexcept;

/// The state whose raw value is exactly `text`. Throws
/// `CoreError::invalid("capture state")` for any other text.
CaptureState captureStateFromText(std::string_view text);

std::ostream& operator<<(std::ostream& out, CaptureState state);

} // namespace zoq
