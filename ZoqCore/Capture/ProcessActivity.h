#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace zoq {

/// One process seen using audio, attributed to the application that owns it.
struct ProcessActivity {
    std::int32_t pid = 0;
    /// The application the process is attributed to (walking up its process tree).
    std::string bundleId;
    /// The process currently takes audio input.
    bool runningInput = false;

    friend bool operator==(const ProcessActivity&, const ProcessActivity&) = default;
};

std::ostream& operator<<(std::ostream& out, const ProcessActivity& activity);

} // namespace zoq
