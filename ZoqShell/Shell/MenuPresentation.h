#pragma once

#include "ZoqShell/Recorder/RecorderPermissionContext.h"
#include "ZoqShell/Recorder/RecorderUIState.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <optional>
#include <string>
#include <vector>

namespace zoq {

class ShellModel;

/// What every view of the shell model (the tray menu, the session-bus
/// service, `zoq status`) says about it, derived afresh from the model each
/// time: the status line, the permission guidance and the upload row labels.
/// Toolkit-free, so the texts are the same wherever they are shown.

/// Which settings the permission guidance points at.
enum class SettingsTarget : unsigned char { none, microphone, systemAudio };

/// How a stopped recorder's permission problem is presented.
struct PermissionPresentation {
    std::string statusLine;
    bool showsRequestButton = false;
    /// Empty when there is no button.
    std::string requestButtonTitle;
    SettingsTarget settingsTarget = SettingsTarget::none;

    friend bool operator==(const PermissionPresentation&, const PermissionPresentation&) = default;
};

PermissionPresentation permissionPresentation(const std::optional<RecorderPermissionContext>& context,
                                              bool requestingMicrophone, bool microphoneChoicePending);

/// The first line of the menu; `warning` while the device is blocked, or
/// while a part records everything on the right although only the recorded
/// application was asked for (shown in orange).
struct StatusLine {
    std::string text;
    bool warning = false;

    friend bool operator==(const StatusLine&, const StatusLine&) = default;
};

/// What the status line is made of, so it can be derived without a model.
struct StatusInputs {
    bool blockedAuth = false;
    RecorderUIState state = RecorderUIState::stopped;
    std::optional<std::string> recordingApp;
    std::optional<EngineTerminationInfo> termination;
    PermissionPresentation permission;
    /// The portal address names another portal than the credentials'.
    bool portalChanged = false;
    /// The part being recorded heard none of the recorded application's
    /// playback and records everything the computer plays on the right.
    bool rightChannelFallback = false;
};

StatusLine statusLine(const StatusInputs& inputs);
StatusInputs statusInputs(ShellModel& model);
PermissionPresentation permissionPresentation(ShellModel& model);

/// "RETRY_WAIT 0123abcd ⚠ stuck (5 failures)": the state's wire word, the
/// first 8 characters of the recording id when there is one, and the stuck
/// mark.
std::string rowLabel(const UploadRow& row);

/// How many uploads the menu lists: the most recent ones, newest first.
constexpr std::size_t menuRowCount = 6;
std::vector<UploadRow> lastRows(const std::vector<UploadRow>& rows);
bool anyStuck(const std::vector<UploadRow>& rows);

} // namespace zoq
