#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

class ShellSettings;

/// Where zoq keeps its files, after the XDG base directory rules:
///
///   settingsFile  $XDG_CONFIG_HOME/zoq/settings.json  (default ~/.config)
///   supportRoot   $XDG_DATA_HOME/zoq                  (default ~/.local/share)
///   spoolRoot     $XDG_DATA_HOME/zoq/spool
///   autostartFile $XDG_CONFIG_HOME/autostart/org.zoq.Zoq.desktop
///   systemLayers  $XDG_CONFIG_DIRS/zoq/settings.json and policy.json
///                 (default /etc/xdg), most important directory first
///
/// A variable counts only when set to an absolute path (the rule says relative
/// values are to be ignored). The home directory is $HOME when absolute, else
/// the user database's entry. Nothing here creates a directory.
///
/// The path functions take the environment as a lookup so tests can give
/// their own; production uses `processEnvironment()`. They throw
/// `CoreError::invalid("home directory")` when no home directory can be found.
struct ShellPaths {
    ShellPaths() = delete;

    /// Name of the directory zoq owns inside each base directory.
    static constexpr const char* directoryName = "zoq";

    using Environment = std::function<std::optional<std::string>(const char* name)>;
    /// Reads the process environment (getenv).
    static Environment processEnvironment();

    static std::filesystem::path configRoot(const Environment& environment = processEnvironment());
    static std::filesystem::path settingsFile(const Environment& environment = processEnvironment());
    static std::filesystem::path supportRoot(const Environment& environment = processEnvironment());
    static std::filesystem::path spoolRoot(const Environment& environment = processEnvironment());
    /// The administrator's defaults and policy files in each directory of
    /// $XDG_CONFIG_DIRS (its absolute entries; /etc/xdg when it has none).
    static std::vector<std::filesystem::path>
    systemConfigRoots(const Environment& environment = processEnvironment());
    /// The desktop's autostart entry that makes zoq a login item.
    static std::filesystem::path autostartFile(const Environment& environment = processEnvironment());

    /// The identifier of this installation, sent when pairing. A stored
    /// "installUUID" that reads as a UUID is returned unchanged (any case);
    /// anything else is replaced by a new lower-case random UUID, stored first.
    /// Check and store happen under the settings' lock, so concurrent callers
    /// all get the same identifier. Like any explicit write, storing it sets a
    /// damaged settings file aside first. Throws what the settings' writes throw.
    static std::string installUUID(ShellSettings& settings);
};

} // namespace zoq
