#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace zoq {

/// The desktop file a launcher said it started a process from: GLib's
/// launchers put "GIO_LAUNCHED_DESKTOP_FILE" and "GIO_LAUNCHED_DESKTOP_FILE_PID"
/// into the environment of the process they start.
///
/// Every child inherits both, so the file names the process itself only when
/// `launchedPid` is its own pid.
struct DesktopLaunch {
    std::filesystem::path desktopFile;
    /// Absent when the variable is missing or not a decimal pid.
    std::optional<std::int32_t> launchedPid;

    friend bool operator==(const DesktopLaunch&, const DesktopLaunch&) = default;
};

} // namespace zoq
