#pragma once

#include "ZoqCaptureEngine/AudioClientIdentity.h"

#include <cstdint>
#include <string>

namespace zoq {

/// Maps a sound-server client to the desktop application identifier of the
/// application that owns it (the identifier the allowlist holds).
///
/// A value type; `attributedBundleID` reads the process tree it was given and
/// may be called from any thread.
class AttributionResolver {
public:
    /// The attribution of processes up to `maxDepth` ancestors away.
    explicit AttributionResolver(int maxDepth = 16);

    /// The application identifier of the client, or the identifier it reported
    /// ("application.id", else the base name of "application.process.binary")
    /// when no application owns it; empty when it reported none either.
    std::string attributedBundleID(const AudioClientIdentity& client) const;

    int maxDepth() const noexcept { return maxDepth_; }

private:
    int maxDepth_;
};

} // namespace zoq
