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
    return status;
}

} // namespace zoq
