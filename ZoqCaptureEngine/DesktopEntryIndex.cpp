#include "ZoqCaptureEngine/DesktopEntryIndex.h"

#include "ZoqCaptureEngine/KeyFile.h"
#include "ZoqCaptureEngine/SmallFile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view desktopSuffix = ".desktop";
/// Desktop entries are a few kilobytes; anything far larger is not one.
constexpr std::size_t maximumEntrySize = 1 << 20;
/// Subdirectories are rare ("kde4/"); the limit only guards against odd trees.
constexpr int maximumDepth = 4;
/// Directory times are taken from a coarse clock (FAT's is two seconds): a
/// directory modified this shortly before a load may change again unseen.
constexpr std::int64_t timeGranularityNanoseconds = 2'000'000'000;

std::int64_t wallClockNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::vector<fs::path> splitList(const std::string& list) {
    std::vector<fs::path> paths;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        // The base-directory rules ignore relative paths.
        if (end > start && list[start] == '/') {
            paths.emplace_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return paths;
}

std::optional<std::string> nonEmpty(const DesktopEntryIndex::Environment& environment,
                                    const std::string& name) {
    std::optional<std::string> value = environment(name);
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

/// The real path of the program a desktop entry names, found in `searchPath`
/// when it has no '/'; nothing when there is no such executable file.
std::optional<fs::path> resolveProgram(const std::string& program, const std::vector<fs::path>& searchPath) {
    if (program.empty()) {
        return std::nullopt;
    }
    std::vector<fs::path> candidates;
    if (program.find('/') != std::string::npos) {
        if (program.front() != '/') {
            return std::nullopt;
        }
        candidates.emplace_back(program);
    } else {
        for (const fs::path& directory : searchPath) {
            candidates.push_back(directory / program);
        }
    }
    for (const fs::path& candidate : candidates) {
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            std::error_code error;
            fs::path real = fs::canonical(candidate, error);
            if (!error) {
                return real;
            }
        }
    }
    return std::nullopt;
}

std::string relativeID(const fs::path& relative) {
    std::string id = relative.string();
    id.resize(id.size() - desktopSuffix.size());
    std::ranges::replace(id, '/', '-');
    return id;
}

} // namespace

std::optional<std::string> DesktopEntryIndex::processEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::vector<fs::path> DesktopEntryIndex::standardDirectories(const Environment& environment) {
    std::vector<fs::path> bases;
    const std::optional<std::string> home = nonEmpty(environment, "HOME");
    fs::path dataHome;
    if (const auto value = nonEmpty(environment, "XDG_DATA_HOME"); value && value->front() == '/') {
        dataHome = *value;
    } else if (home) {
        dataHome = fs::path(*home) / ".local/share";
    }
    if (!dataHome.empty()) {
        bases.push_back(dataHome);
    }
    std::vector<fs::path> dataDirs = splitList(nonEmpty(environment, "XDG_DATA_DIRS").value_or(""));
    if (dataDirs.empty()) {
        dataDirs = {"/usr/local/share", "/usr/share"};
    }
    bases.insert(bases.end(), dataDirs.begin(), dataDirs.end());
    if (!dataHome.empty()) {
        bases.push_back(dataHome / "flatpak/exports/share");
    }
    bases.emplace_back("/var/lib/flatpak/exports/share");
    bases.emplace_back("/var/lib/snapd/desktop");

    std::vector<fs::path> directories;
    for (const fs::path& base : bases) {
        fs::path directory = (base / "applications").lexically_normal();
        if (std::ranges::find(directories, directory) == directories.end()) {
            directories.push_back(std::move(directory));
        }
    }
    return directories;
}

std::vector<fs::path> DesktopEntryIndex::standardSearchPath(const Environment& environment) {
    std::vector<fs::path> path = splitList(nonEmpty(environment, "PATH").value_or(""));
    if (path.empty()) {
        path = {"/usr/local/bin", "/usr/bin", "/bin"};
    }
    return path;
}

DesktopEntryIndex DesktopEntryIndex::installed() {
    std::string locale;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const auto value = nonEmpty(processEnvironment, variable)) {
            locale = *value;
            break;
        }
    }
    return load(standardDirectories(processEnvironment), standardSearchPath(processEnvironment), locale);
}

std::optional<std::string> DesktopEntryIndex::idOfFile(const fs::path& file,
                                                       const std::vector<fs::path>& directories) {
    if (!file.filename().string().ends_with(desktopSuffix) || file.filename() == desktopSuffix) {
        return std::nullopt;
    }
    const fs::path normal = file.lexically_normal();
    for (const fs::path& directory : directories) {
        const fs::path relative = normal.lexically_relative(directory.lexically_normal());
        if (!relative.empty() && *relative.begin() != ".." && relative.is_relative()) {
            return relativeID(relative);
        }
    }
    return relativeID(file.filename());
}

DesktopEntryIndex::DirectoryStamp DesktopEntryIndex::DirectoryStamp::of(const fs::path& directory) {
    DirectoryStamp stamp{.path = directory};
    struct stat status {};
    if (::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        stamp.exists = true;
        stamp.device = status.st_dev;
        stamp.inode = status.st_ino;
        stamp.modifiedNanoseconds =
            static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    }
    return stamp;
}

void DesktopEntryIndex::readDirectory(const fs::path& root, const fs::path& directory, int depth,
                                      const std::string& locale, std::map<std::string, DesktopEntry>& found) {
    stamps_.push_back(DirectoryStamp::of(directory));
    if (!stamps_.back().exists) {
        return;
    }
    std::vector<fs::directory_entry> children;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        children.push_back(*it);
    }
    if (error) {
        problems_.emplace_back(directory.string(), 0,
                               std::string("cannot list: ") + std::strerror(error.value()));
    }
    std::ranges::sort(children, {}, [](const fs::directory_entry& child) { return child.path(); });
    for (const fs::directory_entry& child : children) {
        std::error_code ignored;
        if (child.is_directory(ignored) && !child.is_symlink(ignored)) {
            if (depth < maximumDepth) {
                readDirectory(root, child.path(), depth + 1, locale, found);
            }
            continue;
        }
        const std::string name = child.path().filename().string();
        if (!name.ends_with(desktopSuffix) || name == desktopSuffix) {
            continue;
        }
        std::string id = relativeID(child.path().lexically_relative(root));
        if (found.contains(id)) {
            continue; // a directory of higher precedence has it
        }
        smallfile::ReadFailure failure;
        const std::optional<std::string> text = smallfile::read(child.path(), maximumEntrySize, &failure);
        if (!text) {
            problems_.emplace_back(child.path().string(), 0,
                                   std::string("cannot read: ") + std::strerror(failure.error));
            continue;
        }
        try {
            const KeyFile file = KeyFile::parse(*text, child.path().string());
            std::optional<DesktopEntry> entry = DesktopEntry::fromKeyFile(file, id, child.path(), locale);
            if (!entry) {
                // A link or a directory entry still takes the identifier.
                entry.emplace();
                entry->id = id;
                entry->hidden = true;
                entry->file = child.path();
            }
            found.emplace(id, std::move(*entry));
        } catch (const KeyFileError& problem) {
            problems_.push_back(problem);
        }
    }
}

DesktopEntryIndex DesktopEntryIndex::load(std::vector<fs::path> directories, std::vector<fs::path> searchPath,
                                          const std::string& locale) {
    DesktopEntryIndex index;
    const std::int64_t start = wallClockNanoseconds();
    std::map<std::string, DesktopEntry> found;
    for (const fs::path& directory : directories) {
        index.readDirectory(directory, directory, 0, locale, found);
    }
    index.racy_ = std::ranges::any_of(index.stamps_, [&](const DirectoryStamp& stamp) {
        return stamp.exists && stamp.modifiedNanoseconds > start - timeGranularityNanoseconds;
    });
    for (auto& [id, entry] : found) {
        if (entry.hidden) {
            continue;
        }
        const std::optional<fs::path> tryExec = resolveProgram(entry.tryExec, searchPath);
        if (!entry.tryExec.empty() && !tryExec) {
            continue; // a TryExec that cannot be found means the program is not installed
        }
        // A terminal program's entry names an interpreter or a console tool
        // ("python3.11", "vim"): every script that interpreter runs would
        // otherwise be taken for it.
        if (!entry.terminal) {
            std::set<fs::path> programs;
            if (const auto program = resolveProgram(
                    DesktopEntry::program(DesktopEntry::commandLine(entry.exec)), searchPath)) {
                programs.insert(*program);
            }
            if (tryExec) {
                programs.insert(*tryExec);
            }
            for (const fs::path& program : programs) {
                index.idsByProgram_[program.string()].push_back(id);
            }
        }
        index.entries_.push_back(std::move(entry));
    }
    return index;
}

std::vector<std::string> DesktopEntryIndex::idsRunning(const fs::path& executable) const {
    std::error_code error;
    fs::path real = fs::canonical(executable, error);
    const auto found = idsByProgram_.find(error ? executable.lexically_normal().string() : real.string());
    return found == idsByProgram_.end() ? std::vector<std::string>() : found->second;
}

bool DesktopEntryIndex::isCurrent() const {
    return !racy_ && std::ranges::all_of(stamps_, [](const DirectoryStamp& stamp) {
        return DirectoryStamp::of(stamp.path) == stamp;
    });
}

} // namespace zoq
