#pragma once

#include "ZoqCaptureEngine/DesktopEntry.h"
#include "ZoqCaptureEngine/KeyFileError.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// The applications installed for the user: every desktop entry in the XDG
/// applications directories, read once.
///
/// Directories come in precedence order: for one identifier, the first
/// directory that holds a readable entry wins, and a "Hidden" entry there
/// hides the others. A file that cannot be read or parsed is left out and
/// listed in `problems()`; it never stops the others from loading.
///
/// An immutable value; thread-safe to read. `isCurrent()` tells when a
/// directory has changed since, so holders can load it again.
class DesktopEntryIndex {
public:
    /// Reads one environment variable; nothing when it is unset.
    using Environment = std::function<std::optional<std::string>(const std::string& name)>;

    /// The process's own environment.
    static std::optional<std::string> processEnvironment(const std::string& name);

    /// The applications directories of the XDG base-directory rules in
    /// precedence order: $XDG_DATA_HOME (default ~/.local/share), then
    /// $XDG_DATA_DIRS (default /usr/local/share:/usr/share), then Flatpak's
    /// exports (the user's and the system's) and Snap's desktop directory,
    /// which a session does not always add to $XDG_DATA_DIRS; each followed by
    /// "applications", each once.
    static std::vector<std::filesystem::path> standardDirectories(const Environment& environment);

    /// The directories of $PATH (default /usr/local/bin:/usr/bin:/bin), where
    /// an "Exec" program without a '/' is looked for.
    static std::vector<std::filesystem::path> standardSearchPath(const Environment& environment);

    /// Reads every "*.desktop" file below `directories` (subdirectories
    /// included: "kde4/okular.desktop" is "kde4-okular"). Names are read in
    /// `locale` (a POSIX locale such as "de_DE.UTF-8"; empty for none).
    /// Never throws for a missing directory or a bad file.
    static DesktopEntryIndex load(std::vector<std::filesystem::path> directories,
                                  std::vector<std::filesystem::path> searchPath,
                                  const std::string& locale = {});

    /// The applications installed for this process's environment, named in
    /// the locale of its messages ($LC_ALL, else $LC_MESSAGES, else $LANG):
    /// what the allowlist window lists.
    static DesktopEntryIndex installed();

    /// The desktop-file identifier of the desktop file at `file`: its path
    /// below the first of `directories` that holds it, '/' turned into '-',
    /// without ".desktop"; for a file outside them, its own name without
    /// ".desktop". Nothing when the name does not end in ".desktop".
    static std::optional<std::string> idOfFile(const std::filesystem::path& file,
                                               const std::vector<std::filesystem::path>& directories);

    /// The applications, sorted by identifier: neither hidden nor missing the
    /// program their "TryExec" names. "NoDisplay" entries are included.
    const std::vector<DesktopEntry>& entries() const { return entries_; }

    /// The files left out because they could not be read or parsed.
    const std::vector<KeyFileError>& problems() const { return problems_; }

    /// The identifiers of the entries whose "Exec" or "TryExec" program is the
    /// executable at `executable`, compared by real path; sorted. Entries that
    /// run in a terminal never match.
    std::vector<std::string> idsRunning(const std::filesystem::path& executable) const;

    /// Whether every directory read (and every one that was missing) is as it
    /// was at load: adding, removing or renaming an entry changes its
    /// directory's modification time. That time is coarse (a clock tick, on
    /// some file systems seconds), so a directory changed shortly before the
    /// load might change again without its time moving: until a load finds
    /// every directory older than that, the index never counts as current.
    bool isCurrent() const;

private:
    struct DirectoryStamp {
        std::filesystem::path path;
        bool exists = false;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t modifiedNanoseconds = 0;

        static DirectoryStamp of(const std::filesystem::path& directory);
        friend bool operator==(const DirectoryStamp&, const DirectoryStamp&) = default;
    };

    void readDirectory(const std::filesystem::path& root, const std::filesystem::path& directory, int depth,
                       const std::string& locale, std::map<std::string, DesktopEntry>& found);

    std::vector<DesktopEntry> entries_;
    std::vector<KeyFileError> problems_;
    std::map<std::string, std::vector<std::string>> idsByProgram_; // real path of the program → ids
    std::vector<DirectoryStamp> stamps_;
    bool racy_ = false; // a directory changed too shortly before the load to tell
};

} // namespace zoq
