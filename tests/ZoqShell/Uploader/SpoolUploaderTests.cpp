#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Upload/UploadQueue.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"
#include "ZoqShell/Uploader/SpoolUploader.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"
#include "tests/TestSupport/ScriptedPortal.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

namespace zoq {
namespace {

constexpr const char* session = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
constexpr const char* device = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";
constexpr const char* otherDevice = "0a5c7e9b-3d2f-4b1a-9c8e-6f4d2b0a8c1e";

class SettableNetwork final : public NetworkObserving {
public:
    std::atomic<NetworkTransport> transport{NetworkTransport::wifi};
    NetworkTransport currentTransport() const noexcept override { return transport.load(); }
};

/// Forwards to one shared fake so a test can count the decodes recovery makes.
class SharedEncoder final : public FLACEncoder {
public:
    explicit SharedEncoder(const test::FakeFLACEncoder& inner) : inner_(inner) {}
    void encode(const std::filesystem::path& wav, const std::filesystem::path& flac) const override {
        inner_.encode(wav, flac);
    }
    DecodedAudio inspect(const std::filesystem::path& flac) const override { return inner_.inspect(flac); }

private:
    const test::FakeFLACEncoder& inner_;
};

/// A spool holding one published recording, device auth over a scripted
/// transport, and the uploader under test.
class SpoolUploaderTest : public ::testing::Test {
public:
    test::TempDirectory temp;
    std::filesystem::path spool = temp / "spool";
    std::filesystem::path directory = spool / (std::string(session) + "-0");
    ManualClock clock;
    test::FakeFLACEncoder encoder;
    SettableNetwork network;
    test::MemoryCredentialPersistence persistence;

    std::mutex lock;
    std::vector<TransportRequest> requests; // guarded by lock
    std::function<TransportResponse(const TransportRequest&)> answer = [](const TransportRequest&) {
        return TransportResponse{503, {}, {}};
    };
    StubWireTransport transport{[this](const TransportRequest& request) {
        {
            const std::lock_guard guard(lock);
            requests.push_back(request);
        }
        return answer(request);
    }};
    DeviceAuth auth{transport, persistence, "http://127.0.0.1:9", clock};
    std::unique_ptr<SpoolUploader> uploader;

    void SetUp() override {
        std::filesystem::create_directory(spool);
        const CaptureSegment segment{session, 0, "us.example.call", Date{800'000'000.0}, 0};
        auto artifact = Artifact::create(directory, segment, device, clock, std::make_shared<DurableIO>());
        artifact->append(test::syntheticPCM(pcm::minimumPartFrames, 5));
        artifact->finalise(encoder, segment.startedAt + 20.0, false);
        uploader = std::make_unique<SpoolUploader>(
            spool,
            SpoolUploader::Dependencies{auth, transport, network,
                                        [this] { return std::make_unique<SharedEncoder>(encoder); }},
            clock);
        uploader->setBaseURL("http://127.0.0.1:9");
    }

    void pair(const char* deviceId = device) { auth.install(test::sampleCredentials(deviceId, "refresh-1")); }
    ArtifactManifest manifest() const { return Artifact::readManifest(directory, DurableIO()); }
    std::size_t sent() {
        const std::lock_guard guard(lock);
        return requests.size();
    }
    std::vector<UploadEffect> tick() { return uploader->tickOnce().get(); }
};

TEST_F(SpoolUploaderTest, UnpairedDeviceSendsNothingAndStillPublishesRows) {
    std::vector<UploadRow> published;
    std::optional<bool> blocked;
    uploader->onRows([&](const std::vector<UploadRow>& rows, bool isBlocked) {
        published = rows;
        blocked = isBlocked;
    });
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(sent(), 0U);
    EXPECT_EQ(blocked, false);
    ASSERT_EQ(published.size(), 1U);
    EXPECT_EQ(published[0].directoryName, std::string(session) + "-0");
    EXPECT_EQ(published[0].state, ArtifactState::ready);
}

TEST_F(SpoolUploaderTest, CreateGoesToThePortalWithTheBearerAndFailuresBackOff) {
    pair();
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
    ASSERT_EQ(sent(), 1U);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].url, "http://127.0.0.1:9/api/v1/uploads");
    EXPECT_EQ(requests[0].headers.at("authorization"), "Bearer access-refresh-1");
    EXPECT_EQ(manifest().queue.stage, QueueStage::retryWait);

    // A missing connection and an unusable portal address back off the same
    // way; neither quarantines the recording.
    answer = [](const TransportRequest&) -> TransportResponse {
        throw TransportUnavailable::network("refused");
    };
    for (const std::optional<std::string>& base :
         {std::optional<std::string>{"http://127.0.0.1:9"}, std::optional<std::string>{"::"}}) {
        uploader->setBaseURL(base);
        clock.setWallDate(*manifest().queue.retryAt);
        EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
        EXPECT_EQ(manifest().state, ArtifactState::retryWait);
    }
    EXPECT_EQ(sent(), 2U) << "an unusable address sends nothing";

    // The address of another portal: the token does not go there, and the
    // recording waits as for blocked credentials until the address is back.
    uploader->setBaseURL("http://127.0.0.1:8787");
    auth.configure("http://127.0.0.1:8787");
    clock.setWallDate(*manifest().queue.retryAt);
    (void)tick();
    EXPECT_EQ(sent(), 2U) << "nothing carries the token to another portal";
    EXPECT_EQ(manifest().queue.stage, QueueStage::blockedAuth);
    EXPECT_FALSE(auth.isBlocked());
    uploader->setBaseURL("http://127.0.0.1:9");
    auth.configure("http://127.0.0.1:9");
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
    EXPECT_EQ(sent(), 3U);
}

TEST_F(SpoolUploaderTest, IdleRecordingsAreNeitherRecoveredNorSent) {
    pair();
    ASSERT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
    const int decodes = encoder.inspections.load();
    const ArtifactManifest waiting = manifest();

    // Retry time ahead: untouched, not even re-verified.
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(encoder.inspections.load(), decodes);
    EXPECT_EQ(manifest(), waiting);
    EXPECT_EQ(sent(), 1U);

    // Due, but the network is gone: parked once, then left alone until it returns.
    clock.setWallDate(*waiting.queue.retryAt + 1);
    network.transport = NetworkTransport::none;
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(manifest().queue.stage, QueueStage::waitingNetwork);
    const int parkedDecodes = encoder.inspections.load();
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(encoder.inspections.load(), parkedDecodes);

    network.transport = NetworkTransport::ethernet;
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
    EXPECT_EQ(sent(), 2U);
}

TEST_F(SpoolUploaderTest, StoredRecordingIsCleanedUpOnTheNextPass) {
    pair();
    {
        RecoveryResult result = Artifact::recover(directory, clock, encoder, std::make_shared<DurableIO>());
        Artifact& artifact = result.artifact();
        UploadQueue queue(artifact, clock, [] { return 0.5; });
        test::ScriptedPortal portal(*artifact.manifest().metadata, test::ScriptedPortal::Mode::single, clock);
        for (int step = 0; step < 20 && artifact.manifest().state != ArtifactState::stored; ++step) {
            if (const auto at = queue.record().retryAt; at && clock.wallDate() < *at) {
                clock.setWallDate(*at);
            }
            const auto lease = queue.record().leased ? WorkerLease{queue.record().generation}
                                                     : queue.claim(NetworkTransport::wifi, false).value();
            const UploadCommand command = queue.command(lease);
            queue.receive(command, portal.answer(command));
        }
        ASSERT_EQ(artifact.manifest().state, ArtifactState::stored);
    }
    ASSERT_TRUE(std::filesystem::exists(directory / Artifact::flacName));
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::stored});
    EXPECT_EQ(manifest().state, ArtifactState::cleaned);
    EXPECT_FALSE(std::filesystem::exists(directory / Artifact::flacName));
    EXPECT_EQ(sent(), 0U);
    EXPECT_TRUE(tick().empty()) << "a cleaned recording is not driven again";
}

TEST_F(SpoolUploaderTest, RefusedCredentialsBlockUntilPairedAgain) {
    pair();
    answer = [](const TransportRequest&) { return TransportResponse{401, {}, {}}; };
    std::optional<bool> blocked;
    uploader->onRows([&](const std::vector<UploadRow>&, bool isBlocked) { blocked = isBlocked; });
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::refreshRequired});
    EXPECT_EQ(manifest().state, ArtifactState::blockedAuth);
    EXPECT_EQ(blocked, true);
    const std::size_t before = sent();
    EXPECT_TRUE(tick().empty()) << "blocked recordings wait for a pairing";
    EXPECT_EQ(sent(), before);

    // Paired again, as another device: the upload restarts under it.
    pair(otherDevice);
    EXPECT_EQ(uploader->resumeAfterPair(otherDevice).get(), 1);
    EXPECT_EQ(manifest().deviceId, otherDevice);
    EXPECT_EQ(manifest().queue.stage, QueueStage::ready);
    EXPECT_EQ(blocked, false);
    answer = [](const TransportRequest&) { return TransportResponse{503, {}, {}}; };
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
    EXPECT_EQ(uploader->resumeAfterPair(otherDevice).get(), 0) << "nothing blocked any more";
}

TEST_F(SpoolUploaderTest, SameDeviceResumesWhereItWasBlocked) {
    pair();
    answer = [](const TransportRequest&) { return TransportResponse{401, {}, {}}; };
    ASSERT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::refreshRequired});
    pair();
    EXPECT_EQ(uploader->resumeAfterPair(std::string(device)).get(), 1);
    EXPECT_EQ(manifest().deviceId, device);
    EXPECT_NE(manifest().state, ArtifactState::blockedAuth);
    answer = [](const TransportRequest&) { return TransportResponse{503, {}, {}}; };
    EXPECT_EQ(tick(), std::vector<UploadEffect>{UploadEffect::retryScheduled});
}

TEST(UploadRowDerive, StuckAfterFourFailuresOrAnOverdueRetry) {
    struct Case {
        QueueStage stage;
        std::int64_t failures;
        double retryFromNow;
        bool stuck;
    };
    const Case cases[] = {
        {QueueStage::retryWait, 0, -601, true}, {QueueStage::retryWait, 3, 60, false},
        {QueueStage::retryWait, 4, 60, true},   {QueueStage::retryWait, 0, -599, false},
        {QueueStage::transferring, 5, 0, true}, {QueueStage::blockedAuth, 9, -9000, false},
        {QueueStage::done, 9, -9000, false},
    };
    const Date now{800'000'000.0};
    for (const Case& c : cases) {
        ArtifactManifest manifest;
        manifest.capture.captureSessionId = session;
        manifest.capture.partIndex = 3;
        manifest.queue.stage = c.stage;
        manifest.queue.failures = c.failures;
        manifest.queue.retryAt = now + c.retryFromNow;
        const UploadRow row = UploadRow::derive(manifest, now);
        EXPECT_EQ(row.stuck, c.stuck) << rawValue(c.stage) << " " << c.failures << " " << c.retryFromNow;
        EXPECT_EQ(row.directoryName, std::string(session) + "-3");
    }
}

} // namespace
} // namespace zoq
