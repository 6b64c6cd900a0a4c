#pragma once

#include "ZoqCore/Support/Date.h"
#include "ZoqCore/Wire/JSONValue.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zoq::portal {

/// One paired device and the credentials currently in force for it.
struct PortalDevice {
    std::string deviceId;
    std::string installationId;
    std::string accessToken;
    Date accessExpiresAt;
    std::string refreshToken;
    Date refreshExpiresAt;
    /// Refresh tokens replaced by a rotation: presenting one is "token_expired"
    /// rather than "authentication_required".
    std::vector<std::string> retiredRefreshTokens;
    /// The current access token has been presented at least once.
    bool accessTokenUsed = false;
    /// The current access token was refused on its first use by the fault.
    bool firstUseRefused = false;
    /// The current access token was issued by a refresh that followed a
    /// first-use refusal, so that fault spares it.
    bool spareFirstUse = false;

    friend bool operator==(const PortalDevice&, const PortalDevice&) = default;
};

/// One part (or the single object) received for an attempt.
struct PortalPart {
    std::int64_t partNumber = 0; ///< 0 for the single object
    std::int64_t byteSize = 0;
    std::string sha256;
    std::string etag;

    friend bool operator==(const PortalPart&, const PortalPart&) = default;
};

/// One upload: one recording of one device, named by its idempotency key.
struct PortalUpload {
    std::string uploadId;
    std::string recordingId;
    std::string deviceId;
    std::string idempotencyKey;
    /// The validated create request, exactly as first accepted.
    JSONValue metadata;
    /// "pending" (an attempt is open), "verifying" or "stored".
    std::string state = "pending";
    std::string attemptId;
    Date attemptExpiresAt;
    bool multipart = false;
    std::int64_t partCount = 0;
    /// What the current attempt holds, by part number (0 = the single object).
    std::map<std::int64_t, PortalPart> parts;
    std::int64_t attempts = 0;
    std::int64_t pollsLeft = 0;
    /// Hash and size of the assembled object, set by a successful completion.
    std::optional<std::string> receivedSHA256;
    std::optional<std::int64_t> receivedByteSize;
    std::optional<Date> storedAt;
    /// How often this upload became "stored"; a correct portal makes it 1.
    std::int64_t storedCount = 0;
    /// Fault bookkeeping: the expiry fault has fired; part numbers whose first
    /// PUT reply was withheld.
    bool expiredOnce = false;
    std::set<std::int64_t> withheldParts;

    friend bool operator==(const PortalUpload&, const PortalUpload&) = default;
};

/// A presigned URL: what a PUT to "/storage/TOKEN" may write, until when.
struct StorageGrant {
    std::string uploadId;
    std::string attemptId;
    std::int64_t partNumber = 0; ///< 0 for the single object
    Date expiresAt;

    friend bool operator==(const StorageGrant&, const StorageGrant&) = default;
};

/// A refresh already answered, kept so a resent request id gets the same reply.
struct AnsweredRefresh {
    std::string refreshToken;
    JSONValue credentials;

    friend bool operator==(const AnsweredRefresh&, const AnsweredRefresh&) = default;
};

/// Everything the portal must remember across a restart. A plain value; the
/// portal guards it with its mutex and saves it after every change.
struct PortalState {
    std::map<std::string, PortalDevice> devices;      ///< by device id
    std::map<std::string, JSONValue> pairings;        ///< credentials by redemption nonce
    std::map<std::string, AnsweredRefresh> refreshes; ///< by request id
    std::map<std::string, PortalUpload> uploads;      ///< by upload id
    std::map<std::string, StorageGrant> grants;       ///< by URL token

    friend bool operator==(const PortalState&, const PortalState&) = default;

    JSONValue json() const;
    /// Throws `PortalError` when `value` is not a state this portal wrote.
    static PortalState fromJSON(const JSONValue& value);
};

} // namespace zoq::portal
