#pragma once

#include "ZoqShell/Transport/TransportUnavailable.h"

#include <exception>
#include <string>

namespace zoq {

/// Why a pairing attempt failed.
class PairingError : public std::exception {
public:
    enum class Kind : unsigned char {
        /// The portal answered, but not with usable credentials; `reason` is
        /// the portal's error code, or "HTTP " and the decimal status.
        rejected,
        /// The code fails the local format check; nothing was sent.
        invalidCode,
        /// The request was not delivered or no response arrived.
        network,
    };

    static PairingError rejected(std::string reason) {
        return PairingError(Kind::rejected, std::move(reason));
    }
    static PairingError invalidCode() { return PairingError(Kind::invalidCode, {}); }
    /// `problem` says for the person why nothing arrived; it is not part of
    /// the fixed text nor of equality.
    static PairingError
    network(TransportUnavailable::Problem problem = TransportUnavailable::Problem::unknown) {
        PairingError error(Kind::network, {});
        error.problem_ = problem;
        return error;
    }

    Kind kind() const noexcept { return kind_; }
    /// The rejection text; empty for the other kinds.
    const std::string& reason() const noexcept { return reason_; }
    TransportUnavailable::Problem problem() const noexcept { return problem_; }
    /// rejected("invalid_pairing_code"), invalidCode or network.
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const PairingError& a, const PairingError& b) noexcept {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_;
    }

private:
    PairingError(Kind kind, std::string reason)
        : kind_(kind), reason_(std::move(reason)),
          text_(kind == Kind::rejected      ? "rejected(\"" + reason_ + "\")"
                : kind == Kind::invalidCode ? "invalidCode"
                                            : "network") {}

    Kind kind_;
    TransportUnavailable::Problem problem_ = TransportUnavailable::Problem::unknown;
    std::string reason_;
    std::string text_;
};

} // namespace zoq
