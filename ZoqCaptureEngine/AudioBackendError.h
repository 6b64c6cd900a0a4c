#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace zoq {

/// A sound-server call that failed: the server's error code (the values are
/// libpulse's, so they pass through unchanged), the operation that failed and
/// the server's own text for the code.
class AudioBackendError : public std::exception {
public:
    static constexpr std::int32_t accessDenied = 1;
    static constexpr std::int32_t invalidArgument = 3;
    static constexpr std::int32_t noEntity = 5;
    static constexpr std::int32_t connectionRefused = 6;
    static constexpr std::int32_t timeout = 8;
    static constexpr std::int32_t connectionTerminated = 11;
    static constexpr std::int32_t killed = 12;
    static constexpr std::int32_t badState = 15;

    AudioBackendError(std::int32_t code, std::string operation, std::string text);

    std::int32_t code() const noexcept { return code_; }
    const std::string& operation() const noexcept { return operation_; }
    /// "connect: Connection refused (6)".
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::int32_t code_;
    std::string operation_;
    std::string message_;
};

/// Whether a failure text says the sound server itself went away (the
/// connection was terminated) or is not there (refused): what a server
/// restart looks like to a run, as opposed to a fault of the run.
bool isSoundServerLoss(std::string_view failureText) noexcept;

} // namespace zoq
