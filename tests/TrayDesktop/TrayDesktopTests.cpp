// The tray icon on a real X desktop: an Xvfb server of the test's own, the
// XEmbed tray `trayer` and clicks by xdotool. Leaves a screenshot of the open
// menu in the build tree (test-artifacts/tray-menu.png).

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
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/TestSupport/XvfbDisplay.h"
#include "tests/ZoqUI/UITestSupport.h"

#include <QApplication>
#include <QMenu>
#include <cstdlib>
#include <gtest/gtest.h>

namespace zoq {
namespace {

TEST(TrayDesktop, TheIconDocksInAnXEmbedTrayAndARightClickOpensTheMenu) {
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

    const char* binary = std::getenv("ZOQ_BINARY_DIR");
    const std::filesystem::path artifacts =
        std::filesystem::path(binary != nullptr ? binary : ".") / "test-artifacts";
    std::filesystem::create_directories(artifacts);
    test::waitFor([] { return false; }, std::chrono::milliseconds(300)); // let the menu paint
    test::ChildProcess screenshot({test::requireProgram("import", "imagemagick"), "-window", "root",
                                   (artifacts / "tray-menu.png").string()},
                                  {"DISPLAY=" + display.name()});
    EXPECT_EQ(screenshot.exitCode(), 0);
    EXPECT_GT(std::filesystem::file_size(artifacts / "tray-menu.png"), 0u);
    icon.menu().close();
}

} // namespace
} // namespace zoq
