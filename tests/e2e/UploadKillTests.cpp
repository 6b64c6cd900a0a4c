// `zoq upload --watch`, the real program, killed with SIGKILL at seeded random
// moments while it uploads a multipart recording to the development portal,
// and started again each time. Every step is committed before the next one is
// sent, so a kill costs at most the part in flight.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Upload/UploadQueue.h"
#include "ZoqShell/Auth/PairingClient.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/e2e/PortalProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <utility>

namespace zoq {
namespace {

constexpr const char* session = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

Bytes noisePCM(std::int64_t frames, std::uint32_t seed) {
    Bytes out(static_cast<std::size_t>(frames * pcm::bytesPerFrame));
    std::uint32_t state = seed;
    for (std::uint8_t& byte : out) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
}

/// How far an upload has come, as its queue record tells: the stage after the
/// transfer it reached, then the parts the portal confirmed. (A start first
/// falls back, to verifying and to the parts read again from the portal.)
std::pair<std::ptrdiff_t, std::size_t> progressOf(const QueueRecord& queue) {
    constexpr QueueStage after[] = {QueueStage::completing, QueueStage::stored, QueueStage::cleanup,
                                    QueueStage::done};
    const std::ptrdiff_t reached =
        std::find(std::begin(after), std::end(after), queue.stage) - std::begin(after);
    return {reached == std::ssize(after) ? -1 : reached, queue.completedParts.size()};
}

TEST(UploadKill, KilledUploaderResumesWithoutDuplicatesOrEarlyDeletion) {
    test::TempDirectory temp;
    const std::filesystem::path config = temp / "config";
    const std::filesystem::path data = temp / "data";
    const std::filesystem::path spool = data / "zoq" / "spool";
    std::filesystem::create_directories(config / "zoq");
    std::filesystem::create_directories(spool);
    // The file store in the private data directory: the child and this test
    // share the credentials without touching any keyring.
    std::ofstream(config / "zoq" / "settings.json") << R"({"credentialStore": "file"})";
    test::PortalProcess portal(temp / "portal", {"--verifying-polls", "0"}, temp / "portal.log");
    std::ofstream(config / "zoq" / "settings.json", std::ios::trunc)
        << R"({"credentialStore": "file", "apiBaseURL": ")" << portal.url() << "\"}";

    HostClock clock;
    CurlWireTransport transport;
    KeychainCredentialPersistence persistence(std::make_unique<FileSecrets>(data / "zoq"));
    DeviceAuth auth(transport, persistence, portal.url(), clock);
    const std::string device =
        PairingClient(auth, makeUUID(), "kill test").pair(portal.pairingCode()).deviceId();

    // About 67 MB of FLAC: four 16 MiB parts and a short fifth.
    const std::filesystem::path directory = spool / (std::string(session) + "-0");
    {
        const CaptureSegment segment{session, 0, "us.example.call", clock.wallDate() - 7200, 0};
        auto artifact = Artifact::create(directory, segment, device, clock, std::make_shared<DurableIO>());
        for (std::int64_t done = 0, total = 16'000 * 1'050; done < total; done += 16'000 * 30) {
            artifact->append(noisePCM(std::min<std::int64_t>(16'000 * 30, total - done),
                                      static_cast<std::uint32_t>(done + 1)));
        }
        artifact->finalise(FFmpegFLACEncoder(), segment.startedAt + 1'051, false);
    }
    const DurableIO io;
    const std::string flacHash = io.hash(directory / Artifact::flacName, 0);
    const std::int64_t parts =
        (io.size(directory / Artifact::flacName) + UploadQueue::partSize - 1) / UploadQueue::partSize;
    ASSERT_GE(parts, 4);

    const std::vector<std::string> environment{"XDG_CONFIG_HOME=" + config.string(),
                                               "XDG_DATA_HOME=" + data.string()};
    const std::vector<std::string> watch{test::PortalProcess::program("zoq").string(),
                                         "upload",
                                         "--watch",
                                         "--until-done",
                                         "--interval",
                                         "0.2"};
    // Each start first recovers the part (re-verifying the FLAC) and claims
    // the upload under a new lease generation. The kill comes at a seeded
    // moment after an event of that start, never after a fixed time, so the
    // kills fall in the same places however slowly the machine runs: every
    // other one soon after the claim (in the status poll, the part listing or
    // the signing), the others soon after the upload got further than ever
    // before (one more part stored, or a later stage: so the transfer moves on
    // from kill to kill, and the complete, the verification and the local
    // cleanup are cut too). The wait has a bound only so that a broken
    // uploader cannot hang the test; a start that ends first (the upload is
    // done) or never gets there is killed all the same.
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> moment(0, 60);
    constexpr int maximumKills = 20;
    int kills = 0;
    std::map<std::string, int> cut; // the stage each kill left the record in
    std::pair<std::ptrdiff_t, std::size_t> furthest{-1, 0};
    for (int kill = 0; kill < maximumKills; ++kill) {
        const std::int64_t generation = Artifact::readManifest(directory, io).queue.generation;
        const auto reached = [&] {
            try {
                const QueueRecord queue = Artifact::readManifest(directory, io).queue;
                if (kill % 2 == 0) {
                    return queue.leased && queue.generation > generation;
                }
                return progressOf(queue) > furthest;
            } catch (const std::exception&) {
                return false;
            }
        };
        test::ChildProcess child(watch, environment);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!reached() && !child.ended() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
        child.kill();
        child.wait();
        // Whatever the moment, the local audio outlives the portal's receipt:
        // once it is gone, the manifest holds a receipt for exactly these
        // bytes (it may still say STORED: the kill can come between removing
        // the audio and recording the part as cleaned).
        const ArtifactManifest manifest = Artifact::readManifest(directory, io);
        furthest = std::max(furthest, progressOf(manifest.queue));
        if (!io.exists(directory / Artifact::flacName)) {
            ASSERT_TRUE(manifest.state == ArtifactState::stored || manifest.state == ArtifactState::cleaned)
                << "kill " << kill << ": " << rawValue(manifest.state);
            ASSERT_TRUE(manifest.receipt && Artifact::matches(*manifest.receipt, manifest))
                << "kill " << kill;
        }
        ++kills;
        ++cut[std::string(rawValue(manifest.queue.stage))];
        if (manifest.state == ArtifactState::cleaned) {
            break; // nothing left to cut
        }
    }
    test::ChildProcess last(watch, environment);
    const int status = last.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const ArtifactManifest manifest = Artifact::readManifest(directory, io);
    EXPECT_EQ(manifest.state, ArtifactState::cleaned);
    EXPECT_FALSE(io.exists(directory / Artifact::flacName));
    const JSONValue::Array uploads = portal.uploads();
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_EQ(*uploads[0].find("state")->string(), "stored");
    EXPECT_EQ(uploads[0].find("storedCount")->integer(), 1);
    EXPECT_EQ(*uploads[0].find("receivedSHA256")->string(), flacHash);

    // Each kill may cost the part in flight, nothing more.
    std::ifstream log(temp / "portal.log");
    int puts = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("PUT") != std::string::npos) {
            ++puts;
        }
    }
    std::cout << kills << " kills:";
    for (const auto& [stage, count] : cut) {
        std::cout << " " << count << " in " << stage;
    }
    std::cout << "; " << puts << " PUTs for " << parts << " parts\n";
    EXPECT_GE(puts, parts);
    EXPECT_LE(puts, parts + kills) << "parts sent again beyond one per kill";
}

} // namespace
} // namespace zoq
