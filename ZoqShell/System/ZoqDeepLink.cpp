#include "ZoqShell/System/ZoqDeepLink.h"

#include "ZoqShell/Settings/ShellPaths.h"

#include <array>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

bool runsDesktop(const std::string& currentDesktop, const std::string& name) {
    std::stringstream names(currentDesktop);
    std::string entry;
    while (std::getline(names, entry, ':')) {
        if (entry == name) {
            return true;
        }
    }
    return false;
}

/// Each directory of a ':'-separated list, or of `fallback` when it is unset
/// or empty (the XDG base directory rule).
std::vector<fs::path> searchPath(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::stringstream list(value != nullptr && *value != '\0' ? value : fallback);
    std::vector<fs::path> directories;
    std::string entry;
    while (std::getline(list, entry, ':')) {
        if (!entry.empty()) {
            directories.emplace_back(entry);
        }
    }
    return directories;
}

/// Startup-applications tools, most specific first; the first installed wins.
constexpr std::array startupTools{
    "gnome-session-properties", "gnome-tweaks",        "mate-session-properties",
    "xfce4-session-settings",   "lxqt-config-session", "cinnamon-session-properties",
};

DesktopLink loginItemsLink(const DesktopEnvironment& desktop) {
    if (runsDesktop(desktop.currentDesktop, "KDE")) {
        return DesktopLink::command({"systemsettings", "kcm_autostart"});
    }
    for (const char* tool : startupTools) {
        if (desktop.hasProgram(tool)) {
            return DesktopLink::command({tool});
        }
    }
    // xdg-open takes a path as well as a URL: the file manager shows it.
    return DesktopLink::url(desktop.autostartDirectory.string());
}

} // namespace

DesktopEnvironment DesktopEnvironment::current() {
    DesktopEnvironment desktop;
    const char* current = std::getenv("XDG_CURRENT_DESKTOP");
    desktop.currentDesktop = current != nullptr ? current : "";
    desktop.hasDesktopFile = [](const std::string& name) {
        std::vector<fs::path> directories;
        try {
            directories.push_back(ShellPaths::supportRoot().parent_path()); // XDG_DATA_HOME
        } catch (...) {
            // No home directory: the system's directories still count.
        }
        for (const fs::path& directory : searchPath("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
            directories.push_back(directory);
        }
        for (const fs::path& directory : directories) {
            std::error_code ignored;
            if (fs::is_regular_file(directory / "applications" / name, ignored)) {
                return true;
            }
        }
        return false;
    };
    desktop.hasProgram = [](const std::string& program) {
        for (const fs::path& directory : searchPath("PATH", "/usr/local/bin:/usr/bin:/bin")) {
            if (::access((directory / program).c_str(), X_OK) == 0) {
                return true;
            }
        }
        return false;
    };
    try {
        desktop.autostartDirectory = ShellPaths::autostartFile().parent_path();
    } catch (...) {
        desktop.autostartDirectory = "/etc/xdg/autostart";
    }
    return desktop;
}

DesktopLink settingsLink(ZoqDeepLink page, const DesktopEnvironment& desktop) {
    if (page == ZoqDeepLink::loginItemsSettings) {
        return loginItemsLink(desktop);
    }
    if (runsDesktop(desktop.currentDesktop, "GNOME")) {
        if (page == ZoqDeepLink::microphoneSettings) {
            // GNOME 43 has a microphone panel; later versions fold it into
            // privacy, and some builds have neither.
            if (desktop.hasDesktopFile("gnome-microphone-panel.desktop")) {
                return DesktopLink::command({"gnome-control-center", "microphone"});
            }
            if (desktop.hasDesktopFile("gnome-privacy-panel.desktop")) {
                return DesktopLink::command({"gnome-control-center", "privacy"});
            }
        }
        return DesktopLink::command({"gnome-control-center", "sound"});
    }
    if (runsDesktop(desktop.currentDesktop, "KDE")) {
        // Plasma has no microphone privacy page: input devices are the
        // nearest.
        return DesktopLink::command({"systemsettings", "kcm_pulseaudio"});
    }
    return DesktopLink::command({"pavucontrol"});
}

bool open(ZoqDeepLink page, LinkOpening& via, const DesktopEnvironment& desktop) {
    return via.open(settingsLink(page, desktop));
}

} // namespace zoq
