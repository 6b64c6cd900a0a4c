// The built `zoq daemon`, paired with one development portal, pointed at a
// second one over the session bus as any local program could: the second
// never sees a token, the first gets the recordings again once the address
// is set back, and a pairing with the second moves everything there.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqShell/Service/ShellBusClient.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/e2e/PortalProcess.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace zoq {
namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Requests that carry a token: every call under /api/v1/uploads and the refresh.
bool sawTokenRequests(const std::filesystem::path& portalLog) {
    const std::string log = contents(portalLog);
    return log.find("/api/v1/uploads") != std::string::npos ||
           log.find("/token/refresh") != std::string::npos;
}

class PortalChangeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // Stored at once on completion: no status polls to wait through.
        const std::vector<std::string> options{"--verifying-polls", "0"};
        first = std::make_unique<test::PortalProcess>(temp / "first", options, temp / "first.log");
        second = std::make_unique<test::PortalProcess>(temp / "second", options, temp / "second.log");
        std::filesystem::create_directories(temp / "config" / "zoq");
        std::ofstream(temp / "config" / "zoq" / "settings.json")
            << R"({"credentialStore": "file", "apiBaseURL": ")" << first->url() << "\"}";
    }

    int zoq(const std::vector<std::string>& args, std::string& output) {
        const std::filesystem::path log = temp / ("run-" + std::to_string(++runs) + ".log");
        std::vector<std::string> command{test::PortalProcess::program("zoq").string()};
        command.insert(command.end(), args.begin(), args.end());
        const int code = test::ChildProcess(command, environment, log).exitCode();
        output = contents(log);
        return code;
    }

    /// A published part of `deviceId`, encoded by the real ffmpeg, in the daemon's spool.
    void record(const std::string& deviceId, int part) {
        const std::filesystem::path spool = temp / "data" / "zoq" / "spool";
        std::filesystem::create_directories(spool);
        const CaptureSegment segment{session, part, "us.example.call", HostClock().wallDate() - 600, 0};
        auto artifact = Artifact::create(spool / (std::string(session) + "-" + std::to_string(part)), segment,
                                         deviceId, clock, std::make_shared<DurableIO>());
        artifact->append(test::syntheticPCM(pcm::minimumPartFrames, static_cast<std::uint32_t>(part + 1)));
        artifact->finalise(FFmpegFLACEncoder(), segment.startedAt + 30, false);
    }

    /// Asks the daemon for passes until `portal` holds `count` stored uploads.
    bool storedOn(test::PortalProcess& portal, std::size_t count) {
        return test::eventually(
            [&] {
                std::string ignored;
                (void)zoq({"upload-now"}, ignored);
                const JSONValue::Array uploads = portal.uploads();
                std::size_t stored = 0;
                for (const JSONValue& upload : uploads) {
                    stored += *upload.find("state")->string() == "stored";
                }
                return stored == count;
            },
            std::chrono::seconds(60));
    }

    static constexpr const char* session = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
    test::TempDirectory temp;
    test::PrivateBus bus;
    HostClock clock;
    std::unique_ptr<test::PortalProcess> first;
    std::unique_ptr<test::PortalProcess> second;
    std::vector<std::string> environment{
        "DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "XDG_CONFIG_HOME=" + (temp / "config").string(),
        "XDG_DATA_HOME=" + (temp / "data").string(), "DISPLAY=", "WAYLAND_DISPLAY="};
    int runs = 0;
};

TEST_F(PortalChangeEndToEnd, CredentialsStayWithThePortalThatIssuedThem) {
    test::ChildProcess daemon({test::PortalProcess::program("zoq").string(), "daemon"}, environment,
                              temp / "daemon.log");
    ASSERT_TRUE(test::eventually([&] { return bus.hasOwner("org.zoq.Zoq"); }))
        << contents(temp / "daemon.log");
    std::string output;
    ASSERT_TRUE(test::eventually([&] { return zoq({"pair", first->pairingCode()}, output) == 0; })) << output;
    const std::string device = output.substr(std::string("Paired device ").size(), 36);

    // Another program points the daemon at the second portal.
    const auto client = ShellBusClient::connect(bus.address());
    ASSERT_TRUE(client);
    EXPECT_EQ(client->applyPortalURL(second->url()),
              std::make_pair(true, std::string(ShellModel::portalChangedMessage)));
    EXPECT_FALSE(client->status().paired);

    // Recordings wait; nothing carrying a token reaches either portal.
    record(device, 0);
    for (int pass = 0; pass < 3; ++pass) {
        (void)zoq({"upload-now"}, output);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_FALSE(sawTokenRequests(temp / "second.log")) << contents(temp / "second.log");
    EXPECT_TRUE(first->uploads().empty());
    EXPECT_EQ(zoq({"status"}, output), 0) << output;
    EXPECT_NE(output.find(ShellModel::portalChangedMessage), std::string::npos) << output;

    // The address set back: the first portal receives the recording.
    EXPECT_EQ(client->applyPortalURL(first->url()), std::make_pair(true, first->url() + "/"));
    EXPECT_TRUE(client->status().paired);
    EXPECT_TRUE(storedOn(*first, 1)) << contents(temp / "daemon.log");
    EXPECT_FALSE(sawTokenRequests(temp / "second.log")) << contents(temp / "second.log");

    // A pairing with the second portal moves everything there.
    ASSERT_EQ(zoq({"pair", second->pairingCode(), "--portal", second->url()}, output), 0) << output;
    const std::string moved = output.substr(std::string("Paired device ").size(), 36);
    record(moved, 1);
    EXPECT_TRUE(storedOn(*second, 1)) << contents(temp / "daemon.log");
    EXPECT_EQ(first->uploads().size(), 1u);

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitCode(), 0) << contents(temp / "daemon.log");
}

} // namespace
} // namespace zoq
