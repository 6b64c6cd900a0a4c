#pragma once

#include "ZoqCore/Wire/WireModel.h"

namespace zoq {

/// Where an upload stands on the portal. Built from any upload response
/// (create, pending, status or complete): each is re-validated as a status.
class UploadStatusResponse : public WireModel<UploadStatusResponse> {
public:
    static constexpr WireSchema schema = WireSchema::uploadStatusResponse;

    /// Re-validates `document`'s value as an upload status response; throws
    /// that rule's `CoreError` (e.g. "closed object" for an error envelope).
    explicit UploadStatusResponse(const WireDocument& document);

    /// "pending", "verifying", "stored" or "failed".
    const std::string& state() const { return text("state"); }
    const std::string& uploadId() const { return text("uploadId"); }
    const std::string& recordingId() const { return text("recordingId"); }
    std::optional<std::string> attemptId() const { return optionalText("attemptId"); }
};

} // namespace zoq
