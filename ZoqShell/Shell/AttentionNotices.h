#pragma once

#include "ZoqCaptureEngine/EngineTermination.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/RecorderUIState.h"
#include "ZoqShell/Shell/RecordingList.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// A desktop notification the model asks for: something the person should
/// know or do now.
struct Notice {
    std::string summary;
    std::string body;
    bool urgent = false;
    /// Short-lived: the server may drop it from its history.
    bool transient = false;
    /// The application an "Always record APP" action would allow; none
    /// when the notice offers no action.
    std::optional<std::string> alwaysRecord;

    friend bool operator==(const Notice&, const Notice&) = default;
};

/// Decides when something needs the person, so each thing is said once and
/// not every time the model announces a change: a recording stopped by a
/// failure, uploads failing for an hour or stuck (once per episode), a
/// microphone used by an application that is not allowed (once per
/// application and local day). Plain logic over what the model shows; main
/// thread.
class AttentionNotices {
public:
    /// How long uploads may fail before the person is told.
    static constexpr double failingSeconds = 3600;
    static constexpr const char* pausedSummary = I18N_NOOP("Recording paused");
    static constexpr const char* pausedBody =
        I18N_NOOP("Calls are not recorded until you resume (the same hotkey).");
    static constexpr const char* resumedSummary = I18N_NOOP("Recording resumed");

    explicit AttentionNotices(LocalTime local = processLocalTime()) : local_(std::move(local)) {}

    /// "NAME is using the microphone — not recorded (not on your allowlist)",
    /// when `app` was not announced yet on `now`'s local day; none otherwise.
    /// NAME is `name`, or `app` when `name` is empty; the action allows `app`.
    std::optional<Notice> ignoredApp(const std::string& app, Date now, const std::string& name = {});

    /// A notice when the recorder has just stopped because of a failure (not
    /// when the person stopped it); none otherwise. `awaitingSoundServer`:
    /// the run ended with the sound server and comes back with it. A file
    /// system failure in `spool` is said in words ("the disk holding SPOOL
    /// is full — …"), its code after them.
    std::optional<Notice> recorder(RecorderUIState state,
                                   const std::optional<EngineTerminationInfo>& termination,
                                   bool awaitingSoundServer, const std::filesystem::path& spool = {});

    /// A notice when some upload has been failing for `failingSeconds`, or a
    /// row is stuck, once per episode: the episode ends when no row fails.
    std::optional<Notice> uploads(const std::vector<UploadRow>& rows, Date now);

private:
    LocalTime local_;
    // The local day (year * 1000 + day of the year) each application was last told on.
    std::map<std::string, int> ignoredOn_;
    RecorderUIState lastState_ = RecorderUIState::stopped;
    bool lastAwaiting_ = false;
    std::optional<Date> failingSince_;
    bool episodeTold_ = false;
};

} // namespace zoq
