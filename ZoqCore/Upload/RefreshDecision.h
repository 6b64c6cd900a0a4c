#pragma once

#include "ZoqCore/Wire/WireDocument.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// What the credential coordinator tells a caller whose request was answered
/// 401. A plain value; each case carries only its own payload.
class RefreshDecision {
public:
    /// The cases, in their fixed order.
    enum class Kind : std::uint8_t {
        retryCurrent, ///< newer credentials exist (`generation`): retry with them
        send,         ///< send this `deviceRefreshRequest` (`request`) now
        joined,       ///< a refresh of this generation is pending (`requestId`): wait for it
        blocked,      ///< send nothing: the device must be paired again
    };

    static RefreshDecision retryCurrent(std::int64_t generation) {
        RefreshDecision decision(Kind::retryCurrent);
        decision.generation_ = generation;
        return decision;
    }
    static RefreshDecision send(WireDocument request) {
        RefreshDecision decision(Kind::send);
        decision.request_ = std::move(request);
        return decision;
    }
    static RefreshDecision joined(std::string requestId) {
        RefreshDecision decision(Kind::joined);
        decision.requestId_ = std::move(requestId);
        return decision;
    }
    static RefreshDecision blocked() { return RefreshDecision(Kind::blocked); }

    Kind kind() const noexcept { return kind_; }

    /// The payload of the matching case; each throws `CoreError::invalidState`
    /// when asked of another case.
    std::int64_t generation() const;
    const WireDocument& request() const;
    const std::string& requestId() const;

    friend bool operator==(const RefreshDecision&, const RefreshDecision&) = default;

private:
    explicit RefreshDecision(Kind kind) noexcept : kind_(kind) {}

    Kind kind_;
    std::int64_t generation_ = 0;
    std::optional<WireDocument> request_;
    std::string requestId_;
};

} // namespace zoq
