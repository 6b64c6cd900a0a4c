#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// Why the tap session could not start, or why one of its streams ended.
///
/// Statuses are the sound server's error codes (`AudioBackendError`'s), and
/// `detail` is the server's text for them. On the sound server the "tap" is
/// the record stream of the default sink's monitor (the system mix) and the
/// microphone "engine" is the record stream of the default source.
///
/// | case | when |
/// |---|---|
/// | `tapCreationFailed(status)` | the system-mix stream was refused |
/// | `engineStartFailed` | the microphone stream was refused (with its status), or a stream runs in a format
/// the session cannot take | | `missingDefaultOutput` | there is no default sink, or no monitor source for it
/// | | `tapCreationDeniedOwnProcessUnknown` | this connection has no client index (it is not connected), so
/// its own streams could not be told apart | | `streamEnded(status)` | a running stream ended on the server's
/// side (its device went away, the server died) | | `aggregateCreationFailed`, `ioProcCreationFailed`,
/// `deviceStartFailed` | not produced on the sound server: it has no aggregate devices or I/O procedures |
class TapError : public std::exception {
public:
    enum class Kind : std::uint8_t {
        tapCreationFailed,
        aggregateCreationFailed,
        ioProcCreationFailed,
        deviceStartFailed,
        tapCreationDeniedOwnProcessUnknown,
        engineStartFailed,
        missingDefaultOutput,
        streamEnded,
    };

    TapError(Kind kind, std::int32_t status = 0, std::string detail = {});

    Kind kind() const noexcept { return kind_; }
    std::int32_t status() const noexcept { return status_; }
    const std::string& detail() const noexcept { return detail_; }
    /// The case name, its status in parentheses when it has one, then the
    /// detail: "tapCreationFailed(5): record_stream: No such entity (5)".
    const char* what() const noexcept override { return description_.c_str(); }
    std::string description() const { return description_; }

    static const char* name(Kind kind) noexcept;

    friend bool operator==(const TapError& a, const TapError& b) noexcept {
        return a.kind_ == b.kind_ && a.status_ == b.status_;
    }

private:
    Kind kind_;
    std::int32_t status_;
    std::string detail_;
    std::string description_;
};

} // namespace zoq
