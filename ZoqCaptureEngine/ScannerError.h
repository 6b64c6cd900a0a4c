#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// A reading of the sound server that defines the hardware, or the
/// subscription to its changes, failed. One case, `propertyFailed`, with a
/// text saying what failed: a failed server call ("graph: Connection
/// terminated (11)"), "device_format:" + a default device that cannot be
/// found, "add_listener:" + the failed call, the listener removal errors
/// joined with ",", or the engine's "hardware_teardown:" text.
class ScannerError : public std::exception {
public:
    static ScannerError propertyFailed(std::string text) { return ScannerError(std::move(text)); }

    const std::string& text() const noexcept { return text_; }
    /// `propertyFailed("…")`.
    const char* what() const noexcept override { return description_.c_str(); }
    std::string description() const { return description_; }

    friend bool operator==(const ScannerError& a, const ScannerError& b) noexcept {
        return a.text_ == b.text_;
    }

private:
    explicit ScannerError(std::string text)
        : text_(std::move(text)), description_("propertyFailed(\"" + text_ + "\")") {}

    std::string text_;
    std::string description_;
};

/// The four characters of a status code, most significant byte first, when all
/// four are printable ASCII; otherwise the code in decimal.
std::string fourCC(std::int32_t code);

} // namespace zoq
