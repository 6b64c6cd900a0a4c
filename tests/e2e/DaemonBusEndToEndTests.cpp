// The built `zoq daemon` and commands on a private session bus: one daemon
// per session, a second start (of the daemon or the tray) shows the first and
// exits 0, the commands reach the daemon while it runs and say plainly when it
// does not, and `zoq start` alone has the bus start zoq from its activation
// file.

#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/e2e/PortalProcess.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <systemd/sd-bus.h>

namespace zoq {
namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class DaemonOnTheSessionBus : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(temp / "config" / "zoq");
        std::ofstream(temp / "config" / "zoq" / "settings.json")
            << R"({"credentialStore": "file", "apiBaseURL": "http://127.0.0.1:9"})";
    }

    /// Runs `zoq ARGS...` to its end; its exit code, and its output in `output`.
    int zoq(const std::vector<std::string>& args, std::string& output) {
        const std::filesystem::path log = temp / ("run-" + std::to_string(++runs) + ".log");
        std::vector<std::string> command{test::PortalProcess::program("zoq").string()};
        command.insert(command.end(), args.begin(), args.end());
        const int code = test::ChildProcess(command, environment, log).exitCode();
        output = contents(log);
        return code;
    }

    test::TempDirectory temp;
    test::PrivateBus bus;
    // No display and no recording: the daemon needs neither a hotkey nor a sound server here.
    std::vector<std::string> environment{
        "DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "XDG_CONFIG_HOME=" + (temp / "config").string(),
        "XDG_DATA_HOME=" + (temp / "data").string(), "DISPLAY=", "WAYLAND_DISPLAY="};
    int runs = 0;
};

TEST_F(DaemonOnTheSessionBus, OneDaemonPerSessionAndTheCommandsReachIt) {
    std::string output;
    EXPECT_EQ(zoq({"pause"}, output), 5);
    EXPECT_EQ(output, "zoq: zoq is not running (start it with `zoq daemon` or the tray)\n");

    test::ChildProcess daemon({test::PortalProcess::program("zoq").string(), "daemon"}, environment,
                              temp / "daemon.log");
    ASSERT_TRUE(test::eventually([&] { return bus.hasOwner("org.zoq.Zoq"); }))
        << contents(temp / "daemon.log");

    EXPECT_EQ(zoq({"daemon"}, output), 0);
    EXPECT_EQ(output, "zoq is already running\n");
    EXPECT_TRUE(test::eventually([&] {
        return contents(temp / "daemon.log").find("another start of zoq found this one running\n") !=
               std::string::npos;
    })) << "the first was asked to show itself";
    // The tray shares the name: started while the daemon records, it leaves
    // the recording to it.
    std::vector<std::string> trayEnvironment = environment;
    trayEnvironment.push_back("QT_QPA_PLATFORM=offscreen");
    test::ChildProcess tray({test::PortalProcess::program("zoq-tray").string(), "--background"},
                            trayEnvironment, temp / "tray.log");
    EXPECT_EQ(tray.exitCode(), 0);
    EXPECT_EQ(contents(temp / "tray.log"), "zoq is already running\n");

    // Once its credentials are open it answers with the menu's status line.
    EXPECT_TRUE(test::eventually([&] {
        return zoq({"status"}, output) == 3 && output.starts_with("zoq: running, Recorder stopped\n");
    })) << output;
    EXPECT_EQ(zoq({"pause"}, output), 1);
    EXPECT_EQ(output, "zoq: The recorder is not running\n");
    EXPECT_EQ(zoq({"start"}, output), 3);
    EXPECT_EQ(output, "zoq: Pair your device before recording (run 'zoq pair CODE')\n");

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitCode(), 0) << contents(temp / "daemon.log");
    EXPECT_TRUE(test::eventually([&] { return !bus.hasOwner("org.zoq.Zoq"); })) << "the name goes with it";
    EXPECT_EQ(zoq({"upload-now"}, output), 5);
    EXPECT_EQ(zoq({"status"}, output), 3);
    EXPECT_TRUE(output.starts_with("zoq: not running\n")) << output;
}

TEST_F(DaemonOnTheSessionBus, AtItsFirstStartTheDaemonStoresTheAddressAndSaysOnceWhatItIgnores) {
    const std::filesystem::path file = temp / "config" / "zoq" / "settings.json";
    std::ofstream(file) << R"({"credentialStore": "file", "allowedBundleIDs": "org.example.Call"})";
    test::ChildProcess daemon({test::PortalProcess::program("zoq").string(), "daemon"}, environment,
                              temp / "daemon.log");
    const std::string warning =
        R"(settings: "allowedBundleIDs": "org.example.Call" is one identifier, not a list of them; )"
        "zoq allows that one\n";
    ASSERT_TRUE(test::eventually([&] {
        return contents(temp / "daemon.log").find(warning) != std::string::npos;
    })) << contents(temp / "daemon.log");
    EXPECT_NE(contents(file).find(R"("apiBaseURL":"http://127.0.0.1:8787")"), std::string::npos)
        << contents(file);

    std::string output;
    EXPECT_TRUE(test::eventually([&] {
        return zoq({"status"}, output) == 3 && output.starts_with("zoq: running, Recorder stopped\n");
    })) << output;
    EXPECT_NE(output.find(warning), std::string::npos) << output;
    EXPECT_EQ(zoq({"pause"}, output), 1) << "a change of the model, after which nothing new is said";

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitCode(), 0);
    const std::string log = contents(temp / "daemon.log");
    EXPECT_EQ(log.find(warning), log.rfind(warning)) << "said once: " << log;
}

/// The source tree: CTest names it; by hand, the tree this file is in.
std::filesystem::path sourceDirectory() {
    const char* source = std::getenv("ZOQ_SOURCE_DIR");
    return source != nullptr ? std::filesystem::path(source)
                             : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

/// The process that owns `name` on the bus at `address`.
pid_t ownerOf(const std::string& address, const char* name) {
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    std::uint32_t pid = 0;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", nullptr, &reply, "s", name) >= 0) {
        sd_bus_message_read(reply, "u", &pid);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return static_cast<pid_t>(pid);
}

TEST(DaemonActivation, OnlyStartHasTheBusStartZoqFromItsActivationFile) {
    test::TempDirectory temp;
    std::filesystem::create_directories(temp / "config" / "zoq");
    std::ofstream(temp / "config" / "zoq" / "settings.json") << R"({"credentialStore": "file"})";
    // The installed activation file, pointed at the built zoq and this test's
    // settings; without a systemd user manager on this bus the bus runs Exec=
    // itself, as it does on a desktop without systemd.
    const std::string installed = contents(sourceDirectory() / "data/dbus/org.zoq.Zoq.service");
    ASSERT_NE(installed.find("\nName=org.zoq.Zoq\n"), std::string::npos) << installed;
    ASSERT_NE(installed.find("\nSystemdService=zoq.service\n"), std::string::npos) << installed;
    const std::string exec = "Exec=/usr/bin/env XDG_CONFIG_HOME=" + (temp / "config").string() +
                             " XDG_DATA_HOME=" + (temp / "data").string() +
                             " DISPLAY= WAYLAND_DISPLAY= " + test::PortalProcess::program("zoq").string() +
                             " daemon";
    std::string activation =
        std::regex_replace(installed, std::regex("\nExec=/usr/bin/zoq daemon\n"), "\n" + exec + "\n");
    activation = std::regex_replace(activation, std::regex("\nSystemdService=.*\n"), "\n");
    std::filesystem::create_directories(temp / "services");
    std::ofstream(temp / "services" / "org.zoq.Zoq.service") << activation;

    test::PrivateBus bus(temp / "services");
    const std::vector<std::string> environment{"DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                                               "XDG_CONFIG_HOME=" + (temp / "config").string(),
                                               "XDG_DATA_HOME=" + (temp / "data").string()};
    auto zoq = [&](const std::string& command, std::string& output) {
        const std::filesystem::path log = temp / (command + ".log");
        const int code =
            test::ChildProcess({test::PortalProcess::program("zoq").string(), command}, environment, log)
                .exitCode();
        output = contents(log);
        return code;
    };
    std::string output;
    for (const char* command : {"stop", "pause", "resume"}) {
        EXPECT_EQ(zoq(command, output), 5) << command << ": " << output;
    }
    EXPECT_FALSE(bus.hasOwner("org.zoq.Zoq")) << "only start starts zoq";

    EXPECT_EQ(zoq("start", output), 3) << output;
    EXPECT_EQ(output, "zoq: Pair your device before recording (run 'zoq pair CODE')\n")
        << "the started daemon answered";
    const pid_t daemon = ownerOf(bus.address(), "org.zoq.Zoq");
    ASSERT_GT(daemon, 0);
    ::kill(daemon, SIGTERM);
    EXPECT_TRUE(test::eventually([&] { return !bus.hasOwner("org.zoq.Zoq"); })) << "it ends on SIGTERM";
}

} // namespace
} // namespace zoq
