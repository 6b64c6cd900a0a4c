#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Shell/MenuPresentation.h"
#include "ZoqShell/Shell/RecordingList.h"
#include "ZoqShell/Shell/UploadHistory.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqShell/Uploader/SpoolUploader.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zoq {
namespace {

constexpr const char* device = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";

/// Local time as UTC, so the texts do not depend on the machine's zone.
const LocalTime utc = [](Date when) {
    const auto seconds = static_cast<std::time_t>(when.unixSeconds());
    std::tm broken{};
    ::gmtime_r(&seconds, &broken);
    return broken;
};

// 2026-12-08 14:05:00 UTC
constexpr double afternoon = 1'796'738'700.0;

TEST(RecordingList, SpoolRowsComeOutInStartOrderWhateverTheirDirectoryNames) {
    // The spool lists directories by their session identifiers, which are
    // random: here their name order is the reverse of their start order.
    test::TempDirectory temp;
    const std::filesystem::path spool = temp / "spool";
    std::filesystem::create_directory(spool);
    ManualClock clock;
    test::FakeFLACEncoder encoder;
    const struct {
        const char* session;
        double start;
        const char* app;
    } parts[] = {
        {"ffffffff-2fa1-41d2-883f-0016d3cca427", 100, "com.example.First"},
        {"aaaaaaaa-2fa1-41d2-883f-0016d3cca427", 300, "com.example.Third"},
        {"cccccccc-2fa1-41d2-883f-0016d3cca427", 200, "com.example.Second"},
    };
    for (const auto& part : parts) {
        const CaptureSegment segment{part.session, 0, part.app, Date{800'000'000.0 + part.start}, 0};
        auto artifact = Artifact::create(spool / (std::string(part.session) + "-0"), segment, device, clock,
                                         std::make_shared<DurableIO>());
        artifact->append(test::syntheticPCM(pcm::minimumPartFrames, 5));
        artifact->finalise(encoder, segment.startedAt + 20.0, false);
    }
    StubWireTransport transport{[](const TransportRequest&) { return TransportResponse{503, {}, {}}; }};
    test::MemoryCredentialPersistence persistence;
    DeviceAuth auth{transport, persistence, "http://127.0.0.1:9", clock};
    NullNetwork network;
    SpoolUploader uploader(
        spool,
        SpoolUploader::Dependencies{auth, transport, network,
                                    [] { return std::make_unique<test::FakeFLACEncoder>(); }},
        clock);
    std::vector<UploadRow> published;
    uploader.onRows([&](const std::vector<UploadRow>& rows, bool) { published = rows; });
    (void)uploader.tickOnce().get();

    std::vector<std::string> apps;
    for (const UploadRow& row : published) {
        apps.push_back(row.app);
        EXPECT_NEAR(row.durationSeconds, static_cast<double>(pcm::minimumPartFrames) / 16'000, 1e-9);
    }
    EXPECT_EQ(apps,
              (std::vector<std::string>{"com.example.First", "com.example.Second", "com.example.Third"}));
    // The menu's "Last uploads" shows the newest first.
    EXPECT_EQ(lastRows(published).front().app, "com.example.Third");
}

UploadRow storedRow(std::string id, double start) {
    UploadRow row;
    row.directoryName = "s-" + id;
    row.state = ArtifactState::stored;
    row.stage = QueueStage::stored;
    row.recordingId = std::move(id);
    row.app = "com.example.Call";
    row.startedAt = Date::fromUnix(start);
    row.durationSeconds = 75;
    return row;
}

TEST(UploadHistory, KeepsTheNewestUploadsUpToItsCapAcrossRestarts) {
    test::TempDirectory temp;
    const std::filesystem::path file = temp / "zoq" / UploadHistory::fileName;
    UploadHistory history(file);
    EXPECT_TRUE(history.entries().empty());
    EXPECT_FALSE(history.problem());

    // Parts still uploading are not history; stored ones are, once each.
    std::vector<UploadRow> rows;
    for (std::size_t i = 0; i < UploadHistory::capacity + 20; ++i) {
        rows.push_back(storedRow("rec-" + std::to_string(i), afternoon + static_cast<double>(i)));
    }
    UploadRow pending = storedRow("rec-pending", afternoon + 10'000);
    pending.state = ArtifactState::uploading;
    rows.push_back(pending);
    EXPECT_TRUE(history.record(rows, Date::fromUnix(afternoon + 20'000)));
    EXPECT_FALSE(history.record(rows, Date::fromUnix(afternoon + 30'000)));
    ASSERT_EQ(history.entries().size(), UploadHistory::capacity);
    EXPECT_EQ(history.entries().front().recordingId, "rec-20");
    EXPECT_EQ(history.entries().back().recordingId, "rec-519");
    EXPECT_EQ(history.entries().back().uploadedAt, Date::fromUnix(afternoon + 20'000));

    UploadHistory::save(file, history.entries());
    const UploadHistory reread(file);
    EXPECT_FALSE(reread.problem());
    EXPECT_EQ(reread.entries(), history.entries());

    // A newer upload pushes the oldest out.
    UploadHistory more(file);
    EXPECT_TRUE(more.record({storedRow("rec-new", afternoon + 50'000)}, Date::fromUnix(afternoon + 50'100)));
    EXPECT_EQ(more.entries().size(), UploadHistory::capacity);
    EXPECT_EQ(more.entries().front().recordingId, "rec-21");
    EXPECT_EQ(more.entries().back().recordingId, "rec-new");
}

TEST(UploadHistory, ADamagedFileIsReportedAndKeptAsideNotLost) {
    test::TempDirectory temp;
    const std::filesystem::path file = temp / UploadHistory::fileName;
    for (const std::string& text : {std::string("{not json"), std::string(R"({"version":2,"uploaded":[]})"),
                                    std::string(R"({"version":1,"uploaded":[{"recordingId":7}]})")}) {
        std::ofstream(file, std::ios::trunc) << text;
        UploadHistory history(file);
        EXPECT_TRUE(history.problem()) << text;
        EXPECT_TRUE(history.entries().empty());
        ASSERT_TRUE(history.record({storedRow("rec-1", afternoon)}, Date::fromUnix(afternoon)));
        UploadHistory::save(file, history.entries());
        std::ifstream aside(std::filesystem::path(file) += ".damaged");
        const std::string kept((std::istreambuf_iterator<char>(aside)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kept, text);
        EXPECT_EQ(UploadHistory(file).entries().size(), 1u);
    }
}

TEST(RecordingList, EveryStateInWordsNewestFirstWithTheHistoryBehind) {
    const Date now = Date::fromUnix(afternoon);
    const auto row = [](ArtifactState state, QueueStage stage) {
        UploadRow made;
        made.state = state;
        made.stage = stage;
        return made;
    };
    UploadRow retrying = row(ArtifactState::retryWait, QueueStage::retryWait);
    retrying.retryAt = Date::fromUnix(afternoon + 35 * 60);
    retrying.lastError = "the portal answered 503";
    UploadRow sending = row(ArtifactState::uploading, QueueStage::transferring);
    sending.byteSize = 1000;
    sending.sentBytes = 420;
    UploadRow damaged = row(ArtifactState::quarantined, QueueStage::quarantined);
    damaged.lastError = "manifest checksum";
    const struct {
        UploadRow row;
        const char* words;
    } cases[] = {
        {row(ArtifactState::writingWAV, QueueStage::ready), "Recording…"},
        {row(ArtifactState::finalisingFLAC, QueueStage::ready), "Finishing…"},
        {row(ArtifactState::ready, QueueStage::ready), "Waiting to upload"},
        {sending, "Uploading 42 %"},
        {row(ArtifactState::verifyingRemote, QueueStage::verifying), "Verifying with the portal"},
        {retrying, "Waiting to retry at 14:40 — the portal answered 503"},
        {row(ArtifactState::ready, QueueStage::waitingNetwork), "Waiting for network"},
        {row(ArtifactState::blockedAuth, QueueStage::blockedAuth), "Needs re-pairing"},
        {row(ArtifactState::discardedShort, QueueStage::done), "Too short — not kept"},
        {damaged, "Damaged — kept aside (manifest checksum)"},
        {row(ArtifactState::cleaned, QueueStage::done), "Uploaded"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(stateText(each.row, std::nullopt, utc), each.words);
    }
    EXPECT_EQ(
        stateText(row(ArtifactState::stored, QueueStage::stored), Date::fromUnix(afternoon + 26 * 60), utc),
        "Uploaded at 14:31");

    // Rows and the history merge newest first; a recording both still in the
    // spool and in the history is listed once, with its upload time.
    const UploadRow local = storedRow("rec-local", afternoon - 60);
    std::vector<UploadedRecording> uploaded{
        {"rec-old", "com.example.Old", Date::fromUnix(afternoon - 86'400 - 3600), 7.9,
         Date::fromUnix(afternoon - 86'000)},
        {"rec-local", "com.example.Call", local.startedAt, 75, Date::fromUnix(afternoon - 30)},
        {"rec-older", "com.example.Old", Date::fromUnix(afternoon - 9 * 86'400), 3700,
         Date::fromUnix(afternoon - 9 * 86'000)},
    };
    UploadRow recording = row(ArtifactState::writingWAV, QueueStage::ready);
    recording.directoryName = "s-now";
    recording.startedAt = now;
    const std::vector<RecordingLine> lines = recordingLines({local, recording}, uploaded, now, utc);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].directoryName, "s-now");
    EXPECT_EQ(lines[0].started, "Today 14:05");
    EXPECT_TRUE(lines[0].hasLocalAudio);
    EXPECT_EQ(lines[1].recordingId, "rec-local");
    EXPECT_EQ(lines[1].state, "Uploaded at 14:04");
    EXPECT_EQ(lines[1].length, "1:15");
    EXPECT_EQ(lines[2].recordingId, "rec-old");
    EXPECT_EQ(lines[2].started, "Yesterday 13:05");
    EXPECT_EQ(lines[2].length, "0:07");
    EXPECT_FALSE(lines[2].hasLocalAudio);
    EXPECT_FALSE(lines[2].canUpload);
    EXPECT_EQ(lines[3].started, "2026-11-29 14:05");
    EXPECT_EQ(lines[3].length, "1:01:40");

    // With no engine running (the recording stopped on a failure) the part
    // being written is not recorded now: it waits for the next run.
    const std::vector<RecordingLine> stopped = recordingLines({recording}, {}, now, utc, false);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].state, interruptedText);
    EXPECT_TRUE(stopped[0].hasLocalAudio);
}

// Which source a part's right channel used reaches the list from this run's
// engine events while the part is in the spool, and from the history once it
// is uploaded (also after its files are gone and zoq restarted); only a
// fallback is worth a word.
TEST(RecordingList, APartWhoseRightChannelFellBackSaysSoFromTheRunOrTheHistory) {
    test::TempDirectory temp;
    const std::filesystem::path file = temp / UploadHistory::fileName;
    const Date now = Date::fromUnix(afternoon);
    UploadRow writing;
    writing.state = ArtifactState::writingWAV;
    writing.directoryName = "s-writing";
    writing.startedAt = now;
    UploadRow uploadedHere = storedRow("rec-here", afternoon - 600);
    uploadedHere.directoryName = "s-here";
    UploadRow uploadedApp = storedRow("rec-app", afternoon - 1200);
    uploadedApp.directoryName = "s-app";
    const std::map<std::string, std::string> sources{
        {"s-writing", "fallback"}, {"s-here", "fallback"}, {"s-app", "recordedApp"}};

    UploadHistory history(file);
    ASSERT_TRUE(history.record({writing, uploadedHere, uploadedApp}, now, sources));
    UploadHistory::save(file, history.entries());
    // An entry written before the source was kept reads as unknown; one whose
    // source is not text is a damaged history.
    std::string text;
    {
        std::ifstream in(file);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(text.find(R"("systemAudioSource":"fallback")"), std::string::npos) << text;
    EXPECT_EQ(UploadHistory::parse(R"({"version":1,"uploaded":[{"recordingId":"r","app":"a","startedAt":1,)"
                                   R"("seconds":2,"uploadedAt":3}]})")[0]
                  .systemSource,
              "");
    EXPECT_THROW(
        (void)UploadHistory::parse(R"({"version":1,"uploaded":[{"recordingId":"r","app":"a",)"
                                   R"("startedAt":1,"seconds":2,"uploadedAt":3,"systemAudioSource":1}]})"),
        CoreError);

    const std::string note = std::string(" — ") + fallbackNote;
    const std::vector<UploadedRecording> reread = UploadHistory(file).entries();
    ASSERT_EQ(reread.size(), 2u);
    const struct {
        const char* what;
        std::vector<UploadRow> rows;
        std::map<std::string, std::string> sources;
        std::vector<std::string> states;
    } cases[] = {
        {"this run",
         {writing, uploadedHere, uploadedApp},
         sources,
         {"Recording…" + note, "Uploaded at 14:05" + note, "Uploaded at 14:05"}},
        {"after a restart, files kept",
         {uploadedHere, uploadedApp},
         {},
         {"Uploaded at 14:05" + note, "Uploaded at 14:05"}},
        {"after a restart, files gone", {}, {}, {"Uploaded at 14:05" + note, "Uploaded at 14:05"}},
    };
    for (const auto& each : cases) {
        std::vector<std::string> states;
        for (const RecordingLine& line : recordingLines(each.rows, reread, now, utc, true, each.sources)) {
            states.push_back(line.state);
        }
        EXPECT_EQ(states, each.states) << each.what;
    }
}

} // namespace
} // namespace zoq
