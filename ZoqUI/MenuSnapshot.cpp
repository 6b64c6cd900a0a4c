#include "ZoqUI/MenuSnapshot.h"

#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"

namespace zoq {

MenuSnapshot menuSnapshot(ShellModel& model) {
    const RecorderController& recorder = model.recorder();
    MenuSnapshot snapshot;
    snapshot.status = statusLine(statusInputs(model));
    snapshot.settingsWarnings = model.settings().warnings();
    snapshot.permission = permissionPresentation(model);
    snapshot.running = recorder.isRunning();
    snapshot.awaitingSoundServer = recorder.awaitingSoundServer();
    snapshot.paused = recorder.uiState() == RecorderUIState::paused;
    snapshot.blockedAuth = model.blockedAuth();
    snapshot.redIndicator = recorder.showsRedIndicator();
    snapshot.rows = model.rows();
    snapshot.chimeEnabled = model.settings().chimeEnabled();
    snapshot.chimeLocked = model.settings().isLocked(ShellSettings::chimeEnabledKey);
    snapshot.systemAudioSource = model.settings().systemAudioSource();
    snapshot.systemAudioSourceLocked = model.settings().isLocked(ShellSettings::systemAudioSourceKey);
    snapshot.tellNotAllowed = model.tellsAboutNotAllowedApps();
    snapshot.loginItemState = model.loginItemState();
    snapshot.loginItemProblem = model.loginItemProblem();
    return snapshot;
}

} // namespace zoq
