#pragma once

#include "ZoqShell/System/LinkOpening.h"

#include <filesystem>
#include <functional>
#include <string>

namespace zoq {

/// The desktop settings pages zoq sends the person to.
enum class ZoqDeepLink {
    screenAudioRecordingSettings, ///< where system audio (the output devices) is set up
    loginItemsSettings,           ///< the desktop's startup applications
    microphoneSettings,           ///< microphone access, or the input devices where there is no such page
};

/// What the choice of settings tool depends on. Tests give their own.
struct DesktopEnvironment {
    /// XDG_CURRENT_DESKTOP: desktop names separated by ':' ("ubuntu:GNOME").
    std::string currentDesktop;
    /// Whether an application's desktop file ("gnome-microphone-panel.desktop")
    /// is installed.
    std::function<bool(const std::string& desktopFileName)> hasDesktopFile;
    /// Whether a program is on PATH.
    std::function<bool(const std::string& program)> hasProgram;
    /// The autostart directory, opened in the file manager where the desktop
    /// has no startup-applications tool.
    std::filesystem::path autostartDirectory;

    /// This session's: its environment, the applications directories of
    /// XDG_DATA_HOME and XDG_DATA_DIRS, PATH.
    static DesktopEnvironment current();
};

/// The link that opens `page` on `desktop`:
///
/// | page | GNOME | KDE Plasma | elsewhere |
/// |---|---|---|---|
/// | screen/system audio | gnome-control-center sound | systemsettings kcm_pulseaudio | pavucontrol |
/// | microphone | gnome-control-center microphone (privacy, else sound, where that panel is missing) |
/// systemsettings kcm_pulseaudio | pavucontrol | | login items | the first installed startup-applications
/// tool, else the autostart directory | systemsettings kcm_autostart | as GNOME |
DesktopLink settingsLink(ZoqDeepLink page, const DesktopEnvironment& desktop);

/// Opens `page` through `via` and returns its answer.
bool open(ZoqDeepLink page, LinkOpening& via,
          const DesktopEnvironment& desktop = DesktopEnvironment::current());

} // namespace zoq
