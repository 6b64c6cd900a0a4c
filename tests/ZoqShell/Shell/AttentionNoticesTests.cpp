#include "ZoqShell/Shell/AttentionNotices.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

const LocalTime utc = [](Date when) {
    const auto seconds = static_cast<std::time_t>(when.unixSeconds());
    std::tm broken{};
    ::gmtime_r(&seconds, &broken);
    return broken;
};

// 2026-12-08 23:00:00 UTC: an hour before midnight.
constexpr double lateEvening = 1'796'770'800.0;

TEST(AttentionNotices, ANotAllowedAppIsToldOncePerAppAndDay) {
    AttentionNotices notices(utc);
    const Date evening = Date::fromUnix(lateEvening);
    const std::optional<Notice> first = notices.ignoredApp("com.example.Call", evening);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->summary,
              "com.example.Call is using the microphone — not recorded (not on your allowlist)");
    EXPECT_EQ(first->alwaysRecord, "com.example.Call");
    // Again that day (a new engine run, the same call resumed): nothing.
    EXPECT_FALSE(notices.ignoredApp("com.example.Call", evening + 1800));
    // Another application is its own.
    EXPECT_TRUE(notices.ignoredApp("com.example.Other", evening + 1800));
    // After midnight, local time, once more.
    EXPECT_TRUE(notices.ignoredApp("com.example.Call", evening + 3601));
    EXPECT_FALSE(notices.ignoredApp("com.example.Call", evening + 7200));
}

UploadRow failingRow(std::int64_t failures, bool stuck = false) {
    UploadRow row;
    row.state = ArtifactState::retryWait;
    row.stage = QueueStage::retryWait;
    row.failures = failures;
    row.stuck = stuck;
    row.lastError = "the portal answered 503";
    return row;
}

TEST(AttentionNotices, FailingUploadsAreToldOncePerEpisode) {
    AttentionNotices notices(utc);
    const Date start = Date::fromUnix(lateEvening);
    UploadRow fine;
    fine.state = ArtifactState::stored;
    fine.stage = QueueStage::stored;
    EXPECT_FALSE(notices.uploads({fine}, start));
    EXPECT_FALSE(notices.uploads({fine, failingRow(1)}, start));
    EXPECT_FALSE(notices.uploads({failingRow(2)}, start + 3599));
    const std::optional<Notice> told = notices.uploads({failingRow(3)}, start + 3600);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->summary, "Uploads have been failing for an hour");
    EXPECT_NE(told->body.find("the portal answered 503"), std::string::npos);
    EXPECT_FALSE(notices.uploads({failingRow(4, true)}, start + 7200));
    // The episode ends when nothing fails; a stuck row in the next is told at once.
    EXPECT_FALSE(notices.uploads({fine}, start + 8000));
    const std::optional<Notice> stuck = notices.uploads({failingRow(4, true)}, start + 8001);
    ASSERT_TRUE(stuck);
    EXPECT_EQ(stuck->summary, "An upload is stuck");
}

TEST(AttentionNotices, ARecordingStoppedByAFailureIsToldOnceAndAStopByThePersonNot) {
    AttentionNotices notices(utc);
    EXPECT_FALSE(notices.recorder(RecorderUIState::armed, std::nullopt, false));
    EXPECT_FALSE(notices.recorder(RecorderUIState::stopped, std::nullopt, false));
    EXPECT_FALSE(notices.recorder(RecorderUIState::recording, std::nullopt, false));
    const std::optional<Notice> failed = notices.recorder(
        RecorderUIState::failure, EngineTerminationInfo{"failure", "the disk is full"}, false);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->summary, "Recording stopped — the disk is full");
    EXPECT_TRUE(failed->urgent);
    EXPECT_FALSE(notices.recorder(RecorderUIState::failure, EngineTerminationInfo{"failure", "x"}, false));
    EXPECT_FALSE(notices.recorder(RecorderUIState::armed, std::nullopt, false));
    const std::optional<Notice> lost = notices.recorder(
        RecorderUIState::failure, EngineTerminationInfo{"failure", "sound server lost"}, true);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->summary,
              "Recording stopped — the sound server stopped; recording resumes when it is back");

    // The engine's own reason for a full disk, in words first.
    EXPECT_FALSE(notices.recorder(RecorderUIState::armed, std::nullopt, false));
    const std::optional<Notice> full =
        notices.recorder(RecorderUIState::failure,
                         EngineTerminationInfo{"failure", "capture_pipeline_failed:io(\"write\", 28)"}, false,
                         "/home/ana/.local/share/zoq/spool");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->summary.rfind(
                  "Recording stopped — the disk holding /home/ana/.local/share/zoq/spool is full", 0),
              0u)
        << full->summary;
    EXPECT_NE(full->summary.find("io(\"write\", 28)"), std::string::npos) << full->summary;
}

} // namespace
} // namespace zoq
