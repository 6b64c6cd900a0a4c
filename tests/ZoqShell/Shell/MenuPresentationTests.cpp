#include "ZoqShell/Shell/MenuPresentation.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using Service = RecorderPermissionContext::Service;
using Status = RecorderPermissionContext::Status;

RecorderPermissionContext microphone(Status status, std::string detail = "") {
    return {Service::microphone, "microphone", status, std::move(detail)};
}

TEST(MenuPresentation, PermissionGuidanceForEveryContext) {
    struct Case {
        std::optional<RecorderPermissionContext> context;
        bool requesting;
        bool pending;
        PermissionPresentation expected;
    };
    const std::string systemAudio = "Permission not granted — allow system audio";
    const Case cases[] = {
        {std::nullopt, false, false, {systemAudio, false, "", SettingsTarget::none}},
        {RecorderPermissionContext{Service::systemAudio, "system_audio", Status::unconfirmed, "x"},
         false,
         false,
         {systemAudio, false, "", SettingsTarget::systemAudio}},
        {RecorderPermissionContext{Service::unknown, "camera", Status::unconfirmed, "odd"},
         false,
         false,
         {"Permission not granted — camera (odd)", false, "", SettingsTarget::none}},
        {microphone(Status::restricted),
         false,
         false,
         {"Microphone access is restricted by this device or account", false, "",
          SettingsTarget::microphone}},
        {microphone(Status::denied),
         true,
         true,
         {"Microphone access denied — enable it in the sound settings", false, "",
          SettingsTarget::microphone}},
        {microphone(Status::unconfirmed, "silent"),
         false,
         false,
         {"Permission not granted — microphone (silent)", false, "", SettingsTarget::microphone}},
        {microphone(Status::notDetermined),
         true,
         true,
         {"Requesting microphone permission — choose Allow in the system dialog", false, "",
          SettingsTarget::none}},
        {microphone(Status::notDetermined),
         false,
         false,
         {"Permission not granted — microphone access needs approval", true, "Request microphone access…",
          SettingsTarget::none}},
        {microphone(Status::notDetermined),
         false,
         true,
         {"Permission not granted — microphone access needs approval — your choice is still pending", true,
          "Check microphone permission again…", SettingsTarget::none}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(permissionPresentation(c.context, c.requesting, c.pending), c.expected)
            << c.expected.statusLine;
    }
}

TEST(MenuPresentation, StatusLineForEveryStateAndBlockedWins) {
    const EngineTerminationInfo info{"failure", "tap_start_failed:x"};
    const PermissionPresentation permission{"Permission line", false, "", SettingsTarget::none};
    struct Case {
        RecorderUIState state;
        std::optional<std::string> app;
        std::optional<EngineTerminationInfo> termination;
        std::string expected;
        /// The right channel fell back to everything: a warning while recording.
        bool fallback = false;
        bool warning = false;
    };
    const Case cases[] = {
        {RecorderUIState::stopped, {}, {}, "Recorder stopped"},
        {RecorderUIState::armed, {}, {}, "Armed — waiting for an allowed app"},
        {RecorderUIState::debouncing, {}, {}, "Waiting for activity…"},
        {RecorderUIState::recording, std::string("Call"), {}, "Recording Call"},
        {RecorderUIState::recording, {}, {}, "Recording "},
        {RecorderUIState::recording,
         std::string("Call"),
         {},
         "Recording Call — no sound from it, so the right channel has everything the computer plays",
         true,
         true},
        {RecorderUIState::idleGrace, {}, {}, "Wrapping up…", true, false},
        {RecorderUIState::idleGrace, {}, {}, "Wrapping up…"},
        {RecorderUIState::finalising, {}, {}, "Finalising capture…"},
        {RecorderUIState::paused, {}, {}, "Paused"},
        {RecorderUIState::errorVisible, {}, info, "Error: tap_start_failed:x"},
        {RecorderUIState::errorVisible, {}, {}, "Error: capture error"},
        {RecorderUIState::permissionNotGranted, {}, {}, "Permission line"},
        {RecorderUIState::deadGrant, {}, {}, "Dead grant: permission looks granted but yields silence"},
        {RecorderUIState::failure, {}, info, "Engine failure: tap_start_failed:x"},
        {RecorderUIState::failure, {}, {}, "Engine failure: "},
    };
    for (const Case& c : cases) {
        StatusInputs inputs{false, c.state, c.app, c.termination, permission};
        inputs.rightChannelFallback = c.fallback;
        EXPECT_EQ(statusLine(inputs), (StatusLine{c.expected, c.warning}));
        inputs.blockedAuth = true;
        EXPECT_EQ(statusLine(inputs), (StatusLine{"Blocked: re-pair required", true}));
    }
}

TEST(MenuPresentation, RowsAreTheLastSixNewestFirstWithTheirLabels) {
    std::vector<UploadRow> rows(12);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].directoryName = "s-" + std::to_string(i + 1);
    }
    const std::vector<UploadRow> shown = lastRows(rows);
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown.front().directoryName, "s-12");
    EXPECT_EQ(shown.back().directoryName, "s-7");
    EXPECT_TRUE(lastRows({}).empty());
    EXPECT_FALSE(anyStuck(rows));

    UploadRow row;
    row.state = ArtifactState::retryWait;
    EXPECT_EQ(rowLabel(row), "RETRY_WAIT");
    row.recordingId = "0123456789abcdef";
    row.failures = 5;
    row.stuck = true;
    EXPECT_EQ(rowLabel(row), "RETRY_WAIT 01234567 ⚠ stuck (5 failures)");
    rows[3] = row;
    EXPECT_TRUE(anyStuck(rows));
}

} // namespace
} // namespace zoq
