#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <optional>
#include <string>

namespace zoq {

/// What one HTTP exchange for an `UploadCommand` produced, as the upload queue
/// reads it. Nothing in it is trusted: the queue validates the body against
/// the document the command expects.
struct HTTPReply {
    int status = 0;
    Bytes body;
    /// The "etag" response header verbatim (quotes included), when present.
    std::optional<std::string> etag;
    /// The delay the server asked for ("retry-after"), in seconds.
    std::optional<double> retryAfterSeconds;

    friend bool operator==(const HTTPReply&, const HTTPReply&) = default;
};

} // namespace zoq
