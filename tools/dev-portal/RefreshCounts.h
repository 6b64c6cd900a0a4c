#pragma once

#include "ZoqCore/Wire/JSONValue.h"

#include <cstdint>

namespace zoq::portal {

/// How the development portal answered credential refreshes, so tests can see
/// what a device sent: a device that shares its credentials correctly never
/// presents a refresh token that a rotation already replaced.
struct RefreshCounts {
    /// Refreshes that rotated the credentials.
    std::int64_t rotated = 0;
    /// Resends of an answered refresh (same request id and token), answered
    /// again with the same credentials.
    std::int64_t resent = 0;
    /// Refused: the token was replaced by an earlier rotation.
    std::int64_t retiredToken = 0;
    /// Refused: a token the portal never issued, or a request id reused with
    /// another token.
    std::int64_t unknownToken = 0;

    friend bool operator==(const RefreshCounts&, const RefreshCounts&) = default;

    /// {"resent", "retiredToken", "rotated", "unknownToken"}.
    JSONValue json() const {
        return JSONValue(JSONValue::Object{{"resent", resent},
                                           {"retiredToken", retiredToken},
                                           {"rotated", rotated},
                                           {"unknownToken", unknownToken}});
    }
};

} // namespace zoq::portal
