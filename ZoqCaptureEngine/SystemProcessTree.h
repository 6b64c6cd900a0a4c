#pragma once

#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCaptureEngine/ProcessTreeProviding.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace zoq {

/// The production `ProcessTreeProviding`: reads a procfs mount and the XDG
/// applications directories.
///
/// Every process fact is read fresh on each call. The desktop-entry index is
/// loaded on first use and again only when one of its directories has changed,
/// so matching a program against the installed applications costs a few
/// `stat` calls, not a scan.
///
/// Thread-safe. Reads of another user's processes fail as the kernel decides
/// (their executable, environment and root are private); such facts are then
/// "nothing", as is everything about a process that has exited.
class SystemProcessTree final : public ProcessTreeProviding {
public:
    /// The system's processes ("/proc") and the applications directories and
    /// program search path of this process's environment.
    SystemProcessTree();

    /// Processes below `procRoot` (laid out as procfs: "<pid>/stat",
    /// "<pid>/status", "<pid>/exe", "<pid>/cgroup", "<pid>/environ",
    /// "<pid>/root/"), desktop entries from `applicationDirectories` in
    /// precedence order, "Exec" programs without a '/' from `searchPath`.
    SystemProcessTree(std::filesystem::path procRoot,
                      std::vector<std::filesystem::path> applicationDirectories,
                      std::vector<std::filesystem::path> searchPath);

    std::optional<ProcessRecord> process(std::int32_t pid) const override;
    std::optional<std::uint64_t> startTime(std::int32_t pid) const override;
    std::optional<std::vector<std::int32_t>> namespacePids(std::int32_t pid) const override;
    std::vector<std::int32_t> processIDs() const override;
    std::optional<std::filesystem::path> executable(std::int32_t pid) const override;
    std::optional<std::string> cgroupUnit(std::int32_t pid) const override;
    std::optional<std::string> flatpakApplication(std::int32_t pid) const override;
    std::optional<DesktopLaunch> desktopLaunch(std::int32_t pid) const override;
    std::optional<std::string> desktopEntryID(const std::filesystem::path& desktopFile) const override;
    std::vector<std::string> desktopEntriesRunning(const std::filesystem::path& executable) const override;

    /// The installed desktop entries, loaded again when a directory changed.
    std::shared_ptr<const DesktopEntryIndex> desktopEntries() const;

private:
    std::filesystem::path processDirectory(std::int32_t pid) const;
    /// The record as /proc/PID/stat alone tells it (no uid).
    std::optional<ProcessRecord> readStat(std::int32_t pid) const;
    std::optional<std::string> readStatus(std::int32_t pid) const;

    std::filesystem::path procRoot_;
    std::vector<std::filesystem::path> applicationDirectories_;
    std::vector<std::filesystem::path> searchPath_;
    mutable std::mutex indexMutex_;
    mutable std::shared_ptr<const DesktopEntryIndex> index_; // guarded by indexMutex_
};

} // namespace zoq
