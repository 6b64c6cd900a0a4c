#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/RecorderUIState.h"
#include "ZoqUI/ModelObserver.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zoq {

class ShellModel;

/// What the notices depend on, read from the model.
struct NoticeState {
    RecorderUIState recorder = RecorderUIState::stopped;
    std::optional<std::string> app;
    std::optional<std::filesystem::path> lastFinalized;
    bool blockedAuth = false;

    static NoticeState of(ShellModel& model);
};

/// Tells the person, through desktop notifications, what they must always
/// know: that a call is being recorded, that its recording is saved, and that
/// the device was blocked and recordings wait until it is paired again.
///
/// A notice when the recorder enters `recording` (not when a call resumes
/// within the grace period: that is the same recording), when a new part is
/// finalised, and when the device becomes blocked (also when it is found
/// blocked at start). Main thread.
class RecordingNotices {
public:
    using Notify = std::function<void(const std::string& summary, const std::string& body, bool urgent)>;

    static constexpr const char* saved = I18N_NOOP("Recording saved");
    static constexpr const char* blocked = I18N_NOOP("Blocked: re-pair required");
    static constexpr const char* blockedBody =
        I18N_NOOP("This device was revoked or its token rejected. Recordings are kept and wait: open "
                  "Pairing… in the zoq menu to pair it again.");

    /// "Recording started — APP", or "Recording started" when the application
    /// is not known.
    static std::string startedText(const std::optional<std::string>& app);

    explicit RecordingNotices(Notify notify);

    /// Follows `model` from now on (it is borrowed and must outlive this
    /// object): what it shows now is the starting point, except that a device
    /// already blocked is announced.
    void watch(ShellModel& model);

    /// Announces what changed since the last state.
    void update(const NoticeState& state);

private:
    Notify notify_;
    NoticeState last_;
    std::unique_ptr<ModelObserver> observer_;
};

} // namespace zoq
