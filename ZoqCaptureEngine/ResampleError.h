#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// Why a stream's sample-rate conversion failed. `what()` is the case name
/// with its values, e.g. "frameCountMismatch(expected: 160, actual: 200)".
class ResampleError : public std::exception {
public:
    enum class Kind : std::uint8_t {
        frameCountMismatch,      ///< the converter invented or lost frames beyond the slack
        converterCreationFailed, ///< bad rate or channel count, or the converter could not be made
        conversionFailed,        ///< the converter failed, or input came after the end of the stream
    };

    static ResampleError frameCountMismatch(std::int64_t expected, std::int64_t actual) {
        return ResampleError{Kind::frameCountMismatch, expected, actual};
    }
    static ResampleError converterCreationFailed() {
        return ResampleError{Kind::converterCreationFailed, 0, 0};
    }
    static ResampleError conversionFailed() { return ResampleError{Kind::conversionFailed, 0, 0}; }

    Kind kind() const noexcept { return kind_; }
    /// The frame counts of `frameCountMismatch`; 0 for the other cases.
    std::int64_t expected() const noexcept { return expected_; }
    std::int64_t actual() const noexcept { return actual_; }

    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const ResampleError& a, const ResampleError& b) noexcept {
        return a.kind_ == b.kind_ && a.expected_ == b.expected_ && a.actual_ == b.actual_;
    }

private:
    ResampleError(Kind kind, std::int64_t expected, std::int64_t actual);

    Kind kind_;
    std::int64_t expected_;
    std::int64_t actual_;
    std::string description_;
};

} // namespace zoq
