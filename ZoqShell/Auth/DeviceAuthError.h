#pragma once

#include <exception>

namespace zoq {

/// The errors of device authentication. They carry no text of their own: the
/// transport's message is dropped on purpose, so no part of a request (a URL
/// with an identifier, a header) can travel further in an error.
class DeviceAuthError : public std::exception {
public:
    enum class Kind : unsigned char {
        /// A request was not delivered or produced no response.
        network,
        /// For callers that need to say "not paired"; `DeviceAuth` itself
        /// answers an unpaired device with `AuthenticatedOutcome::blockedAuth`.
        notPaired,
    };

    static DeviceAuthError network() noexcept { return DeviceAuthError(Kind::network); }
    static DeviceAuthError notPaired() noexcept { return DeviceAuthError(Kind::notPaired); }

    Kind kind() const noexcept { return kind_; }
    /// "network" or "notPaired".
    const char* what() const noexcept override { return kind_ == Kind::network ? "network" : "notPaired"; }

    friend bool operator==(const DeviceAuthError& a, const DeviceAuthError& b) noexcept {
        return a.kind_ == b.kind_;
    }

private:
    explicit DeviceAuthError(Kind kind) noexcept : kind_(kind) {}

    Kind kind_;
};

} // namespace zoq
