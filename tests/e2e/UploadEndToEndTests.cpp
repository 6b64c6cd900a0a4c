// The upload half against the development portal as a real process: real
// files, real ffmpeg, the real keyring (ctest runs under a private one), the
// real HTTP transport. Retry delays are skipped with a manual clock that the
// test moves to each recording's retry time. That clock starts a day behind
// the portal's real one, so its jumps never make a URL look expired to the
// device: URL expiry is the portal's decision, on real time.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Upload/UploadQueue.h"
#include "ZoqShell/Auth/PairingClient.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/KeychainSecrets.h"
#include "ZoqShell/Secrets/LibsecretItemStore.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"
#include "ZoqShell/Uploader/SpoolUploader.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"
#include "tests/e2e/PortalProcess.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace zoq {
namespace {

constexpr const char* session = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";

/// Full-scale seeded noise: FLAC cannot compress it, so a few minutes make a
/// file of several 16 MiB parts.
Bytes noisePCM(std::int64_t frames, std::uint32_t seed) {
    Bytes out(static_cast<std::size_t>(frames * pcm::bytesPerFrame));
    std::uint32_t state = seed;
    for (std::uint8_t& byte : out) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
}

/// The real transport, with storage PUTs optionally lost on the way.
class LossyTransport final : public WireTransport {
public:
    std::atomic<bool> losePuts{false};
    TransportResponse execute(const TransportRequest& request) override {
        if (losePuts && request.method == "PUT") {
            throw TransportUnavailable::network("lost by the test");
        }
        return inner_.execute(request);
    }

private:
    CurlWireTransport inner_;
};

class UploadEndToEnd : public ::testing::Test {
public:
    test::TempDirectory temp;
    std::filesystem::path spool = temp / "spool";
    std::unique_ptr<test::PortalProcess> portal;
    ManualClock clock{HostClock().now(), HostClock().wallDate() - 86'400};
    LossyTransport transport;
    NullNetwork network;
    // One keyring item per test, so tests running in parallel never share one.
    KeychainCredentialPersistence persistence{std::make_unique<KeychainSecrets>(
        "org.zoq.Zoq.credentials.e2e", makeUUID(), std::make_unique<LibsecretItemStore>())};
    std::unique_ptr<DeviceAuth> auth;
    std::unique_ptr<SpoolUploader> uploader;

    void start(const std::vector<std::string>& options = {}) {
        std::filesystem::create_directory(spool);
        portal = std::make_unique<test::PortalProcess>(temp / "portal", options);
        auth = std::make_unique<DeviceAuth>(transport, persistence, portal->url(), clock);
        uploader = std::make_unique<SpoolUploader>(
            spool,
            SpoolUploader::Dependencies{*auth, transport, network,
                                        [] { return std::make_unique<FFmpegFLACEncoder>(); }},
            clock);
        uploader->setBaseURL(portal->url());
    }

    std::string pair() {
        return PairingClient(*auth, makeUUID(), "e2e").pair(portal->pairingCode()).deviceId();
    }

    /// Records and publishes a part of `frames` frames with real ffmpeg.
    std::filesystem::path record(const std::string& deviceId, std::int64_t frames, bool noise, int part = 0) {
        const std::filesystem::path directory = spool / (std::string(session) + "-" + std::to_string(part));
        const CaptureSegment segment{session, part, "us.example.call", clock.wallDate() - 3600, 0};
        auto artifact = Artifact::create(directory, segment, deviceId, clock, std::make_shared<DurableIO>());
        constexpr std::int64_t chunk = 16'000 * 30;
        for (std::int64_t done = 0; done < frames; done += chunk) {
            const std::int64_t count = std::min(chunk, frames - done);
            artifact->append(noise ? noisePCM(count, static_cast<std::uint32_t>(done + 1))
                                   : test::syntheticPCM(count, static_cast<std::uint32_t>(done + 1)));
        }
        artifact->finalise(FFmpegFLACEncoder(),
                           segment.startedAt + static_cast<double>(frames) / 16'000.0 + 1, false);
        return directory;
    }

    static ArtifactManifest manifestOf(const std::filesystem::path& directory) {
        return Artifact::readManifest(directory, DurableIO());
    }

    /// Runs passes, moving the clock to each retry time, until every
    /// recording is settled (cleaned, quarantined or blocked) or `limit`.
    void settle(int limit = 200) {
        for (int pass = 0; pass < limit; ++pass) {
            uploader->tickOnce().get();
            std::optional<Date> next;
            bool open = false;
            for (const UploadRow& row : uploader->readRows().get()) {
                if (row.state == ArtifactState::cleaned || row.state == ArtifactState::quarantined ||
                    row.state == ArtifactState::blockedAuth || row.stage == QueueStage::quarantined) {
                    continue;
                }
                open = true;
                if (row.retryAt && (!next || *row.retryAt < *next)) {
                    next = row.retryAt;
                }
            }
            if (!open) {
                return;
            }
            if (next && clock.wallDate() < *next) {
                clock.setWallDate(*next);
            }
        }
        FAIL() << "recordings did not settle in " << limit << " passes";
    }

    /// The recording ended stored exactly once on the portal with exactly
    /// the published bytes, and its local audio is gone.
    void expectStored(const std::filesystem::path& directory, const std::string& flacHash, std::int64_t size,
                      bool multipart) {
        const ArtifactManifest manifest = manifestOf(directory);
        EXPECT_EQ(manifest.state, ArtifactState::cleaned) << manifest.error.value_or("");
        ASSERT_TRUE(manifest.receipt.has_value());
        EXPECT_TRUE(Artifact::matches(*manifest.receipt, manifest));
        EXPECT_FALSE(std::filesystem::exists(directory / Artifact::flacName));
        EXPECT_FALSE(std::filesystem::exists(directory / Artifact::wavName));
        const JSONValue::Array uploads = portal->uploads();
        ASSERT_EQ(uploads.size(), 1U);
        const JSONValue& upload = uploads[0];
        EXPECT_EQ(*upload.find("state")->string(), "stored");
        EXPECT_EQ(upload.find("storedCount")->integer(), 1);
        EXPECT_EQ(*upload.find("multipart")->boolean(), multipart);
        EXPECT_EQ(*upload.find("recordingId")->string(), manifest.queue.identity->recordingId);
        const std::filesystem::path object =
            portal->data() / "objects" / *upload.find("uploadId")->string() / "object";
        EXPECT_EQ(DurableIO().hash(object, 0), flacHash);
        EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(object)), size);
    }

    void uploadAndExpectStored(const std::filesystem::path& directory, bool multipart) {
        const DurableIO io;
        const std::string hash = io.hash(directory / Artifact::flacName, 0);
        const std::int64_t size = io.size(directory / Artifact::flacName);
        settle();
        expectStored(directory, hash, size, multipart);
    }
};

TEST_F(UploadEndToEnd, SingleTransferEndsStoredWithTheExactBytes) {
    start();
    const auto directory = record(pair(), pcm::minimumPartFrames * 2, false);
    uploadAndExpectStored(directory, false);
}

TEST_F(UploadEndToEnd, MultipartTransferOfSeveralPartsEndsStoredWithTheExactBytes) {
    start();
    // 600 s of noise: about 38 MB of FLAC, three parts.
    const auto directory = record(pair(), 16'000 * 600, true);
    ASSERT_GT(DurableIO().size(directory / Artifact::flacName), 2 * UploadQueue::partSize);
    uploadAndExpectStored(directory, true);
}

TEST_F(UploadEndToEnd, CompletesThroughOutagesRotationsLostRepliesAndExpiredUploads) {
    start({"--multipart-threshold", "1000000", "--seed", "7"});
    const std::string device = pair();
    const auto directory = record(device, 16'000 * 40, true);
    portal->setFaults({{"unavailableRate", 0.3},
                       {"retryAfterSeconds", 1},
                       {"unauthorizedFirstUse", true},
                       {"loseRefreshReplies", 1},
                       {"uploadExpiredOnce", true},
                       {"partsAlreadyHeld", true}});
    uploadAndExpectStored(directory, true);
}

TEST_F(UploadEndToEnd, AnExpiredURLIsReplacedAndTheUploadCompletes) {
    start();
    const auto directory = record(pair(), pcm::minimumPartFrames, false);
    portal->setFaults({{"urlLifetimeSeconds", 1}});
    transport.losePuts = true;
    EXPECT_EQ(uploader->tickOnce().get().back(), UploadEffect::retryScheduled);
    transport.losePuts = false;
    // Real time, not a retry delay: the portal's URL must be out of date.
    std::this_thread::sleep_for(std::chrono::milliseconds(1'300));
    portal->setFaults({{"urlLifetimeSeconds", 900}});
    uploadAndExpectStored(directory, false);
}

TEST_F(UploadEndToEnd, ARecordingBlockedByLostRefreshRepliesMovesOnWhenTheCredentialsRecover) {
    start();
    const auto directory = record(pair(), pcm::minimumPartFrames, false);
    // The first call is refused, and its refresh takes effect again and again
    // without a reply arriving (the call's own sends, then the uploader's
    // retry of the refresh): the recording waits on authentication, the
    // device is not blocked.
    portal->setFaults(
        {{"unauthorizedFirstUse", true}, {"loseRefreshReplies", 2 * DeviceAuth::maxRefreshSends}});
    EXPECT_EQ(uploader->tickOnce().get(), std::vector<UploadEffect>{UploadEffect::refreshRequired});
    ASSERT_EQ(manifestOf(directory).state, ArtifactState::blockedAuth);
    EXPECT_FALSE(auth->isBlocked());
    // No pairing: the next passes resend the same refresh, adopt its answer
    // and store the recording.
    const DurableIO io;
    const std::string hash = io.hash(directory / Artifact::flacName, 0);
    const std::int64_t size = io.size(directory / Artifact::flacName);
    settle();
    expectStored(directory, hash, size, false);
    EXPECT_FALSE(auth->isBlocked());
}

TEST_F(UploadEndToEnd, MalformedRepliesQuarantineWithTheFixedMessage) {
    start();
    const auto directory = record(pair(), pcm::minimumPartFrames, false);
    portal->setFaults({{"malformedReplies", 1}});
    settle();
    const ArtifactManifest manifest = manifestOf(directory);
    EXPECT_EQ(manifest.state, ArtifactState::quarantined);
    EXPECT_EQ(manifest.error, "invalid upload reply");
    EXPECT_TRUE(std::filesystem::exists(directory / Artifact::flacName)) << "nothing local is lost";
}

TEST_F(UploadEndToEnd, UnpairedDeviceUploadsNothing) {
    start();
    const auto directory = record("0a5c7e9b-3d2f-4b1a-9c8e-6f4d2b0a8c1e", pcm::minimumPartFrames, false);
    EXPECT_TRUE(uploader->tickOnce().get().empty());
    EXPECT_TRUE(portal->uploads().empty());
    EXPECT_EQ(manifestOf(directory).state, ArtifactState::ready);
}

TEST_F(UploadEndToEnd, PairingAgainAsANewDeviceRebasesBlockedRecordings) {
    start();
    // Credentials the portal never issued: refused, and so is their refresh.
    const std::string stale = "0a5c7e9b-3d2f-4b1a-9c8e-6f4d2b0a8c1e";
    auth->install(test::sampleCredentials(stale, "refresh-unknown"));
    const auto directory = record(stale, pcm::minimumPartFrames, false);
    EXPECT_EQ(uploader->tickOnce().get(), std::vector<UploadEffect>{UploadEffect::refreshRequired});
    ASSERT_EQ(manifestOf(directory).state, ArtifactState::blockedAuth);
    EXPECT_TRUE(auth->isBlocked());

    const std::string device = pair();
    EXPECT_EQ(uploader->resumeAfterPair(device).get(), 1);
    EXPECT_EQ(manifestOf(directory).deviceId, device);
    uploadAndExpectStored(directory, false);
    EXPECT_EQ(*portal->uploads()[0].find("deviceId")->string(), device);
}

} // namespace
} // namespace zoq
