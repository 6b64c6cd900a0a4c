#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/SHA256.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
#include "tests/TestSupport/InterruptedCreation.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

constexpr const char* deviceId = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
constexpr const char* app = "org.example.Call";
constexpr std::int64_t chunkFrames = pcm::sampleRate / 4;
/// One call: 3 s debounce, 25 s of talking, 15 s grace; the child records
/// calls back to back.
constexpr int talkingSteps = 4 * 28;
constexpr int graceSteps = 4 * 16;
constexpr int callSteps = talkingSteps + graceSteps;
constexpr int callsPerChild = 2;
constexpr std::int64_t sourceFrames = (callsPerChild + 1) * callSteps * chunkFrames;

/// What the child tells the parent after every engine step: the part being
/// written and how many of its frames its committed manifest calls durable.
struct Report {
    char part[64];
    std::int64_t durableFrames;
};
static_assert(sizeof(Report) <= PIPE_BUF, "reports are written atomically");

/// The child: records calls through a real core on a fast manual clock,
/// reporting after each step, until it is killed. For its first `lockstep`
/// steps it waits for the parent's go-ahead after each report, so the parent
/// knows where it is; after that it runs freely into the kill.
[[noreturn]] void recordCalls(const fs::path& root, const FLACEncoder& encoder, const Bytes& source, int out,
                              int in, int lockstep) {
    try {
        ManualClock clock;
        RecorderCore core(root, clock, CaptureAllowlist{{app}, 42, "org.zoq.Zoq"}, deviceId, encoder,
                          std::make_shared<DurableIO>());
        std::int64_t position = 0;
        for (int step = 0; step < callsPerChild * callSteps; ++step) {
            const std::vector<ProcessActivity> activity{{4242, app, step % callSteps < talkingSteps}};
            core.processes(activity);
            core.samples(ByteView(source).subspan(static_cast<std::size_t>(position * pcm::bytesPerFrame),
                                                  static_cast<std::size_t>(chunkFrames * pcm::bytesPerFrame)),
                         position);
            core.tick();
            position += chunkFrames;
            clock.advance(0.25);
            Report report{};
            report.durableFrames = -1;
            if (const Artifact* active = core.active()) {
                const std::string name = active->directory().filename().string();
                std::memcpy(report.part, name.data(), std::min(name.size(), sizeof report.part - 1));
                report.durableFrames = active->manifest().durableFrames;
            }
            char go = 0;
            if (::write(out, &report, sizeof report) != sizeof report ||
                (step + 1 < lockstep && ::read(in, &go, 1) != 1)) {
                ::_exit(4);
            }
        }
    } catch (...) {
        ::_exit(3);
    }
    ::_exit(0);
}

class RecorderCoreKill : public ::testing::Test {
protected:
    /// Forks a recording child, lets it run `steps` steps plus `jitter`, kills
    /// it with SIGKILL and returns the most frames each part was reported
    /// durable with, up to the kill.
    std::map<std::string, std::int64_t> recordAndKill(const fs::path& root, const FLACEncoder& encoder,
                                                      int steps, std::chrono::microseconds jitter) {
        int fds[2];
        int acks[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(acks, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::setpgid(0, 0);
            ::close(fds[0]);
            ::close(acks[1]);
            recordCalls(root, encoder, source, fds[1], acks[0], steps);
        }
        ::setpgid(child, child); // whichever of the two runs first
        ::close(fds[1]);
        ::close(acks[0]);
        std::map<std::string, std::int64_t> durable;
        const auto readReport = [&] {
            Report report{};
            if (::read(fds[0], &report, sizeof report) != sizeof report) {
                return false; // the child ended (waitpid tells how)
            }
            if (report.durableFrames >= 0) {
                std::int64_t& most = durable[report.part];
                most = std::max(most, report.durableFrames);
            }
            return true;
        };
        for (int i = 0; i < steps && readReport(); ++i) {
            if (i + 1 < steps && ::write(acks[1], "g", 1) != 1) {
                break;
            }
        }
        std::this_thread::sleep_for(jitter);
        // The whole process group, so an encoder the child started dies with it,
        // as in a power cut. (An encoder that outlived a killed recorder would
        // race the recovery below for "audio.flac.tmp".)
        ::kill(-child, SIGKILL);
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "the child failed on its own: status " << status;
        // A grandchild caught between spawn and exec still holds copies of the
        // child's descriptors, the part's lock among them. As the subreaper we
        // inherited it when the child died; reap it before recovering.
        int ignored = 0;
        while (::waitpid(-child, &ignored, 0) > 0) {
        }
        // Every report the child wrote while it ran freely is in the pipe
        // (each write is atomic), up to the end the kill made.
        while (readReport()) {
        }
        ::close(fds[0]);
        ::close(acks[1]);
        return durable;
    }

    /// Recovers every part and checks it against what the killed recorder
    /// committed (the manifest on disk before recovery) and reported, and
    /// against the source audio.
    void recoverAndCheck(const fs::path& root, const FLACEncoder& encoder,
                         const std::map<std::string, std::int64_t>& durable) {
        const HostClock clock;
        const auto io = std::make_shared<DurableIO>();
        for (const auto& [name, frames] : durable) {
            EXPECT_TRUE(fs::is_directory(root / name)) << "a reported part vanished: " << name;
        }
        for (const auto& entry : fs::directory_iterator(root)) {
            if (!entry.is_directory()) {
                continue;
            }
            const std::string name = entry.path().filename().string();
            SCOPED_TRACE(name);
            const std::optional<ArtifactManifest> committed = test::manifestLeftBehind(entry.path());
            const std::optional<ArtifactState> committedState =
                committed ? std::optional(committed->state) : std::nullopt;
            const auto reported = durable.find(name);
            if (reported != durable.end()) {
                ASSERT_TRUE(committed) << "a reported part has no manifest";
                EXPECT_GE(committed->durableFrames, reported->second) << "a reported flush was not committed";
            }

            RecoveryResult result = Artifact::recover(entry.path(), clock, encoder, io);
            if (result.isQuarantined()) {
                // Only a part killed while it was being created, before it held
                // a frame, may be beyond repair, for a reason naming the
                // creation step it never finished.
                EXPECT_EQ(reported, durable.end()) << "a reported part was quarantined: " << result.reason();
                test::expectInterruptedCreation(entry.path(), committedState, result.reason());
                ++outcomes[result.reason()];
                // Recovery is idempotent.
                const RecoveryResult again = Artifact::recover(entry.path(), clock, encoder, io);
                EXPECT_TRUE(again.isQuarantined());
                EXPECT_EQ(again.reason(), result.reason());
                continue;
            }
            ASSERT_TRUE(committed);
            const ArtifactManifest manifest = result.artifact().manifest();
            ++outcomes[std::string(rawValue(manifest.state))];
            // Recovery keeps exactly the frames the last committed manifest
            // called durable: none lost, none made up from unflushed audio.
            EXPECT_EQ(manifest.durableFrames, committed->durableFrames) << "committed durable frames changed";
            // A part cut short by the kill is a piece of a call: kept however
            // short, while a call that had ended short stays discarded.
            const bool kept =
                manifest.durableFrames >= pcm::minimumPartFrames ||
                (manifest.durableFrames > 0 && (manifest.interrupted || manifest.capture.partIndex > 0));
            EXPECT_EQ(manifest.state, kept ? ArtifactState::ready : ArtifactState::discardedShort)
                << rawValue(manifest.state) << " with " << manifest.durableFrames << " frames";
            const std::int64_t first = manifest.capture.firstFrame;
            ASSERT_LE(first + manifest.durableFrames, sourceFrames);
            EXPECT_EQ(manifest.durablePCMHash,
                      SHA256::hex(ByteView(source).subspan(
                          static_cast<std::size_t>(first * pcm::bytesPerFrame),
                          static_cast<std::size_t>(manifest.durableFrames * pcm::bytesPerFrame))))
                << "the durable audio is exactly the source from the part's first frame";
            // Only a FLAC that decodes to the durable audio is published, and
            // nothing else of the audio is left behind.
            const bool published = manifest.state == ArtifactState::ready;
            EXPECT_EQ(fs::exists(entry.path() / Artifact::flacName), published);
            if (published) {
                EXPECT_EQ(encoder.inspect(entry.path() / Artifact::flacName).pcmSHA256,
                          manifest.durablePCMHash);
            }
            EXPECT_FALSE(fs::exists(entry.path() / Artifact::wavName));
            EXPECT_FALSE(fs::exists(entry.path() / Artifact::temporaryFLACName));
            result = RecoveryResult::quarantined("");
            // Recovery is idempotent.
            RecoveryResult again = Artifact::recover(entry.path(), clock, encoder, io);
            ASSERT_TRUE(again.isRecovered()) << again.reason();
            EXPECT_EQ(again.artifact().manifest().state, manifest.state);
            EXPECT_EQ(again.artifact().manifest().durableFrames, manifest.durableFrames);
        }
    }

    const Bytes source = test::syntheticPCM(sourceFrames, 11);
    /// How many parts ended in each recovered state or quarantine reason.
    std::map<std::string, int> outcomes;
};

TEST_F(RecorderCoreKill, EveryDurableFrameSurvivesSigkillAtRandomMoments) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    struct SubreaperReset {
        ~SubreaperReset() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
    } reset;
    constexpr int kills = 60;
    std::mt19937 random(20261207);
    const test::FakeFLACEncoder fake;
    const FFmpegFLACEncoder ffmpeg;
    // The finish happens in the step after the grace ran out; a third of the
    // kills aim near it, so finalisation and publication are interrupted too.
    const int finishStep = talkingSteps + 4 * 15 + 1;
    for (int kill = 0; kill < kills; ++kill) {
        const bool real = kill % 5 == 0;
        const FLACEncoder& encoder = real ? static_cast<const FLACEncoder&>(ffmpeg) : fake;
        const int steps = kill % 3 == 0
                              ? std::uniform_int_distribution<int>(finishStep - 2, finishStep + 1)(random)
                              : std::uniform_int_distribution<int>(1, callSteps + 8)(random);
        const std::chrono::microseconds jitter(
            std::uniform_int_distribution<int>(0, real ? 150'000 : 5'000)(random));
        SCOPED_TRACE("kill " + std::to_string(kill) + " after " + std::to_string(steps) + " steps + " +
                     std::to_string(jitter.count()) + " us" + (real ? " (ffmpeg)" : ""));
        const test::TempDirectory root;
        const auto durable = recordAndKill(root.path(), encoder, steps, jitter);
        recoverAndCheck(root.path(), encoder, durable);
        if (HasFatalFailure()) {
            return;
        }
    }
    std::cout << kills << " kills:";
    for (const auto& [outcome, count] : outcomes) {
        std::cout << " " << count << " " << outcome;
    }
    std::cout << "\n";
}

} // namespace
} // namespace zoq
