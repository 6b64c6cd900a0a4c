// The tray on a real X desktop: an Xvfb server of the test's own, the XEmbed
// tray `trayer`, clicks by xdotool, and zoq-tray itself started as autostart
// and as a person would. Leaves a screenshot of the open menu in the build
// tree (test-artifacts/tray-menu.png).

#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/MemorySecrets.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/System/RecordingLinkOpener.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqUI/QtMainExecutor.h"
#include "ZoqUI/TrayIcon.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/TestSupport/XvfbDisplay.h"
#include "tests/ZoqUI/MockNotifications.h"
#include "tests/ZoqUI/UITestSupport.h"

#include <QApplication>
#include <QMenu>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace zoq {
namespace {

std::filesystem::path binaryDirectory() {
    const char* binary = std::getenv("ZOQ_BINARY_DIR");
    return binary != nullptr ? binary : ".";
}

TEST(TrayDesktop, TheIconDocksInAnXEmbedTrayAndAClickOpensTheMenu) {
    const test::XvfbDisplay display;
    qputenv("DISPLAY", QByteArray::fromStdString(display.name()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    // No session bus: Qt takes the XEmbed path, as on a desktop without a
    // StatusNotifierItem watcher.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zoq-test-bus");
    int argc = 1;
    char name[] = "zoq-tray-desktop-test";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);

    const test::TempDirectory temp;
    ShellSettings settings(temp / "settings.json");
    QtMainExecutor executor;
    StubWireTransport offline(
        [](const TransportRequest&) -> TransportResponse { throw std::runtime_error("offline"); });
    KeychainCredentialPersistence persistence(std::make_unique<MemorySecrets>());
    const NullNetwork network;
    MemoryLoginItem loginItems;
    RecordingLinkOpener links;
    const HostClock clock;
    ShellModel model(ShellModel::Dependencies{
        settings,
        executor,
        offline,
        persistence,
        temp / "spool",
        network,
        [] { return std::make_unique<FFmpegFLACEncoder>(); },
        [](const EngineConfiguration&, std::shared_ptr<EventSinking>) -> std::shared_ptr<RecordingEngine> {
            throw std::runtime_error("no engine in this test");
        },
        [] { return MicrophonePermissionResult{}; },
        {},
        loginItems,
        links,
        "Test computer",
        clock});
    ModelMenuActions actions(
        model, links, [](TrayWindow) {}, [] {});

    std::vector<std::string> noTray;
    TrayIcon icon(model, actions, [&noTray](const std::string& text) { noTray.push_back(text); });
    EXPECT_EQ(noTray, std::vector<std::string>{TrayIcon::noTrayText}) << "said once, and zoq runs on";

    const test::ChildProcess trayer({test::requireProgram("trayer", "trayer"), "--edge", "top", "--align",
                                     "left", "--widthtype", "pixel", "--width", "120", "--height", "32",
                                     "--SetDockType", "true"},
                                    {"DISPLAY=" + display.name()}, temp / "trayer.log");
    ASSERT_TRUE(test::waitFor([&] {
        return QSystemTrayIcon::isSystemTrayAvailable() && !icon.icon().geometry().isEmpty();
    })) << "the icon docks once a tray appears";

    const QPoint centre = icon.icon().geometry().center();
    ASSERT_EQ(
        display.xdotool({"mousemove", std::to_string(centre.x()), std::to_string(centre.y()), "click", "3"}),
        0);
    ASSERT_TRUE(test::waitFor([&] { return icon.menu().isVisible(); })) << "a right click opens the menu";
    const std::vector<std::string> items = test::menuItems(icon.menu());
    ASSERT_GE(items.size(), 3u);
    EXPECT_EQ(items[0], "(Recorder stopped)");
    EXPECT_EQ(items.back(), "Quit zoq");

    const std::filesystem::path artifacts = binaryDirectory() / "test-artifacts";
    std::filesystem::create_directories(artifacts);
    test::waitFor([] { return false; }, std::chrono::milliseconds(300)); // let the menu paint
    test::ChildProcess screenshot({test::requireProgram("import", "imagemagick"), "-window", "root",
                                   (artifacts / "tray-menu.png").string()},
                                  {"DISPLAY=" + display.name()});
    EXPECT_EQ(screenshot.exitCode(), 0);
    EXPECT_GT(std::filesystem::file_size(artifacts / "tray-menu.png"), 0u);
    icon.menu().close();
    ASSERT_TRUE(test::waitFor([&] { return !icon.menu().isVisible(); }));
    ASSERT_EQ(
        display.xdotool({"mousemove", std::to_string(centre.x()), std::to_string(centre.y()), "click", "1"}),
        0);
    EXPECT_TRUE(test::waitFor([&] { return icon.menu().isVisible(); })) << "so does a left click";
    icon.menu().close();
}

TEST(TrayDesktop, ZoqTrayStartsQuietlyForAutostartWithThePairingWindowOtherwiseAndStopsOnSigterm) {
    const test::XvfbDisplay display;
    const test::PrivateBus bus;
    const auto notificationServer = bus.startMock("notification_daemon", "org.freedesktop.Notifications");
    const test::TempDirectory home;
    std::filesystem::create_directories(home / "config/zoq");
    // A fresh machine has no unlocked keyring: the opt-in credential file.
    std::ofstream(home / "config/zoq/settings.json") << R"({"credentialStore": "file"})";
    std::filesystem::create_directories(home / "runtime");
    std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
    const std::vector<std::string> environment{"DISPLAY=" + display.name(),
                                               "QT_QPA_PLATFORM=xcb",
                                               "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                                               "XDG_CONFIG_HOME=" + (home / "config").string(),
                                               "XDG_DATA_HOME=" + (home / "data").string(),
                                               "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
                                               "HOME=" + home.path().string()};
    const std::string program = (binaryDirectory() / "bin/zoq-tray").string();
    const auto pairingWindowShown = [&] {
        return display.xdotool({"search", "--name", "^zoq Pairing$"}) == 0;
    };
    const auto noTrayNotices = [&] {
        std::size_t count = 0;
        for (const auto& received : test::receivedNotifications(bus.address())) {
            count += received.body == TrayIcon::noTrayText ? 1 : 0;
        }
        return count;
    };

    {
        test::ChildProcess tray({program, "--background"}, environment, home / "background.log");
        // With no tray on this desktop it says so, and keeps running.
        ASSERT_TRUE(test::eventually([&] { return noTrayNotices() == 1; }))
            << "see " << (home / "background.log");
        // Long after the credentials were opened, still no window.
        EXPECT_FALSE(test::eventually(pairingWindowShown, std::chrono::seconds(1)))
            << "autostart opens no window";
        EXPECT_FALSE(tray.ended());
        tray.signal(SIGTERM);
        EXPECT_EQ(tray.exitCode(), 0);
    }
    {
        test::ChildProcess tray({program}, environment, home / "interactive.log");
        ASSERT_TRUE(test::eventually(pairingWindowShown)) << "an unpaired device opens the pairing window";
        tray.signal(SIGTERM);
        EXPECT_EQ(tray.exitCode(), 0);
    }
}

} // namespace
} // namespace zoq
