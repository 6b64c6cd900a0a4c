#pragma once

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Transport/TransportResponse.h"

#include <optional>

namespace zoq {

/// The result of an authenticated call: the portal's response (any status but
/// 401, or the 401 left after the last permitted refresh), or `blockedAuth`
/// when there are no usable credentials (not paired, blocked, or the refresh
/// produced none). A plain value.
class AuthenticatedOutcome {
public:
    enum class Kind : unsigned char { response, blockedAuth };

    static AuthenticatedOutcome response(TransportResponse response) {
        AuthenticatedOutcome outcome(Kind::response);
        outcome.response_ = std::move(response);
        return outcome;
    }
    static AuthenticatedOutcome blockedAuth() { return AuthenticatedOutcome(Kind::blockedAuth); }

    Kind kind() const noexcept { return kind_; }
    /// The response of the `response` case; throws `CoreError::invalidState`
    /// for `blockedAuth`.
    const TransportResponse& transportResponse() const {
        if (!response_) {
            throw CoreError::invalidState();
        }
        return *response_;
    }

    friend bool operator==(const AuthenticatedOutcome&, const AuthenticatedOutcome&) = default;

private:
    explicit AuthenticatedOutcome(Kind kind) noexcept : kind_(kind) {}

    Kind kind_;
    std::optional<TransportResponse> response_;
};

} // namespace zoq
