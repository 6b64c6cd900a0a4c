#include "ZoqCaptureEngine/SystemProcessTree.h"

#include "ZoqCaptureEngine/KeyFile.h"
#include "ZoqCaptureEngine/KeyFileError.h"
#include "ZoqCaptureEngine/SmallFile.h"
#include "ZoqCaptureEngine/SystemdUnits.h"

#include <charconv>
#include <dirent.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

/// Generous bounds: a stat line is a few hundred bytes, a status file about
/// 1.5 KiB, an environment at most what execve accepts (a few MiB in practice).
constexpr std::size_t statLimit = 64 * 1024;
constexpr std::size_t statusLimit = 256 * 1024;
constexpr std::size_t cgroupLimit = 256 * 1024;
constexpr std::size_t flatpakInfoLimit = 256 * 1024;
constexpr std::size_t environmentLimit = 16 * 1024 * 1024;

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

/// The fields of a line of white-space-separated words.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start < text.size()) {
        start = text.find_first_not_of(" \t\n", start);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(text.find_first_of(" \t\n", start), text.size());
        fields.push_back(text.substr(start, end - start));
        start = end;
    }
    return fields;
}

/// Parses "pid (comm) state ppid … starttime …". The command name may hold
/// anything, ')' and spaces included, so it ends at the LAST ')'.
bool parseStat(std::string_view stat, ProcessRecord& record) {
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open || open == 0) {
        return false;
    }
    if (parseNumber<std::int32_t>(stat.substr(0, open - 1)) != record.pid) {
        return false;
    }
    record.comm = std::string(stat.substr(open + 1, close - open - 1));
    // Fields from 3 (state) on; ppid is field 4, starttime field 22.
    const std::vector<std::string_view> fields = words(stat.substr(close + 1));
    if (fields.size() < 20) {
        return false;
    }
    const auto parent = parseNumber<std::int32_t>(fields[1]);
    const auto start = parseNumber<std::uint64_t>(fields[19]);
    if (!parent || !start) {
        return false;
    }
    record.parentPid = *parent;
    record.startTime = *start;
    return true;
}

/// The words after `field` ("Uid:", "NSpid:") in a status file; nothing
/// when the field is missing.
std::optional<std::vector<std::string_view>> statusField(std::string_view status, std::string_view field) {
    while (!status.empty()) {
        const std::size_t end = std::min(status.find('\n'), status.size());
        const std::string_view line = status.substr(0, end);
        status.remove_prefix(std::min(end + 1, status.size()));
        if (line.starts_with(field)) {
            return words(line.substr(field.size()));
        }
    }
    return std::nullopt;
}

} // namespace

SystemProcessTree::SystemProcessTree()
    : SystemProcessTree("/proc",
                        DesktopEntryIndex::standardDirectories(DesktopEntryIndex::processEnvironment),
                        DesktopEntryIndex::standardSearchPath(DesktopEntryIndex::processEnvironment)) {}

SystemProcessTree::SystemProcessTree(fs::path procRoot, std::vector<fs::path> applicationDirectories,
                                     std::vector<fs::path> searchPath)
    : procRoot_(std::move(procRoot)), applicationDirectories_(std::move(applicationDirectories)),
      searchPath_(std::move(searchPath)) {}

fs::path SystemProcessTree::processDirectory(std::int32_t pid) const {
    return procRoot_ / std::to_string(pid);
}

std::optional<ProcessRecord> SystemProcessTree::process(std::int32_t pid) const {
    std::optional<ProcessRecord> record = readStat(pid);
    const std::optional<std::string> status = record ? readStatus(pid) : std::nullopt;
    const auto uid = status ? statusField(*status, "Uid:") : std::nullopt;
    const auto real = uid && !uid->empty() ? parseNumber<std::uint32_t>(uid->front()) : std::nullopt;
    if (!real) {
        return std::nullopt;
    }
    record->uid = *real;
    return record;
}

std::optional<std::uint64_t> SystemProcessTree::startTime(std::int32_t pid) const {
    const std::optional<ProcessRecord> record = readStat(pid);
    return record ? std::optional(record->startTime) : std::nullopt;
}

std::optional<ProcessRecord> SystemProcessTree::readStat(std::int32_t pid) const {
    const std::optional<std::string> stat =
        pid > 0 ? smallfile::read(processDirectory(pid) / "stat", statLimit) : std::nullopt;
    ProcessRecord record;
    record.pid = pid;
    if (!stat || !parseStat(*stat, record)) {
        return std::nullopt;
    }
    return record;
}

std::optional<std::vector<std::int32_t>> SystemProcessTree::namespacePids(std::int32_t pid) const {
    const std::optional<std::string> status = pid > 0 ? readStatus(pid) : std::nullopt;
    const auto field = status.has_value() ? statusField(*status, "NSpid:") : std::nullopt;
    if (!field || field->empty()) {
        return std::nullopt;
    }
    std::vector<std::int32_t> pids;
    for (const std::string_view word : *field) {
        const auto inner = parseNumber<std::int32_t>(word);
        if (!inner) {
            return std::nullopt;
        }
        pids.push_back(*inner);
    }
    return pids;
}

std::optional<std::string> SystemProcessTree::readStatus(std::int32_t pid) const {
    return smallfile::read(processDirectory(pid) / "status", statusLimit);
}

std::vector<std::int32_t> SystemProcessTree::processIDs() const {
    std::vector<std::int32_t> pids;
    // readdir rather than std::filesystem: this runs over every process and
    // needs no path objects.
    DIR* directory = ::opendir(procRoot_.c_str());
    if (directory == nullptr) {
        return pids;
    }
    while (const dirent* entry = ::readdir(directory)) {
        if (const auto pid = parseNumber<std::int32_t>(entry->d_name); pid && *pid > 0) {
            pids.push_back(*pid);
        }
    }
    ::closedir(directory);
    return pids;
}

std::optional<fs::path> SystemProcessTree::executable(std::int32_t pid) const {
    std::optional<std::string> target = smallfile::readLink(processDirectory(pid) / "exe");
    if (!target || !target->starts_with('/')) {
        return std::nullopt;
    }
    // The executable was replaced (an upgrade) while the process runs on.
    constexpr std::string_view deleted = " (deleted)";
    if (target->ends_with(deleted)) {
        target->resize(target->size() - deleted.size());
    }
    return fs::path(*target);
}

std::optional<std::string> SystemProcessTree::cgroupUnit(std::int32_t pid) const {
    const std::optional<std::string> cgroup = smallfile::read(processDirectory(pid) / "cgroup", cgroupLimit);
    if (!cgroup) {
        return std::nullopt;
    }
    return systemd::leafUnit(*cgroup);
}

std::optional<std::string> SystemProcessTree::flatpakApplication(std::int32_t pid) const {
    // Through the process's own root: every process in the sandbox sees the
    // file there, helpers included; the host has none.
    const fs::path path = processDirectory(pid) / "root/.flatpak-info";
    const std::optional<std::string> text = smallfile::read(path, flatpakInfoLimit);
    if (!text) {
        return std::nullopt;
    }
    try {
        std::optional<std::string> name = KeyFile::parse(*text, path.string()).value("Application", "name");
        if (!name || name->empty()) {
            return std::nullopt;
        }
        return name;
    } catch (const KeyFileError&) {
        return std::nullopt; // not a sandbox's metadata
    }
}

std::optional<DesktopLaunch> SystemProcessTree::desktopLaunch(std::int32_t pid) const {
    const std::optional<std::string> environment =
        smallfile::read(processDirectory(pid) / "environ", environmentLimit);
    if (!environment) {
        return std::nullopt;
    }
    constexpr std::string_view fileVariable = "GIO_LAUNCHED_DESKTOP_FILE=";
    constexpr std::string_view pidVariable = "GIO_LAUNCHED_DESKTOP_FILE_PID=";
    std::optional<DesktopLaunch> launch;
    std::optional<std::int32_t> launchedPid;
    std::string_view rest = *environment;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\0'), rest.size());
        const std::string_view variable = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (variable.starts_with(fileVariable) && variable.size() > fileVariable.size()) {
            launch = DesktopLaunch{fs::path(variable.substr(fileVariable.size())), std::nullopt};
        } else if (variable.starts_with(pidVariable)) {
            launchedPid = parseNumber<std::int32_t>(variable.substr(pidVariable.size()));
        }
    }
    if (launch) {
        launch->launchedPid = launchedPid;
    }
    return launch;
}

std::optional<std::string> SystemProcessTree::desktopEntryID(const fs::path& desktopFile) const {
    return DesktopEntryIndex::idOfFile(desktopFile, applicationDirectories_);
}

std::vector<std::string> SystemProcessTree::desktopEntriesRunning(const fs::path& executable) const {
    return desktopEntries()->idsRunning(executable);
}

std::shared_ptr<const DesktopEntryIndex> SystemProcessTree::desktopEntries() const {
    // Loading holds the lock: concurrent callers wait for the one load rather
    // than each reading every desktop file.
    const std::lock_guard lock(indexMutex_);
    if (!index_ || !index_->isCurrent()) {
        index_ = std::make_shared<const DesktopEntryIndex>(
            DesktopEntryIndex::load(applicationDirectories_, searchPath_));
    }
    return index_;
}

} // namespace zoq
