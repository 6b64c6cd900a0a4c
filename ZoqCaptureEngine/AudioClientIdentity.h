#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// What the sound server tells about the client that owns a stream, read from
/// the client's and the stream's property lists. A client sets its property
/// lists itself and may put anything there, including the keys a server uses
/// for what it verified: every field is a claim except `verifiedPid`, which
/// only `ProcessScanner::identityOf` fills, from the one property a server was
/// seen to set from the socket's credentials (see docs/attribution.md).
struct AudioClientIdentity {
    /// "pipewire.access.portal.app_id": the sandboxed application's identifier.
    /// pipewire-pulse sets it for a sandboxed peer, but any client may set or
    /// replace it: it only helps find the claimed process among sandboxes.
    std::string portalAppId;
    /// The peer's pid in the host's pid namespace, as the server took it from
    /// the socket's credentials.
    std::optional<std::int32_t> verifiedPid;
    /// "application.process.id": the pid the client claims (from the client's
    /// own pid namespace when it runs in a sandbox).
    std::optional<std::int32_t> claimedPid;
    /// "application.process.binary": the executable name the client claims.
    std::string processBinary;
    /// "application.id": the identifier the client reports for itself.
    std::string applicationId;
    /// "application.name": the human-readable name the client reports.
    std::string applicationName;

    friend bool operator==(const AudioClientIdentity&, const AudioClientIdentity&) = default;
};

} // namespace zoq
