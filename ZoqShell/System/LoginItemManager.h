#pragma once

#include "ZoqShell/System/LoginItemManaging.h"

#include <filesystem>
#include <string>

namespace zoq {

/// zoq as a login item through an XDG autostart entry
/// ($XDG_CONFIG_HOME/autostart/org.zoq.Zoq.desktop) that starts the tray
/// program with --background.
///
/// States, read from the entry each time:
/// - no entry: `notRegistered`;
/// - an entry the desktop's settings switched off (`Hidden=true`, or
///   `X-GNOME-Autostart-enabled=false`): `requiresApproval`, the person has
///   to switch it on again there (or zoq registers afresh);
/// - any other entry: `registered`;
/// - an entry that cannot be read or is not a desktop entry: `unknown`.
///
/// Registering writes the whole entry (durably replaced, never half
/// written; the directory is created when missing). Unregistering deletes
/// it rather than switching it off, because session starters that go through
/// systemd's autostart generator ignore `X-GNOME-Autostart-enabled`.
class LoginItemManager final : public LoginItemManaging {
public:
    /// `trayProgram` is the absolute path of the installed tray program;
    /// `entry` where the autostart entry lives. Throws
    /// `CoreError::invalid("tray program")` for a relative program path.
    explicit LoginItemManager(std::filesystem::path trayProgram, std::filesystem::path entry);

    LoginItemState currentState() const noexcept override;
    LoginItemState registerLoginItem() noexcept override;
    LoginItemState unregister() noexcept override;

    /// The entry `registerLoginItem` writes.
    std::string entryText() const;

private:
    const std::filesystem::path trayProgram_;
    const std::filesystem::path entry_;
};

} // namespace zoq
