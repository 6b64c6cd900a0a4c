#include "ZoqShell/Shell/MenuPresentation.h"

#include "ZoqShell/Shell/ShellModel.h"

#include <algorithm>
#include <utility>

namespace zoq {

PermissionPresentation permissionPresentation(const std::optional<RecorderPermissionContext>& context,
                                              bool requestingMicrophone, bool microphoneChoicePending) {
    using Service = RecorderPermissionContext::Service;
    using Status = RecorderPermissionContext::Status;
    const std::string systemAudio = "Permission not granted — allow system audio";
    if (!context) {
        return {systemAudio, false, "", SettingsTarget::none};
    }
    switch (context->service) {
    case Service::systemAudio:
        return {systemAudio, false, "", SettingsTarget::systemAudio};
    case Service::unknown:
        return {"Permission not granted — " + context->reportedService + " (" + context->detail + ")", false,
                "", SettingsTarget::none};
    case Service::microphone:
        break;
    }
    switch (context->status) {
    case Status::restricted:
        return {"Microphone access is restricted by this device or account", false, "",
                SettingsTarget::microphone};
    case Status::denied:
        return {"Microphone access denied — enable it in the sound settings", false, "",
                SettingsTarget::microphone};
    case Status::unconfirmed:
        return {"Permission not granted — microphone (" + context->detail + ")", false, "",
                SettingsTarget::microphone};
    case Status::notDetermined:
        break;
    }
    if (requestingMicrophone) {
        return {"Requesting microphone permission — choose Allow in the system dialog", false, "",
                SettingsTarget::none};
    }
    std::string line = "Permission not granted — microphone access needs approval";
    if (microphoneChoicePending) {
        line += " — your choice is still pending";
    }
    return {line, true,
            microphoneChoicePending ? "Check microphone permission again…" : "Request microphone access…",
            SettingsTarget::none};
}

StatusLine statusLine(const StatusInputs& inputs) {
    if (inputs.portalChanged) {
        return {ShellModel::portalChangedMessage, true};
    }
    if (inputs.blockedAuth) {
        return {"Blocked: re-pair required", true};
    }
    const std::string detail = inputs.termination ? inputs.termination->detail : "";
    switch (inputs.state) {
    case RecorderUIState::stopped:
        return {"Recorder stopped"};
    case RecorderUIState::starting:
        return {"Starting the recorder…"};
    case RecorderUIState::armed:
        return {"Armed — waiting for an allowed app"};
    case RecorderUIState::debouncing:
        return {"Waiting for activity…"};
    case RecorderUIState::recording:
        return {"Recording " + inputs.recordingApp.value_or("")};
    case RecorderUIState::idleGrace:
        return {"Wrapping up…"};
    case RecorderUIState::finalising:
        return {"Finalising capture…"};
    case RecorderUIState::paused:
        return {"Paused"};
    case RecorderUIState::errorVisible:
        return {"Error: " + (inputs.termination ? detail : std::string("capture error"))};
    case RecorderUIState::permissionNotGranted:
        return {inputs.permission.statusLine};
    case RecorderUIState::deadGrant:
        return {"Dead grant: permission looks granted but yields silence"};
    case RecorderUIState::failure:
        return {"Engine failure: " + detail};
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
    return {model.blockedAuth(),           recorder.uiState(),   std::move(app), recorder.terminationInfo(),
            permissionPresentation(model), model.portalChanged()};
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
