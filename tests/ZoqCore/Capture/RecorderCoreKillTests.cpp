#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/SHA256.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
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
#include <iterator>
#include <map>
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
    /// durable with.
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
        for (int i = 0; i < steps; ++i) {
            Report report{};
            if (::read(fds[0], &report, sizeof report) != sizeof report) {
                break; // the child finished (or failed, which waitpid reports)
            }
            if (report.durableFrames >= 0) {
                std::int64_t& most = durable[report.part];
                most = std::max(most, report.durableFrames);
            }
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
        ::close(fds[0]);
        ::close(acks[1]);
        return durable;
    }

    /// Recovers every part and checks it against the source audio.
    void recoverAndCheck(const fs::path& root, const FLACEncoder& encoder,
                         const std::map<std::string, std::int64_t>& durable) {
        const HostClock clock;
        const auto io = std::make_shared<DurableIO>();
        std::size_t parts = 0;
        for (const auto& entry : fs::directory_iterator(root)) {
            if (!entry.is_directory()) {
                continue;
            }
            ++parts;
            const std::string name = entry.path().filename().string();
            SCOPED_TRACE(name);
            RecoveryResult result = Artifact::recover(entry.path(), clock, encoder, io);
            const auto reported = durable.find(name);
            if (result.isQuarantined()) {
                // Only a part killed while it was being created, before its
                // manifest or its WAV existed, has nothing to recover.
                EXPECT_EQ(reported, durable.end())
                    << "a reported part is never quarantined: " << result.reason();
                EXPECT_TRUE(result.reason() == R"(io("open manifest.json", 2))" ||
                            result.reason() == R"(io("open audio.wav", 2))")
                    << result.reason();
                continue;
            }
            const ArtifactManifest manifest = result.artifact().manifest();
            EXPECT_TRUE(manifest.state == ArtifactState::ready ||
                        manifest.state == ArtifactState::discardedShort)
                << rawValue(manifest.state);
            if (reported != durable.end()) {
                EXPECT_GE(manifest.durableFrames, reported->second) << "a frame once durable was lost";
            }
            const std::int64_t first = manifest.capture.firstFrame;
            ASSERT_LE(first + manifest.durableFrames, sourceFrames);
            EXPECT_EQ(manifest.durablePCMHash,
                      SHA256::hex(ByteView(source).subspan(
                          static_cast<std::size_t>(first * pcm::bytesPerFrame),
                          static_cast<std::size_t>(manifest.durableFrames * pcm::bytesPerFrame))))
                << "the durable audio is exactly the source from the part's first frame";
            if (manifest.state == ArtifactState::ready) {
                EXPECT_EQ(encoder.inspect(entry.path() / "audio.flac").pcmSHA256, manifest.durablePCMHash);
                EXPECT_FALSE(fs::exists(entry.path() / "audio.wav"));
            }
            result = RecoveryResult::quarantined("");
            // Recovery is idempotent.
            RecoveryResult again = Artifact::recover(entry.path(), clock, encoder, io);
            ASSERT_TRUE(again.isRecovered());
            EXPECT_EQ(again.artifact().manifest().state, manifest.state);
            EXPECT_EQ(again.artifact().manifest().durableFrames, manifest.durableFrames);
        }
        EXPECT_GE(parts, durable.size());
    }

    const Bytes source = test::syntheticPCM(sourceFrames, 11);
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
}

} // namespace
} // namespace zoq
