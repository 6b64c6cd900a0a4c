#include "ZoqUI/MenuActions.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/ShellModel.h"

namespace zoq {

std::string_view identifier(TrayWindow window) noexcept {
    switch (window) {
    case TrayWindow::allowlist:
        return "allowlist";
    case TrayWindow::pairing:
        return "pairing";
    case TrayWindow::hotkey:
        return "hotkey";
    case TrayWindow::recordings:
        return "recordings";
    }
    return "";
}

ModelMenuActions::ModelMenuActions(ShellModel& model, LinkOpening& links,
                                   std::function<void(TrayWindow)> openWindow, std::function<void()> quit)
    : model_(model), links_(links), openWindow_(std::move(openWindow)), quit_(std::move(quit)) {}

void ModelMenuActions::toggleRecorder() {
    model_.toggleRecorder();
}
void ModelMenuActions::togglePause() {
    model_.togglePause();
}
void ModelMenuActions::requestMicrophonePermission() {
    model_.requestMicrophonePermission();
}
void ModelMenuActions::uploadNow() {
    model_.uploadNow();
}
void ModelMenuActions::setChime(bool enabled) {
    model_.setChime(enabled);
}
void ModelMenuActions::setSystemAudioSource(SystemAudioSource source) {
    model_.setSystemAudioSource(source);
}
void ModelMenuActions::setTellNotAllowed(bool enabled) {
    model_.setTellAboutNotAllowedApps(enabled);
}
void ModelMenuActions::setLoginItem(bool enabled) {
    model_.setLoginItem(enabled);
}
void ModelMenuActions::openWindow(TrayWindow window) {
    openWindow_(window);
}
void ModelMenuActions::openSettings(ZoqDeepLink page) {
    if (open(page, links_) || page == ZoqDeepLink::loginItemsSettings) {
        return;
    }
    // Neither the desktop's own panel nor the mixer that stands in for it
    // could be started: say what would help instead of doing nothing.
    model_.tell(Notice{i18n(noSoundSettings), i18n(noSoundSettingsBody), false, false, std::nullopt});
}
void ModelMenuActions::quit() {
    quit_();
}

} // namespace zoq
