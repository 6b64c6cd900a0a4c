#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// Why a raw chunk could not be placed on its stream's host-time axis.
/// `what()` is the case name ("discontinuity"), which the engine appends to
/// its termination prefix.
class StreamClockError : public std::exception {
public:
    enum class Kind : std::uint8_t {
        invalidPCM,    ///< wrong channel count, no frames, or a sample count that is not channels × frames
        invalidClock,  ///< a timestamp flag is missing or the sample time is not finite
        discontinuity, ///< the chunk does not continue the stream; the engine starts a new stream with it
        timestampOverflow, ///< a segment position no longer fits in 64-bit nanoseconds
    };

    explicit StreamClockError(Kind kind) noexcept : kind_(kind) {}

    static StreamClockError invalidPCM() noexcept { return StreamClockError{Kind::invalidPCM}; }
    static StreamClockError invalidClock() noexcept { return StreamClockError{Kind::invalidClock}; }
    static StreamClockError discontinuity() noexcept { return StreamClockError{Kind::discontinuity}; }
    static StreamClockError timestampOverflow() noexcept { return StreamClockError{Kind::timestampOverflow}; }

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }
    const char* what() const noexcept override;

    friend bool operator==(const StreamClockError& a, const StreamClockError& b) noexcept {
        return a.kind_ == b.kind_;
    }

private:
    Kind kind_;
};

} // namespace zoq
