#pragma once

#include "ZoqShell/Transport/TransportUnavailable.h"

#include <exception>

namespace zoq {

/// The errors of device authentication. They carry no text of their own: the
/// transport's message is dropped on purpose, so no part of a request (a URL
/// with an identifier, a header) can travel further in an error. A network
/// error keeps the transport's `problem` (a kind, no text) for the person.
class DeviceAuthError : public std::exception {
public:
    enum class Kind : unsigned char {
        /// A request was not delivered or produced no response.
        network,
        /// For callers that need to say "not paired"; `DeviceAuth` itself
        /// answers an unpaired device with `AuthenticatedOutcome::blockedAuth`.
        notPaired,
    };

    using Problem = TransportUnavailable::Problem;

    static DeviceAuthError network(Problem problem = Problem::unknown) noexcept {
        return DeviceAuthError(Kind::network, problem);
    }
    static DeviceAuthError notPaired() noexcept { return DeviceAuthError(Kind::notPaired); }

    Kind kind() const noexcept { return kind_; }
    Problem problem() const noexcept { return problem_; }
    /// "network" or "notPaired".
    const char* what() const noexcept override { return kind_ == Kind::network ? "network" : "notPaired"; }

    friend bool operator==(const DeviceAuthError& a, const DeviceAuthError& b) noexcept {
        return a.kind_ == b.kind_;
    }

private:
    explicit DeviceAuthError(Kind kind, Problem problem = Problem::unknown) noexcept
        : kind_(kind), problem_(problem) {}

    Kind kind_;
    Problem problem_;
};

} // namespace zoq
