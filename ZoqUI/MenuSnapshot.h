#pragma once

#include "ZoqCaptureEngine/EngineConfiguration.h"
#include "ZoqShell/Shell/MenuPresentation.h"
#include "ZoqShell/System/LoginItemState.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <optional>
#include <string>
#include <vector>

namespace zoq {

class ShellModel;

/// Everything the tray menu and icon show, read from the shell model in one
/// go: the menu is rebuilt from it, and only when it differs from the last.
struct MenuSnapshot {
    StatusLine status;
    /// What is wrong with the settings file or a value in it, one sentence
    /// each (`ShellSettings::warnings`); shown under the status line.
    std::vector<std::string> settingsWarnings;
    PermissionPresentation permission;
    /// Recording is switched on: an engine runs (armed, recording, paused,
    /// ...) or the next waits for the sound server.
    bool running = false;
    /// Recording is on but waits for the sound server: nothing to pause.
    bool awaitingSoundServer = false;
    bool paused = false;
    bool blockedAuth = false;
    bool redIndicator = false;
    /// Every row, oldest first, as the model holds them.
    std::vector<UploadRow> rows;
    bool chimeEnabled = true;
    /// The administrator's policy sets the chime: shown, not switchable.
    bool chimeLocked = false;
    SystemAudioSource systemAudioSource = SystemAudioSource::all;
    /// The administrator's policy sets it: shown, not switchable.
    bool systemAudioSourceLocked = false;
    /// "Tell me about apps that are not allowed".
    bool tellNotAllowed = true;
    LoginItemState loginItemState = LoginItemState::notRegistered;
    /// Why the last change of the login item did not take.
    std::optional<std::string> loginItemProblem;

    friend bool operator==(const MenuSnapshot&, const MenuSnapshot&) = default;
};

/// Reads the snapshot from `model` (main thread).
MenuSnapshot menuSnapshot(ShellModel& model);

} // namespace zoq
