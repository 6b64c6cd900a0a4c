// `zoq record`, the real program, killed with SIGKILL (with any encoder it
// runs, as in a power cut) at seeded moments while the test call application
// holds the microphone: while it boots and recovers what the previous kill
// left, while it debounces and creates a part, while it records, and while it
// finishes a part after SIGTERM. Every run uses the same spool, so each boot
// recovers the previous kill's parts; after each kill, and after a last
// recovery at the end, every frame that a committed manifest called durable
// is still there.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/PCM.h"
#include "tests/EngineEndToEnd/RecordRun.h"
#include "tests/SoundServer/SoundServerSupport.h"
#include "tests/TestSupport/InterruptedCreation.h"
#include "tests/TestSupport/TempDirectory.h"

#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <random>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

namespace zoq {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::RecordEvent;
using test::RecordRun;

/// The manifest of every part directory, as a kill left it (none where no
/// readable manifest was left).
std::map<std::string, std::optional<ArtifactManifest>> leftBehind(const fs::path& spool) {
    std::map<std::string, std::optional<ArtifactManifest>> out;
    if (fs::exists(spool)) {
        for (const auto& entry : fs::directory_iterator(spool)) {
            if (entry.is_directory()) {
                out[entry.path().string()] = test::manifestLeftBehind(entry.path());
            }
        }
    }
    return out;
}

/// Records, for each part, the most frames a committed manifest called
/// durable while the run lived (read as the uploader would: without a lock).
void observe(const fs::path& spool, std::map<std::string, std::int64_t>& durable) {
    for (const auto& [directory, manifest] : leftBehind(spool)) {
        if (manifest) {
            std::int64_t& most = durable[directory];
            most = std::max(most, manifest->durableFrames);
        }
    }
}

/// Reaps whatever the killed run left (an encoder caught between spawn and
/// exec holds the part's lock until it is gone): as subreaper, the test
/// inherits the group's orphans.
void reapOrphans() {
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
}

TEST(RecordKill, EveryDurableFrameSurvivesSigkillDuringACall) {
    ASSERT_FALSE(test::soundServerKind().empty());
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    struct SubreaperReset {
        ~SubreaperReset() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
    } reset;
    constexpr int kills = 20;
    const test::TempDirectory temp;
    const fs::path spool = temp / "spool";
    std::mt19937 random(20261207);
    std::map<std::string, int> outcomes;
    std::map<std::string, std::optional<ArtifactManifest>> previous;

    test::CallApp call("Call", RecordRun::allowedApp);
    for (int kill = 0; kill < kills; ++kill) {
        // Kinds of moment: 0 boot and recovery, 1 finishing after SIGTERM,
        // else while debouncing, creating and recording.
        const int kind = kill % 5 == 2 ? 0 : kill % 5 == 4 ? 1 : 2;
        const auto delay =
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, kind == 0   ? 1'500
                                                                            : kind == 1 ? 1'200
                                                                                        : 8'000)(random));
        SCOPED_TRACE("kill " + std::to_string(kill) + " (kind " + std::to_string(kind) + ") after " +
                     std::to_string(delay.count()) + " ms");
        std::map<std::string, std::int64_t> durable;
        {
            RecordRun run(temp / ("run-" + std::to_string(kill)), {}, {}, spool);
            const auto waitAndWatch = [&](std::chrono::milliseconds wait) {
                const auto until = std::chrono::steady_clock::now() + wait;
                while (std::chrono::steady_clock::now() < until) {
                    observe(spool, durable);
                    std::this_thread::sleep_for(20ms);
                }
            };
            if (kind != 0) {
                ASSERT_TRUE(run.waitFor("tap_started"));
            }
            if (kind == 1) {
                const auto started = run.waitFor("recording_started");
                ASSERT_TRUE(started);
                while (HostClock().now() < started->t - 3.5 + 21) {
                    waitAndWatch(50ms);
                }
                run.signal(SIGTERM);
            }
            waitAndWatch(delay);
            run.kill();
            const int exitCode = run.exitCode();
            // Only a run told to stop may have ended by itself.
            EXPECT_TRUE(exitCode == -1 || (kind == 1 && exitCode == 0)) << exitCode << "\n" << run.output();
            reapOrphans();

            // This run's boot recovered what the previous kill left: exactly
            // the frames its committed manifests called durable.
            for (const RecordEvent& event : run.named("recovered")) {
                const auto found = previous.find(event.field("directory"));
                ASSERT_NE(found, previous.end()) << event.field("directory");
                ASSERT_TRUE(found->second) << "recovered a part that had no manifest";
                EXPECT_EQ(std::stoll(event.field("frames")), found->second->durableFrames) << found->first;
            }
            for (const RecordEvent& event : run.named("recovery_quarantined")) {
                const auto found = previous.find(event.field("directory"));
                ASSERT_NE(found, previous.end()) << event.field("directory");
                test::expectInterruptedCreation(
                    found->first, found->second ? std::optional(found->second->state) : std::nullopt,
                    event.field("detail"));
            }
        }
        previous = leftBehind(spool);
        // No committed flush is ever taken back.
        for (const auto& [directory, frames] : durable) {
            const auto found = previous.find(directory);
            ASSERT_NE(found, previous.end()) << "a part with durable frames vanished: " << directory;
            ASSERT_TRUE(found->second) << directory;
            EXPECT_GE(found->second->durableFrames, frames) << directory;
        }
        if (HasFatalFailure()) {
            return;
        }
    }
    call.exit();

    // A last recovery of everything, as the next run or `zoq spool recover`
    // does it.
    const HostClock clock;
    const FFmpegFLACEncoder encoder;
    const auto io = std::make_shared<DurableIO>();
    for (const auto& [directory, committed] : leftBehind(spool)) {
        SCOPED_TRACE(directory);
        RecoveryResult result = Artifact::recover(directory, clock, encoder, io);
        if (result.isQuarantined()) {
            test::expectInterruptedCreation(
                directory, committed ? std::optional(committed->state) : std::nullopt, result.reason());
            ++outcomes["quarantined " + result.reason()];
            continue;
        }
        ASSERT_TRUE(committed);
        const ArtifactManifest& manifest = result.artifact().manifest();
        ++outcomes[std::string(rawValue(manifest.state))];
        EXPECT_EQ(manifest.durableFrames, committed->durableFrames);
        // A part cut short by the kill is a piece of a call: kept however
        // short, while a call that had ended short stays discarded.
        const bool kept =
            manifest.durableFrames >= pcm::minimumPartFrames ||
            (manifest.durableFrames > 0 && (manifest.interrupted || manifest.capture.partIndex > 0));
        EXPECT_EQ(manifest.state, kept ? ArtifactState::ready : ArtifactState::discardedShort);
        const bool published = manifest.state == ArtifactState::ready;
        EXPECT_EQ(fs::exists(fs::path(directory) / Artifact::flacName), published);
        if (published) {
            EXPECT_EQ(encoder.inspect(fs::path(directory) / Artifact::flacName).pcmSHA256,
                      manifest.durablePCMHash);
        }
        EXPECT_FALSE(fs::exists(fs::path(directory) / Artifact::wavName));
        EXPECT_FALSE(fs::exists(fs::path(directory) / Artifact::temporaryFLACName));
    }
    std::cout << kills << " kills, parts:";
    for (const auto& [outcome, count] : outcomes) {
        std::cout << " " << count << " " << outcome;
    }
    std::cout << "\n";
}

} // namespace
} // namespace zoq
