#pragma once

#include "ZoqCore/Support/Date.h"

#include <cstdint>
#include <string>

namespace zoq {

/// A refresh of the device credentials that was decided (and saved) but whose
/// outcome is not known yet.
struct PendingRefresh {
    /// The refresh request's identifier (a UUID text); a resend carries the same
    /// one, so the portal recognises it as the same refresh.
    std::string requestId;
    /// The credential generation being refreshed.
    std::int64_t generation = 0;
    /// When the refresh was first decided.
    Date startedAt;

    friend bool operator==(const PendingRefresh&, const PendingRefresh&) = default;
};

} // namespace zoq
