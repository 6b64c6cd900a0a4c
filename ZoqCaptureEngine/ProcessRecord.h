#pragma once

#include <cstdint>
#include <string>

namespace zoq {

/// What /proc/PID/stat and /proc/PID/status tell about one process: enough
/// to walk up the process tree safely.
struct ProcessRecord {
    std::int32_t pid = 0;
    /// The parent's pid; 0 for the first process of a pid namespace.
    std::int32_t parentPid = 0;
    /// When the process started, in clock ticks since boot. A pid is reused
    /// only by a process that started later, so (pid, startTime) names one
    /// process for the life of the system.
    std::uint64_t startTime = 0;
    /// The command name (at most 15 bytes; the process may have set it to
    /// anything, spaces and parentheses included).
    std::string comm;
    /// The real user id.
    std::uint32_t uid = 0;

    friend bool operator==(const ProcessRecord&, const ProcessRecord&) = default;
};

} // namespace zoq
