#pragma once

#include "ZoqCaptureEngine/DesktopLaunch.h"
#include "ZoqCaptureEngine/ProcessRecord.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// The facts about running processes and installed applications from which
/// `AttributionResolver` finds the application that owns a process.
///
/// Every answer is a snapshot of a system that changes under it: a process may
/// exit, and its pid be reused, between two calls. Callers pin a process by
/// its `ProcessRecord::startTime` and check it again after reading.
///
/// Nothing here throws for a missing process or an unreadable file: that is
/// an answer ("nothing"), since most of these facts are absent for most
/// processes. Implementations must be safe to call from several threads at
/// once.
class ProcessTreeProviding {
public:
    virtual ~ProcessTreeProviding() = default;

    /// The process with this pid, or nothing when there is none or its
    /// records cannot be read in full.
    virtual std::optional<ProcessRecord> process(std::int32_t pid) const = 0;

    /// The start time of the process with this pid (`ProcessRecord::startTime`),
    /// or nothing when there is none: the cheap way to tell whether a pid
    /// still names the same process.
    virtual std::optional<std::uint64_t> startTime(std::int32_t pid) const = 0;

    /// "NSpid": the pid of the process in each pid namespace it belongs to,
    /// from ours (`pid` itself) to its innermost one; nothing when there is no
    /// such process or the kernel does not tell (before 4.1).
    virtual std::optional<std::vector<std::int32_t>> namespacePids(std::int32_t pid) const = 0;

    /// Every pid there is now, in no particular order.
    virtual std::vector<std::int32_t> processIDs() const = 0;

    /// The path of the executable the process runs, as the kernel names it
    /// (canonical, in the process's own mount namespace), or nothing when it
    /// is unknown (a kernel thread, a process of another user).
    virtual std::optional<std::filesystem::path> executable(std::int32_t pid) const = 0;

    /// The name of the systemd unit the process belongs to (a ".scope" or
    /// ".service", escaped as systemd escapes unit names), or nothing when it
    /// is in none or its cgroup cannot be read.
    virtual std::optional<std::string> cgroupUnit(std::int32_t pid) const = 0;

    /// The Flatpak application identifier of the sandbox the process runs in,
    /// or nothing when it runs in none (or in a runtime without application).
    virtual std::optional<std::string> flatpakApplication(std::int32_t pid) const = 0;

    /// The desktop file the process's environment names, or nothing when its
    /// environment does not name one or cannot be read.
    virtual std::optional<DesktopLaunch> desktopLaunch(std::int32_t pid) const = 0;

    /// The desktop-file identifier (without ".desktop") of a desktop file
    /// given by its path, or nothing when the path names no desktop file.
    virtual std::optional<std::string> desktopEntryID(const std::filesystem::path& desktopFile) const = 0;

    /// The identifiers of the installed desktop entries whose "Exec" or
    /// "TryExec" program is `executable` (compared by real path), sorted;
    /// never entries of programs that run in a terminal.
    virtual std::vector<std::string> desktopEntriesRunning(const std::filesystem::path& executable) const = 0;
};

} // namespace zoq
