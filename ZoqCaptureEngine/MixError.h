#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// Why the stereo frame mixer cannot hand out frames. Every case ends the
/// capture pipeline; `what()` is the case name ("lateData").
class MixError : public std::exception {
public:
    enum class Kind : std::uint8_t {
        emptyWindow,     ///< part of the vocabulary; no operation raises it
        windowTooLong,   ///< a pull would span more than its maximum; nothing was consumed
        lateData,        ///< a segment reached back into audio already handed out
        backlogExceeded, ///< more audio would be buffered than the mixer holds
    };

    explicit MixError(Kind kind) noexcept : kind_(kind) {}

    static MixError emptyWindow() noexcept { return MixError{Kind::emptyWindow}; }
    static MixError windowTooLong() noexcept { return MixError{Kind::windowTooLong}; }
    static MixError lateData() noexcept { return MixError{Kind::lateData}; }
    static MixError backlogExceeded() noexcept { return MixError{Kind::backlogExceeded}; }

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }
    const char* what() const noexcept override;

    friend bool operator==(const MixError& a, const MixError& b) noexcept { return a.kind_ == b.kind_; }

private:
    Kind kind_;
};

} // namespace zoq
