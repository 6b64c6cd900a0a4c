#include "ZoqShell/Service/ShellStatus.h"

#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/MenuPresentation.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/Transport/PortalOrigin.h"

namespace zoq {

ShellStatus ShellStatus::of(ShellModel& model) {
    const RecorderController& recorder = model.recorder();
    const StatusLine line = zoq::statusLine(statusInputs(model));
    ShellStatus status;
    status.ready = model.ready();
    status.statusLine = line.text;
    status.statusWarning = line.warning;
    status.recorderState = std::string(rawValue(recorder.uiState()));
    status.recordingApp = recorder.recordingApp().value_or("");
    status.running = recorder.isRunning();
    status.paired = model.paired();
    status.blockedAuth = model.blockedAuth();
    status.deviceId = model.currentDeviceId().value_or("");
    status.portal = PortalOrigin::withoutUserInfo(model.settings().apiBaseURLString());
    status.pairingMessage = model.pairingMessage().value_or("");
    status.rows = model.rows();
    // The bus's Rows keep the fields their clients know (in the model's
    // order); the part's app, start and length are for the windows, which
    // read the model itself.
    for (UploadRow& row : status.rows) {
        row.app.clear();
        row.startedAt = Date{};
        row.durationSeconds = 0;
    }
    return status;
}

} // namespace zoq
