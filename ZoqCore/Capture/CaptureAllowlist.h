#pragma once

#include "ZoqCore/Capture/ProcessActivity.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace zoq {

/// Which applications may be recorded. Default deny: only bundle identifiers in
/// `allowed` are eligible, and never this application itself or a system
/// speech service in `ignored`. Identifiers are compared exactly, with no
/// normalisation, because they come from the same attribution that fills
/// `ProcessActivity::bundleId`.
struct CaptureAllowlist {
    /// An ordered set, so allowlists compare and print deterministically; its
    /// comparator also finds `std::string_view` keys.
    using BundleIds = std::set<std::string, std::less<>>;

    BundleIds allowed;
    std::int32_t ownPID = 0;
    std::string ownBundleId;

    /// Call and meeting applications offered when choosing the allowlist. The
    /// decision never consults this set.
    static const BundleIds seedOptions;
    /// System speech and dictation services: never eligible, even when allowed,
    /// so dictation and voice assistants never start a recording.
    static const BundleIds ignored;

    /// Whether `activity` may start or keep a recording: it takes input, is not
    /// this application (by pid or bundle identifier), is not ignored, and is
    /// allowed.
    bool eligible(const ProcessActivity& activity) const noexcept;

    friend bool operator==(const CaptureAllowlist&, const CaptureAllowlist&) = default;
};

} // namespace zoq
