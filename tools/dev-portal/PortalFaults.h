#pragma once

#include "ZoqCore/Wire/JSONValue.h"

#include <cstdint>

namespace zoq::portal {

/// Misbehaviour the development portal can be told to show, so the device's
/// retry, refresh and recovery paths can be exercised against a real server.
/// All switches start off. Set from the command line and, at run time, through
/// `POST /dev/faults`, whose JSON body names any subset of these fields.
struct PortalFaults {
    /// Probability in [0, 1] that an upload API or storage request is answered
    /// 503 with "retry-after" (drawn from the portal's seeded generator).
    /// Pairing, refresh and the admin endpoints are spared.
    double unavailableRate = 0;
    /// The "retry-after" of those 503s, in whole seconds.
    std::int64_t retryAfterSeconds = 1;
    /// Each access token is refused with 401 on its first use, except one
    /// issued by a refresh that followed such a refusal, so one refresh always
    /// gets the device going again.
    bool unauthorizedFirstUse = false;
    /// The next this many credential refreshes are applied but their reply is
    /// cut off after the headers: the device sees no response and must resend
    /// the same request id.
    std::int64_t loseRefreshReplies = 0;
    /// When positive, presigned URLs expire this many seconds after they are
    /// issued instead of the configured lifetime.
    double urlLifetimeSeconds = 0;
    /// The first completion of each upload is answered 410 "upload_expired",
    /// and that attempt is void: the device must open a replacement attempt.
    bool uploadExpiredOnce = false;
    /// The first PUT of each part number of an upload is stored but its reply
    /// is cut off, so the next observed-parts reply lists the part as held.
    bool partsAlreadyHeld = false;
    /// The next this many JSON replies of the portal API break their schema
    /// (an extra key), so the device must treat them as malformed.
    std::int64_t malformedReplies = 0;
    /// Upload API and storage requests are answered only after this many
    /// seconds (a slow or overloaded portal; the reply itself is unchanged).
    /// Pairing, refresh and the admin endpoints are spared.
    double stallSeconds = 0;

    friend bool operator==(const PortalFaults&, const PortalFaults&) = default;

    /// The switches as one JSON object (every field).
    JSONValue json() const;
    /// Changes the fields named in `changes`, an object holding any subset of
    /// the fields above. Throws `PortalError` for an unknown key, a value of
    /// the wrong type or out of range; nothing changes then.
    void apply(const JSONValue& changes);
};

} // namespace zoq::portal
