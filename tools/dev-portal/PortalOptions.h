#pragma once

#include "tools/dev-portal/PortalFaults.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zoq::portal {

/// How one development portal runs. Everything has a default but the data
/// directory.
struct PortalOptions {
    /// Multipart transfers use parts of exactly this size (the wire fixes it).
    static constexpr std::int64_t partSize = 16'777'216;

    /// Loopback port to listen on; 0 lets the kernel pick one.
    int port = 0;
    /// Where the state file and the received objects live; created if missing.
    std::filesystem::path dataDirectory;
    /// The pairing code to accept, in any accepted spelling; none picks a
    /// random one at start.
    std::optional<std::string> pairingCode;
    /// Uploads larger than this many bytes get a multipart transfer, the others
    /// one presigned PUT.
    std::int64_t multipartThreshold = partSize;
    /// Status polls answered "verifying" after completion before "stored".
    std::int64_t verifyingPolls = 2;
    /// The retry-after (whole seconds) sent with each "verifying" answer;
    /// none sends no delay.
    std::optional<std::int64_t> verifyingDelaySeconds;
    /// Lifetime of presigned URLs, in seconds.
    double urlLifetimeSeconds = 900;
    /// Lifetime of access tokens, in seconds.
    double accessLifetimeSeconds = 3600;
    /// Lifetime of refresh tokens, in seconds.
    double refreshLifetimeSeconds = 30 * 86'400;
    /// Seed of the generator behind `PortalFaults::unavailableRate`.
    std::uint64_t seed = 1;
    PortalFaults faults;
};

} // namespace zoq::portal
