#pragma once

#include <optional>
#include <string>

namespace zoq {

/// The portal's names for one upload, bound from its first accepted status.
struct UploadIdentity {
    std::string uploadId;
    std::string recordingId;
    /// The current transfer attempt, once the portal has named one.
    std::optional<std::string> attemptId;

    friend bool operator==(const UploadIdentity&, const UploadIdentity&) = default;
};

} // namespace zoq
