#pragma once

#include "ZoqCore/Upload/HTTPReply.h"
#include "ZoqCore/Upload/UploadCommand.h"
#include "ZoqShell/Transport/TransportRequest.h"
#include "ZoqShell/Transport/TransportResponse.h"

#include <string>
#include <string_view>

namespace zoq {

/// Turns the upload queue's commands into HTTP requests and HTTP responses
/// back into the replies the queue reads. Pure and thread-safe.
///
/// | command        | request                                                          |
/// |----------------|------------------------------------------------------------------|
/// | create         | POST uploads, the metadata document, "idempotency-key"           |
/// | status         | GET uploads/{uploadId}                                           |
/// | replacement    | POST uploads/{uploadId}/attempts, {}                             |
/// | observedParts  | GET uploads/{uploadId}/parts?attemptId={attemptId}               |
/// | signPart       | POST uploads/{uploadId}/parts, {"attemptId", "partNumbers": [n]} |
/// | put            | the presigned target: its method and URL as given, its headers   |
/// | complete       | POST uploads/{uploadId}/complete, the completion document        |
///
/// Portal requests go to "/api/v1/..." under `base` (see `PortalURL`: only
/// scheme, host and port of `base` are kept, every path segment is
/// percent-encoded) and carry "authorization: Bearer <accessToken>"; those
/// with a body carry "content-type: application/json" and a document that was
/// validated as its schema and encoded canonically.
///
/// The PUT goes to storage, not the portal: it carries no authorization (the
/// presigned URL is the credential), the target's string-valued headers, and
/// "content-length" set to the byte count (replacing the target's own, in any
/// letter case). Its body is a `FileRange` of the command's file, streamed by
/// the transport when the request is sent; nothing is read here, so a part of
/// 16 MiB never sits in memory and `make` needs no file access.
class UploadRequestFactory {
public:
    /// The request for `command`. Sends nothing. Throws `CoreError::invalid`:
    /// "base URL" / "request URL" (see `PortalURL`); "parts query" when the
    /// validated query yields no attempt identifier; "transfer method" when
    /// the PUT target's method is not "PUT" (a signed part, which names no
    /// method, is PUT; a single-mode transfer must name it); "transfer target"
    /// when the target is not an object, has no string URL, its URL is not an
    /// absolute URL, or it is a signed part for another part number than the
    /// command's; "file range" for a negative offset or count; and the
    /// validation reason of any request document that does not validate.
    static TransportRequest make(const UploadCommand& command, std::string_view base,
                                 const std::string& accessToken);

    /// The reply the queue reads: status and body as received, "etag" verbatim
    /// (quotes included, any letter case of the name), and the "retry-after"
    /// delay relative to the host's wall clock.
    static HTTPReply reply(const TransportResponse& response);
};

} // namespace zoq
