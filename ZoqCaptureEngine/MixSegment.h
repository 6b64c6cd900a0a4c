#pragma once

#include <cstdint>
#include <vector>

namespace zoq {

/// A run of converted 16 kHz audio placed on the host-time axis: frame k of
/// the run lies at `startNanos + k × 62 500`. One value per frame for the
/// microphone, two (left, right) for system audio. A plain value.
struct MixSegment {
    std::uint64_t startNanos = 0;
    std::vector<std::int16_t> samples;

    friend bool operator==(const MixSegment&, const MixSegment&) = default;
};

} // namespace zoq
