#pragma once

#include "ZoqCore/Spool/ArtifactState.h"
#include "ZoqCore/Spool/UploadIdentity.h"
#include "ZoqCore/Support/Date.h"
#include "ZoqCore/Wire/JSONValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// How far the upload of one recording has progressed, as stored in its
/// manifest. The upload queue gives the fields their meaning; the spool only
/// stores them and checks them when the manifest is read.
struct QueueRecord {
    QueueStage stage = QueueStage::ready;
    /// The stage to return to after a wait (network, retry, authentication).
    QueueStage resumeStage = QueueStage::creating;
    /// Lease generation; bumped by every claim and cancel, and by recovery when
    /// a worker died holding the lease.
    std::int64_t generation = 0;
    bool leased = false;
    /// Retries scheduled so far (0 ... 1 000 000).
    std::int64_t failures = 0;
    std::optional<Date> retryAt;
    std::optional<UploadIdentity> identity;
    /// The current `uploadTransfer` document.
    std::optional<JSONValue> transfer;
    /// Parts the portal holds for the current attempt ({partNumber, etag}).
    std::vector<JSONValue> completedParts;
    bool observedParts = false;
    /// The signed part waiting to be sent.
    std::optional<JSONValue> signedPart;
    bool replaceAttempt = false;
    std::optional<std::string> error;

    /// The record of an upload that has not started: READY_TO_UPLOAD, resuming
    /// at CREATING_UPLOAD, generation 0, nothing bound.
    static QueueRecord fresh() { return QueueRecord{}; }

    friend bool operator==(const QueueRecord&, const QueueRecord&) = default;
};

} // namespace zoq
