#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// What the sound server tells about the client that owns a stream, read from
/// the client's and the stream's property lists. Clients set most of these
/// fields themselves and may set them to anything; only the two "verified"
/// ones come from the server (pipewire-pulse fills them from the peer's socket
/// credentials and its sandbox metadata; PulseAudio never sets them).
struct AudioClientIdentity {
    /// "pipewire.access.portal.app_id": the sandboxed application's identifier,
    /// as the server read it from the sandbox.
    std::string verifiedAppId;
    /// "pipewire.sec.pid": the peer's pid in the host's pid namespace.
    std::optional<std::int32_t> verifiedPid;
    /// "application.process.id": the pid the client claims (forgeable; from the
    /// client's own pid namespace when it runs in a sandbox).
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
