#pragma once

#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Upload/PendingRefresh.h"
#include "ZoqCore/Wire/DeviceCredentialsResponse.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/WireDocument.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// Everything the credential coordinator knows, saved as one unit: the
/// credentials in force, their generation, the refresh in flight and whether
/// the device is blocked. A plain value; copies are deep.
///
/// Stored form (`json`), one object:
///   "credentials"  the credentials document as validated from the portal
///   "generation"   integer, 0 for the first credentials of a pairing
///   "pending"      {"requestId", "generation", "startedAt"}, absent when none;
///                  "startedAt" is seconds since 2001-01-01T00:00:00Z
///   "blocked"      boolean
///   "origin"       the portal origin the credentials belong to
///                  ("https://portal.example:443"); absent in snapshots
///                  saved before credentials were bound to their portal
struct CredentialSnapshot {
    /// The largest generation that survives a round trip through JSON exactly.
    static constexpr std::int64_t maxGeneration = JSONValue::maxExactInteger;

    DeviceCredentialsResponse credentials;
    std::int64_t generation = 0;
    std::optional<PendingRefresh> pending;
    /// The credentials can no longer be used or refreshed safely; only a new
    /// pairing (a new snapshot) clears it.
    bool blocked = false;
    /// The origin ("scheme://host:port") of the portal that issued the
    /// credentials: the only one they may ever be sent to. Set at pairing and
    /// carried through every rotation; none only in snapshots from before it
    /// was recorded, until the first load binds them.
    std::optional<std::string> origin;

    /// No pending refresh, not blocked.
    CredentialSnapshot(DeviceCredentialsResponse credentialsInForce, std::int64_t generationInForce)
        : credentials(std::move(credentialsInForce)), generation(generationInForce) {}

    /// The `deviceRefreshRequest` for the pending refresh: the refresh token of
    /// `credentials` under the pending request's identifier. Throws
    /// `CoreError::invalidState` when nothing is pending, and the document's
    /// validation error for a request identifier that is not a UUID.
    WireDocument refreshRequest() const;

    /// The stored form. Throws `CoreError::invalid("number")` for a `startedAt`
    /// that JSON cannot express (NaN, infinity).
    JSONValue json() const;
    /// The canonical JSON bytes of `json()`.
    Bytes encoded() const { return json().canonicalBytes(); }

    /// Reads the stored form strictly, so that damaged or foreign data never
    /// becomes credentials. Throws `CoreError::invalid` with a short tag:
    /// "closed object" (not an object, a key missing or unknown), the
    /// credentials document's own validation reasons, "integer range" (a
    /// generation that is not an integer in 0...maxGeneration), "format" (a
    /// request identifier that is not a UUID), "number" (a non-numeric
    /// "startedAt"), "boolean", "string" (an "origin" that is not a
    /// non-empty string), and "pending generation" (a pending refresh of
    /// another generation than the credentials, which no coordinator writes).
    static CredentialSnapshot fromJSON(const JSONValue& value);
    /// Parses, then `fromJSON`; bytes that are not one JSON text throw
    /// `CoreError::invalid("json")`.
    static CredentialSnapshot fromBytes(ByteView bytes);

    friend bool operator==(const CredentialSnapshot&, const CredentialSnapshot&) = default;
};

} // namespace zoq
