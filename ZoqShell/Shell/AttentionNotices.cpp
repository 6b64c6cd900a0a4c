#include "ZoqShell/Shell/AttentionNotices.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Messages/PlainWords.h"

#include <algorithm>

namespace zoq {
namespace {

bool failing(const UploadRow& row) {
    return row.stuck ||
           (row.failures > 0 && (row.stage == QueueStage::retryWait || row.stage == QueueStage::creating ||
                                 row.stage == QueueStage::transferring ||
                                 row.stage == QueueStage::completing || row.stage == QueueStage::verifying));
}

} // namespace

std::optional<Notice> AttentionNotices::ignoredApp(const std::string& app, Date now,
                                                   const std::string& name) {
    const std::tm day = local_(now);
    const int key = day.tm_year * 1000 + day.tm_yday;
    const auto [entry, added] = ignoredOn_.try_emplace(app, key);
    if (!added && entry->second == key) {
        return std::nullopt;
    }
    entry->second = key;
    return Notice{substitute(i18n("{1} is using the microphone — not recorded (not on your allowlist)"),
                             {name.empty() ? app : name}),
                  i18n("Only the applications on your allowlist are recorded."), false, false, app};
}

std::optional<Notice> AttentionNotices::recorder(RecorderUIState state,
                                                 const std::optional<EngineTerminationInfo>& termination,
                                                 bool awaitingSoundServer,
                                                 const std::filesystem::path& spool) {
    const bool wasFailed =
        lastState_ == RecorderUIState::failure || lastState_ == RecorderUIState::errorVisible;
    const bool failed = state == RecorderUIState::failure || state == RecorderUIState::errorVisible;
    const bool newly = (failed && !wasFailed) || (awaitingSoundServer && !lastAwaiting_);
    lastState_ = state;
    lastAwaiting_ = awaitingSoundServer;
    if (!newly) {
        return std::nullopt;
    }
    if (awaitingSoundServer) {
        return Notice{i18n("Recording stopped — the sound server stopped; recording resumes when it is back"),
                      "", true, false, std::nullopt};
    }
    std::string detail =
        termination && !termination->detail.empty() ? termination->detail : std::string(i18n("capture error"));
    // The engine's reason ("capture_pipeline_failed:io(\"write\", 28)") in
    // words where it is a file system failure: the disk is full, read-only, ...
    if (std::optional<std::string> words = plain::ioWords(detail, spool)) {
        detail = std::move(*words);
    }
    return Notice{substitute(i18n("Recording stopped — {1}"), {detail}),
                  i18n("Start recording again from the zoq menu once this is fixed."), true, false,
                  std::nullopt};
}

std::optional<Notice> AttentionNotices::uploads(const std::vector<UploadRow>& rows, Date now) {
    const auto first = std::find_if(rows.begin(), rows.end(), failing);
    if (first == rows.end()) {
        failingSince_.reset();
        episodeTold_ = false;
        return std::nullopt;
    }
    if (!failingSince_) {
        failingSince_ = now;
    }
    const auto stuck = std::find_if(rows.begin(), rows.end(), [](const UploadRow& row) { return row.stuck; });
    if (episodeTold_ || (stuck == rows.end() && now - *failingSince_ < failingSeconds)) {
        return std::nullopt;
    }
    episodeTold_ = true;
    const UploadRow& shown = stuck != rows.end() ? *stuck : *first;
    const std::string reason = shown.lastError.value_or(i18n("the portal could not be reached"));
    return Notice{
        stuck != rows.end() ? i18n("An upload is stuck") : i18n("Uploads have been failing for an hour"),
        substitute(i18n("The last reason: {1}. Recordings are kept on this computer and sent once this "
                        "is fixed: check the network and the portal, then choose Upload now."),
                   {reason}),
        true, false, std::nullopt};
}

} // namespace zoq
