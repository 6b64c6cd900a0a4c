#include "ZoqShell/Shell/MenuPresentation.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/ShellModel.h"

#include <algorithm>
#include <utility>

namespace zoq {

PermissionPresentation permissionPresentation(const std::optional<RecorderPermissionContext>& context,
                                              bool requestingMicrophone, bool microphoneChoicePending) {
    using Service = RecorderPermissionContext::Service;
    using Status = RecorderPermissionContext::Status;
    const std::string systemAudio = i18n("Permission not granted — allow system audio");
    if (!context) {
        return {systemAudio, false, "", SettingsTarget::none};
    }
    switch (context->service) {
    case Service::systemAudio:
        return {systemAudio, false, "", SettingsTarget::systemAudio};
    case Service::unknown:
        return {substitute(i18n("Permission not granted — {1} ({2})"),
                           {context->reportedService, context->detail}),
                false, "", SettingsTarget::none};
    case Service::microphone:
        break;
    }
    switch (context->status) {
    case Status::restricted:
        return {i18n("Microphone access is restricted by this device or account"), false, "",
                SettingsTarget::microphone};
    case Status::denied:
        return {i18n("Microphone access denied — enable it in the sound settings"), false, "",
                SettingsTarget::microphone};
    case Status::unconfirmed:
        return {substitute(i18n("Permission not granted — microphone ({1})"), {context->detail}), false, "",
                SettingsTarget::microphone};
    case Status::notDetermined:
        break;
    }
    if (requestingMicrophone) {
        return {i18n("Requesting microphone permission — choose Allow in the system dialog"), false, "",
                SettingsTarget::none};
    }
    const std::string line =
        microphoneChoicePending
            ? i18n("Permission not granted — microphone access needs approval — your choice is still pending")
            : i18n("Permission not granted — microphone access needs approval");
    return {line, true,
            microphoneChoicePending ? i18n("Check microphone permission again…")
                                    : i18n("Request microphone access…"),
            SettingsTarget::none};
}

StatusLine statusLine(const StatusInputs& inputs) {
    if (inputs.portalChanged) {
        return {i18n(ShellModel::portalChangedMessage), true};
    }
    if (inputs.blockedAuth) {
        return {i18n("Blocked: re-pair required"), true};
    }
    const std::string detail = inputs.termination ? inputs.termination->detail : "";
    switch (inputs.state) {
    case RecorderUIState::stopped:
        return {i18n("Recorder stopped")};
    case RecorderUIState::starting:
        return {i18n("Starting the recorder…")};
    case RecorderUIState::armed:
        return {i18n("Armed — waiting for an allowed app")};
    case RecorderUIState::debouncing:
        return {i18n("Waiting for activity…")};
    case RecorderUIState::recording:
        if (inputs.rightChannelFallback) {
            return {substitute(i18n("Recording {1} — no sound from it, so the right channel has "
                                    "everything the computer plays"),
                               {inputs.recordingApp.value_or("")}),
                    true};
        }
        return {substitute(i18n("Recording {1}"), {inputs.recordingApp.value_or("")})};
    case RecorderUIState::idleGrace:
        return {i18n("Wrapping up…")};
    case RecorderUIState::finalising:
        return {i18n("Finalising capture…")};
    case RecorderUIState::paused:
        return {i18n("Paused")};
    case RecorderUIState::errorVisible:
        return {substitute(i18n("Error: {1}"),
                           {inputs.termination ? detail : std::string(i18n("capture error"))})};
    case RecorderUIState::permissionNotGranted:
        return {inputs.permission.statusLine};
    case RecorderUIState::deadGrant:
        return {i18n("Dead grant: permission looks granted but yields silence")};
    case RecorderUIState::failure:
        return {substitute(i18n("Engine failure: {1}"), {detail})};
    }
    return {};
}

PermissionPresentation permissionPresentation(ShellModel& model) {
    const RecorderController& recorder = model.recorder();
    return permissionPresentation(recorder.permissionContext(), recorder.isRequestingMicrophonePermission(),
                                  recorder.microphoneChoicePending());
}

StatusInputs statusInputs(ShellModel& model) {
    const RecorderController& recorder = model.recorder();
    std::optional<std::string> app = recorder.recordingApp();
    if (app) {
        app = model.applicationName(*app);
    }
    return {model.blockedAuth(),
            recorder.uiState(),
            std::move(app),
            recorder.terminationInfo(),
            permissionPresentation(model),
            model.portalChanged(),
            recorder.systemSource() == RecorderController::fallbackSource};
}

std::string rowLabel(const UploadRow& row) {
    std::string label(rawValue(row.state));
    if (row.recordingId) {
        label += " " + row.recordingId->substr(0, 8);
    }
    if (row.stuck) {
        label += " ⚠ stuck (" + std::to_string(row.failures) + " failures)";
    }
    return label;
}

std::vector<UploadRow> lastRows(const std::vector<UploadRow>& rows) {
    const std::size_t count = std::min(rows.size(), menuRowCount);
    return {rows.rbegin(), rows.rbegin() + static_cast<std::ptrdiff_t>(count)};
}

bool anyStuck(const std::vector<UploadRow>& rows) {
    return std::any_of(rows.begin(), rows.end(), [](const UploadRow& row) { return row.stuck; });
}

} // namespace zoq
