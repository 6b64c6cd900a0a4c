// The long-lived uploader and the command line side by side, as real `zoq`
// processes sharing one credential store, against a development portal that
// rotates the refresh token on every refresh, lets access tokens live two
// seconds and refuses each fresh one once: credentials change under every
// process many times a minute, and the device is paired again halfway.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Upload/CredentialSnapshot.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/e2e/PortalProcess.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <thread>

namespace zoq {
namespace {

using namespace std::chrono_literals;

constexpr const char* session = "0b6a3c2e-52f1-4c8e-9d7a-2f4e6a8b1c3d";

class SharedCredentialsEndToEnd : public ::testing::Test {
public:
    test::TempDirectory temp;
    std::filesystem::path data = temp / "data";
    std::filesystem::path spool = data / "zoq" / "spool";
    std::vector<std::string> environment{"XDG_CONFIG_HOME=" + (temp / "config").string(),
                                         "XDG_DATA_HOME=" + data.string()};
    ManualClock clock{HostClock().now(), HostClock().wallDate() - 86'400};
    int recordings = 0;

    int zoq(std::vector<std::string> args, const std::filesystem::path& output = {}) {
        args.insert(args.begin(), test::PortalProcess::program("zoq").string());
        return test::ChildProcess(std::move(args), environment, output).exitCode();
    }

    /// Publishes one more 20 s recording of `device` into the spool.
    void record(const std::string& device) {
        const int part = recordings++;
        const CaptureSegment segment{session, part, "us.example.call", clock.wallDate() - 3600 + part * 60,
                                     0};
        auto artifact = Artifact::create(spool / (std::string(session) + "-" + std::to_string(part)), segment,
                                         device, clock, std::make_shared<DurableIO>());
        artifact->append(test::syntheticPCM(pcm::minimumPartFrames, static_cast<std::uint32_t>(part + 1)));
        artifact->finalise(FFmpegFLACEncoder(), segment.startedAt + 21, false);
    }

    int cleaned() const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(spool)) {
            try {
                count += Artifact::readManifest(entry.path(), DurableIO()).state == ArtifactState::cleaned;
            } catch (const std::exception&) {
            }
        }
        return count;
    }

    CredentialSnapshot stored() const {
        return CredentialSnapshot::fromBytes(FileSecrets(data / "zoq").retrieve().value());
    }
};

TEST_F(SharedCredentialsEndToEnd, ServiceAndCommandLineNeverLoseOrBlockRotatingCredentials) {
    std::filesystem::create_directories(temp / "config" / "zoq");
    std::filesystem::create_directories(spool);
    test::PortalProcess portal(
        temp / "portal", {"--unauthorized-first-use", "--access-lifetime", "2", "--verifying-polls", "1"});
    std::ofstream(temp / "config" / "zoq" / "settings.json")
        << R"({"credentialStore": "file", "apiBaseURL": ")" << portal.url() << "\"}";
    ASSERT_EQ(zoq({"pair", portal.pairingCode()}), 0);
    const std::string device = stored().credentials.deviceId();
    for (int i = 0; i < 6; ++i) {
        record(device);
    }

    test::ChildProcess service(
        {test::PortalProcess::program("zoq").string(), "upload", "--watch", "--interval", "0.5"}, environment,
        temp / "service.log");
    // The command line beside it: passes of its own, more recordings, and a
    // pairing of the same installation in the middle (same device, new
    // credentials, the old ones retired at once).
    for (int round = 0; round < 24; ++round) {
        EXPECT_EQ(zoq({"upload", "--once"}, temp / "once.log"), 0) << "round " << round;
        if (round % 4 == 1) {
            record(device);
        }
        if (round == 12) {
            ASSERT_EQ(zoq({"pair", portal.pairingCode()}, temp / "pair.log"), 0);
            EXPECT_EQ(stored().credentials.deviceId(), device);
        }
        std::this_thread::sleep_for(500ms);
    }
    // Only a safety net against a hang: nothing here asserts how long it took.
    const auto giveUp = std::chrono::steady_clock::now() + 180s;
    while (cleaned() < recordings && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(250ms);
    }
    service.signal(SIGTERM);
    EXPECT_EQ(service.exitCode(), 0);

    EXPECT_EQ(cleaned(), recordings);
    const JSONValue::Array uploads = portal.uploads();
    EXPECT_EQ(uploads.size(), static_cast<std::size_t>(recordings));
    for (const JSONValue& upload : uploads) {
        EXPECT_EQ(upload.find("storedCount")->integer(), 1);
    }
    // Nobody ever presented a refresh token a rotation had replaced, the
    // device was never blocked, and the credentials stored are the ones the
    // portal holds in force: no rotation was lost.
    CurlWireTransport transport;
    const JSONValue refreshes =
        JSONValue::parse(ByteView(transport.execute({"GET", portal.url() + "/dev/refreshes", {}, {}}).body));
    std::cout << "refreshes: " << refreshes.canonicalText() << "\n";
    EXPECT_EQ(refreshes.find("retiredToken")->integer(), 0);
    EXPECT_EQ(refreshes.find("unknownToken")->integer(), 0);
    EXPECT_GE(refreshes.find("rotated")->integer(), 5);
    const CredentialSnapshot credentials = stored();
    EXPECT_FALSE(credentials.blocked);
    std::ifstream stateFile(portal.data() / "state.json");
    std::stringstream state;
    state << stateFile.rdbuf();
    const JSONValue portalState = JSONValue::parse(state.str());
    EXPECT_EQ(*portalState.find("devices")->find(device)->find("refreshToken")->string(),
              credentials.credentials.refreshToken());
}

} // namespace
} // namespace zoq
