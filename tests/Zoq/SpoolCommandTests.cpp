#include "Zoq/zoq/CommandLine.h"
#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DirectoryLock.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Spool/SpoolRoot.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace zoq::cli {
namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result runZoq(const std::vector<std::string>& args) {
    std::istringstream in;
    std::ostringstream out, err;
    const int code = run(args, {in, out, err});
    return {code, out.str(), err.str()};
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

void makePrivateDirectory(const fs::path& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
}

/// The part directory a simulate-call output names.
fs::path partOf(const std::string& out) {
    const std::size_t at = out.find("part: ");
    return at == std::string::npos ? fs::path{} : fs::path(out.substr(at + 6, out.find('\n', at) - at - 6));
}

class SpoolCommandTest : public ::testing::Test {
protected:
    /// Records a call of `seconds` of synthetic audio into the spool.
    Result simulate(double seconds, const std::vector<std::string>& extra = {}) {
        pcm = test::syntheticPCM(static_cast<std::int64_t>(seconds * pcm::sampleRate), 7);
        test::writeWAV(dir / "call.wav", pcm);
        std::vector<std::string> args{"simulate-call", "--wav", (dir / "call.wav").string(), "--root",
                                      root.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return runZoq(args);
    }

    test::TempDirectory dir;
    fs::path root = dir / "spool";
    Bytes pcm;
};

TEST_F(SpoolCommandTest, SimulatedCallLeavesAPublishedPartHoldingTheAudioThenTheGraceSilence) {
    const Result result = simulate(8.0, {"--device-id", "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b"});
    ASSERT_EQ(result.code, exitSuccess) << result.err << result.out;
    EXPECT_NE(result.out.find("state: READY"), std::string::npos) << result.out;
    const fs::path part = partOf(result.out);
    ASSERT_EQ(part.parent_path(), root);
    EXPECT_EQ(fs::status(root).permissions() & fs::perms::all, fs::perms::owner_all);

    const DurableIO io;
    const ArtifactManifest manifest = Artifact::readManifest(part, io);
    EXPECT_EQ(manifest.deviceId, "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b");
    EXPECT_EQ(manifest.capture.app, "org.example.Call");
    // Every frame of the call from its first, then silence until the grace ran out.
    const std::int64_t frames = manifest.durableFrames;
    ASSERT_GE(frames, static_cast<std::int64_t>(pcm.size() / 4) + 15 * pcm::sampleRate);
    Bytes expected = pcm;
    expected.resize(static_cast<std::size_t>(frames * pcm::bytesPerFrame), 0);
    const DecodedAudio decoded = FFmpegFLACEncoder().inspect(part / "audio.flac");
    EXPECT_EQ(decoded.frames, frames);
    EXPECT_EQ(decoded.pcmSHA256, SHA256::hex(expected));
}

TEST_F(SpoolCommandTest, SimulatedCallConvertsOtherFormatsAndRefusesBadInput) {
    // 8 kHz mono goes through ffmpeg: 10 s stay 10 s.
    test::writeWAV(dir / "mono.wav", test::syntheticPCM(80'000, 3, 1), 8'000, 1);
    const Result converted =
        runZoq({"simulate-call", "--wav", (dir / "mono.wav").string(), "--root", root.string()});
    ASSERT_EQ(converted.code, exitSuccess) << converted.err;
    const DurableIO io;
    const std::int64_t frames = Artifact::readManifest(partOf(converted.out), io).durableFrames;
    EXPECT_GE(frames, 25 * pcm::sampleRate);
    EXPECT_LT(frames, 27 * pcm::sampleRate);

    EXPECT_EQ(runZoq({"simulate-call", "--root", root.string()}).code, exitUsage);
    writeFile(dir / "noise.wav", "not audio at all");
    const Result bad =
        runZoq({"simulate-call", "--wav", (dir / "noise.wav").string(), "--root", root.string()});
    EXPECT_EQ(bad.code, exitFailure);
    EXPECT_NE(bad.err.find("processFailed"), std::string::npos) << bad.err;

    // Shorter than the debounce: no part, and the answer says so.
    const Result tooShort = simulate(2.0);
    EXPECT_EQ(tooShort.code, exitFailure);
    EXPECT_NE(tooShort.err.find("no part was recorded"), std::string::npos) << tooShort.err;
}

// A call too short to keep (4 s and the grace period: under 20 s) is
// reported as discarded, never as published, and nothing is queued for it.
TEST_F(SpoolCommandTest, AShortSimulatedCallIsReportedDiscardedWithNothingQueued) {
    const Result result = simulate(4.0);
    ASSERT_EQ(result.code, exitSuccess) << result.err;
    EXPECT_EQ(result.out.find("published"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("part discarded: shorter than 20.00 s"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("state: DISCARDED_SHORT"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("upload: none"), std::string::npos) << result.out;

    const Result table = runZoq({"spool", "list", "--root", root.string()});
    ASSERT_EQ(table.code, exitSuccess) << table.err;
    EXPECT_NE(table.out.find("DISCARDED_SHORT  DONE"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("READY_TO_UPLOAD"), std::string::npos) << table.out;
}

TEST_F(SpoolCommandTest, ListShowsEveryDirectoryByNameWithoutLockingOrChangingAnything) {
    const Result recorded = simulate(6.0);
    ASSERT_EQ(recorded.code, exitSuccess) << recorded.err;
    const fs::path part = partOf(recorded.out);
    makePrivateDirectory(root / "x-torn");
    writeFile(root / "x-torn" / "manifest.json", "{\"manifest\":");
    makePrivateDirectory(root / "y-empty");
    const std::string manifestBefore = fileText(part / "manifest.json");

    // The recorder or the uploader may hold any directory meanwhile.
    const DirectoryLock held(part);
    const Result table = runZoq({"spool", "list", "--root", root.string()});
    ASSERT_EQ(table.code, exitSuccess) << table.err;
    std::istringstream lines(table.out);
    // Part directories are named by UUID, so these two sort after it.
    std::string header, ready, torn, empty;
    std::getline(lines, header);
    std::getline(lines, ready);
    std::getline(lines, torn);
    std::getline(lines, empty);
    EXPECT_EQ(header.rfind("NAME", 0), 0u);
    EXPECT_EQ(torn.rfind("x-torn", 0), 0u);
    EXPECT_NE(torn.find("json: "), std::string::npos) << torn;
    EXPECT_EQ(empty.rfind("y-empty", 0), 0u);
    EXPECT_NE(empty.find("io(\"open manifest.json\", 2)"), std::string::npos) << empty;
    EXPECT_NE(ready.find("READY"), std::string::npos);
    EXPECT_NE(ready.find("READY_TO_UPLOAD"), std::string::npos);

    const Result json = runZoq({"spool", "list", "--root", root.string(), "--json"});
    ASSERT_EQ(json.code, exitSuccess) << json.err;
    const JSONValue rows = JSONValue::parse(json.out);
    ASSERT_EQ(rows.array()->size(), 3u);
    const JSONValue& row = rows.array()->at(0);
    EXPECT_EQ(*row.find("name")->string(), part.filename().string());
    EXPECT_EQ(*row.find("state")->string(), "READY");
    EXPECT_GE(*row.find("durableSeconds")->number(), 21.0);

    EXPECT_FALSE(fs::exists(root / "y-empty" / "quarantine.txt")) << "list never quarantines";
    const Result absent = runZoq({"spool", "list", "--root", (dir / "absent").string()});
    EXPECT_EQ(absent.code, exitFailure);
    EXPECT_NE(absent.err.find("no spool at"), std::string::npos) << absent.err;
    EXPECT_FALSE(fs::exists(dir / "absent")) << "list creates nothing";
    EXPECT_EQ(fileText(part / "manifest.json"), manifestBefore);
}

TEST_F(SpoolCommandTest, RecoverReportsEachDirectoryAndExitsOneWhenAnythingNeedsAttention) {
    const Result recorded = simulate(6.0);
    ASSERT_EQ(recorded.code, exitSuccess) << recorded.err;
    const fs::path part = partOf(recorded.out);

    const Result clean = runZoq({"spool", "recover", "--root", root.string()});
    EXPECT_EQ(clean.code, exitSuccess) << clean.err;
    EXPECT_EQ(clean.out, part.filename().string() + "  recovered READY\n");

    makePrivateDirectory(root / "y-empty");
    {
        const DirectoryLock held(part);
        const Result mixed = runZoq({"spool", "recover", "--root", root.string(), "--json"});
        EXPECT_EQ(mixed.code, exitFailure);
        EXPECT_EQ(mixed.out,
                  "[{\"name\":\"" + part.filename().string() +
                      "\",\"outcome\":\"locked\"},{\"name\":\"y-empty\",\"outcome\":\"quarantined\","
                      "\"reason\":\"io(\\\"open manifest.json\\\", 2)\"}]\n");
    }
    EXPECT_EQ(fileText(root / "y-empty" / "quarantine.txt"), "QUARANTINED: invalid or absent manifest\n");

    // A missing root is created (0700) and has nothing to recover.
    const Result fresh = runZoq({"spool", "recover", "--root", (dir / "new" / "spool").string()});
    EXPECT_EQ(fresh.code, exitSuccess) << fresh.err;
    EXPECT_EQ(fs::status(dir / "new").permissions() & fs::perms::all, fs::perms::owner_all);
}

/// Every entry below `top` (and top itself) with its type, mode and size.
std::map<std::string, std::string> snapshot(const fs::path& top) {
    std::map<std::string, std::string> out;
    const auto describe = [](const fs::path& path) {
        struct stat status {};
        ::lstat(path.c_str(), &status);
        return std::to_string(status.st_mode) + "/" + std::to_string(status.st_size);
    };
    out["."] = describe(top);
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        out[fs::relative(entry.path(), top).string()] = describe(entry.path());
    }
    return out;
}

// A --root that names an ordinary folder (a typo, the home folder) is refused
// by every command that takes one, with the folder left exactly as it was: no
// lock files, no quarantine notes in its subfolders, no change of mode.
TEST_F(SpoolCommandTest, AFolderThatIsNoSpoolIsRefusedByEveryCommandAndLeftUntouched) {
    const fs::path home = dir / "home";
    fs::create_directories(home / "Documents" / "letters");
    fs::create_directories(home / "Music");
    writeFile(home / "Documents" / "letters" / "one.txt", "hello");
    writeFile(home / ".profile", "PATH=$PATH\n");
    fs::permissions(home, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    pcm = test::syntheticPCM(2 * pcm::sampleRate, 7);
    test::writeWAV(dir / "call.wav", pcm);
    const std::string device = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
    const std::vector<std::vector<std::string>> commands{
        {"spool", "recover", "--root", home.string()},
        {"spool", "list", "--root", home.string()},
        {"simulate-call", "--wav", (dir / "call.wav").string(), "--root", home.string(), "--device-id",
         device},
        {"record", "--root", home.string(), "--device-id", device, "--max-seconds", "1"},
        {"upload", "--root", home.string()},
    };
    const auto before = snapshot(home);
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0] + " " + command[1]);
        const Result result = runZoq(command);
        EXPECT_EQ(result.code, exitFailure) << result.out;
        EXPECT_EQ(result.err,
                  "zoq: " + home.string() +
                      " is not a zoq spool: it holds files zoq did not put there, and zoq leaves "
                      "such a folder untouched. Give --root a new or empty folder, or an existing "
                      "spool.\n");
        EXPECT_EQ(snapshot(home), before);
    }
}

// A spool written before spools were marked keeps working, and is marked.
TEST_F(SpoolCommandTest, ASpoolFromBeforeTheMarkIsRecognisedAndMarked) {
    const Result recorded = simulate(6.0);
    ASSERT_EQ(recorded.code, exitSuccess) << recorded.err;
    const fs::path part = partOf(recorded.out);
    ASSERT_TRUE(fs::is_regular_file(root / SpoolRoot::markerName));
    fs::remove(root / SpoolRoot::markerName);
    writeFile(root / RecorderCore::preferencesFileName, R"({"paused":false})");

    const Result list = runZoq({"spool", "list", "--root", root.string()});
    EXPECT_EQ(list.code, exitSuccess) << list.err;
    EXPECT_FALSE(fs::exists(root / SpoolRoot::markerName)) << "list changes nothing";
    const Result recover = runZoq({"spool", "recover", "--root", root.string()});
    EXPECT_EQ(recover.code, exitSuccess) << recover.err;
    EXPECT_EQ(recover.out, part.filename().string() + "  recovered READY\n");
    EXPECT_TRUE(fs::is_regular_file(root / SpoolRoot::markerName));
}

} // namespace
} // namespace zoq::cli
