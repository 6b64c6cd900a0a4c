#include "ZoqUI/RecordingNotices.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/ShellModel.h"

namespace zoq {

NoticeState NoticeState::of(ShellModel& model) {
    const RecorderController& recorder = model.recorder();
    std::optional<std::string> app = recorder.recordingApp();
    if (app) {
        app = model.applicationName(*app);
    }
    return {recorder.uiState(), std::move(app), recorder.lastFinalizedDirectory(), model.blockedAuth()};
}

std::string RecordingNotices::startedText(const std::optional<std::string>& app) {
    return app && !app->empty() ? substitute(i18n("Recording started — {1}"), {*app})
                                : std::string(i18n("Recording started"));
}

RecordingNotices::RecordingNotices(Notify notify) : notify_(std::move(notify)) {}

void RecordingNotices::watch(ShellModel& model) {
    NoticeState now = NoticeState::of(model);
    last_ = now;
    last_.blockedAuth = false;
    update(now);
    observer_ = std::make_unique<ModelObserver>(model, [this, &model] { update(NoticeState::of(model)); });
}

void RecordingNotices::update(const NoticeState& state) {
    if (state.recorder == RecorderUIState::recording && last_.recorder != RecorderUIState::recording &&
        last_.recorder != RecorderUIState::idleGrace) {
        notify_(startedText(state.app), "", false);
    }
    if (state.lastFinalized && state.lastFinalized != last_.lastFinalized) {
        notify_(i18n(saved), "", false);
    }
    if (state.blockedAuth && !last_.blockedAuth) {
        notify_(i18n(blocked), i18n(blockedBody), true);
    }
    last_ = state;
}

} // namespace zoq
