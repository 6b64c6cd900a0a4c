// The tray on a real X desktop: an Xvfb server of the test's own, the XEmbed
// tray `trayer`, clicks by xdotool, and zoq-tray itself started as autostart
// and as a person would; then zoq-tray on a StatusNotifierItem host, its menu
// read over D-Bus as the host reads it. Leaves screenshots in the build tree
// (test-artifacts/tray-menu.png, test-artifacts/tray-sni.png).

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/MemorySecrets.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/System/RecordingLinkOpener.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqUI/FileStoreChoice.h"
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
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <thread>

namespace zoq {
namespace {

std::filesystem::path binaryDirectory() {
    const char* binary = std::getenv("ZOQ_BINARY_DIR");
    return binary != nullptr ? binary : ".";
}

/// A fresh home for a desktop program of the test's: its own configuration,
/// data and runtime directories, this display and this session bus, and no
/// sound server.
std::vector<std::string> freshSession(const test::TempDirectory& home, const test::XvfbDisplay& display,
                                      const test::PrivateBus& bus) {
    std::filesystem::create_directories(home / "config/zoq");
    // A fresh machine has no unlocked keyring: the opt-in credential file.
    std::ofstream(home / "config/zoq/settings.json") << R"({"credentialStore": "file"})";
    std::filesystem::create_directories(home / "runtime");
    std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
    // PULSE_SERVER: never the machine's own sound server, none at all.
    return {"DISPLAY=" + display.name(),
            "QT_QPA_PLATFORM=xcb",
            "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
            "XDG_CONFIG_HOME=" + (home / "config").string(),
            "XDG_DATA_HOME=" + (home / "data").string(),
            "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
            "HOME=" + home.path().string(),
            "PULSE_SERVER=unix:" + (home / "runtime/no-sound-server").string()};
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void keepScreenshot(const test::XvfbDisplay& display, const std::string& name) {
    const std::filesystem::path artifacts = binaryDirectory() / "test-artifacts";
    std::filesystem::create_directories(artifacts);
    test::ChildProcess screenshot(
        {test::requireProgram("import", "imagemagick"), "-window", "root", (artifacts / name).string()},
        {"DISPLAY=" + display.name()});
    EXPECT_EQ(screenshot.exitCode(), 0);
    EXPECT_GT(std::filesystem::file_size(artifacts / name), 0u);
}

/// A D-Bus peer of the test's on `address`, asking what a StatusNotifierItem
/// host asks: which items are registered, and an item's menu.
class HostView {
public:
    explicit HostView(const std::string& address) : bus_(sdbus::open(sdbus::Kind::user, address)) {}

    /// Whether a host has registered with the watcher: until one has, Qt
    /// takes the desktop for one without a StatusNotifierItem tray.
    bool hostRegistered() {
        sdbus::Error error;
        sd_bus_message* raw = nullptr;
        if (sd_bus_get_property(bus_.get(), watcher, "/StatusNotifierWatcher", watcher,
                                "IsStatusNotifierHostRegistered", error.get(), &raw, "b") < 0) {
            return false;
        }
        const sdbus::Message reply(raw);
        int registered = 0;
        return sd_bus_message_read(raw, "b", &registered) > 0 && registered != 0;
    }

    /// The items the watcher lists, as "bus-name/object-path" (a bare bus
    /// name means the conventional path).
    std::vector<std::string> registeredItems() {
        sdbus::Error error;
        sd_bus_message* raw = nullptr;
        if (sd_bus_get_property(bus_.get(), watcher, "/StatusNotifierWatcher", watcher,
                                "RegisteredStatusNotifierItems", error.get(), &raw, "as") < 0) {
            return {};
        }
        const sdbus::Message reply(raw);
        char** names = nullptr;
        sdbus::check(sd_bus_message_read_strv(raw, &names), "read items");
        std::vector<std::string> items;
        for (char** name = names; name != nullptr && *name != nullptr; ++name) {
            items.emplace_back(*name);
            std::free(*name);
        }
        std::free(names);
        return items;
    }

    /// The item's menu, top level, in the notation of test::menuItems:
    /// "---" for a separator, "(text)" for a disabled item, "[x] "/"[ ] "
    /// before a toggle; hidden items left out.
    std::vector<std::string> menu(const std::string& item) {
        const std::size_t slash = item.find('/');
        const std::string service = item.substr(0, slash);
        const std::string path = slash == std::string::npos ? "/StatusNotifierItem" : item.substr(slash);
        sdbus::Error error;
        // The menu's object path: type "o", which sd_bus_get_property_string refuses.
        sd_bus_message* property = nullptr;
        const int found =
            sd_bus_get_property(bus_.get(), service.c_str(), path.c_str(), "org.kde.StatusNotifierItem",
                                "Menu", error.get(), &property, "o");
        if (found < 0) {
            ADD_FAILURE() << "the item " << item << " has no Menu: " << error.describe(found);
            return {};
        }
        const sdbus::Message menuProperty(property);
        const char* menuPath = nullptr;
        sdbus::check(sd_bus_message_read(property, "o", &menuPath), "read the item's Menu");
        const std::string menuObject = menuPath;
        sd_bus_message* raw = nullptr;
        const int called =
            sd_bus_call_method(bus_.get(), service.c_str(), menuObject.c_str(), "com.canonical.dbusmenu",
                               "GetLayout", error.get(), &raw, "iias", 0, -1, 0);
        EXPECT_GE(called, 0) << error.describe(called);
        if (called < 0) {
            return {};
        }
        const sdbus::Message reply(raw);
        std::uint32_t revision = 0;
        sdbus::check(sd_bus_message_read(raw, "u", &revision), "read revision");
        std::vector<std::string> rows;
        sdbus::check(sd_bus_message_enter_container(raw, 'r', "ia{sv}av"), "enter root");
        std::int32_t id = 0;
        sdbus::check(sd_bus_message_read(raw, "i", &id), "read root id");
        sdbus::check(sd_bus_message_skip(raw, "a{sv}"), "skip root properties");
        sdbus::check(sd_bus_message_enter_container(raw, 'a', "v"), "enter children");
        while (sd_bus_message_enter_container(raw, 'v', "(ia{sv}av)") > 0) {
            if (std::optional<std::string> row = readRow(raw)) {
                rows.push_back(*row);
            }
            sdbus::check(sd_bus_message_exit_container(raw), "exit child");
        }
        return rows;
    }

    /// The unique name that owns the watcher's name now; empty when none.
    std::string watcherOwner() {
        sd_bus_message* raw = nullptr;
        if (sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", nullptr, &raw, "s", watcher) < 0) {
            return {};
        }
        const sdbus::Message reply(raw);
        const char* owner = nullptr;
        return sd_bus_message_read(raw, "s", &owner) > 0 ? owner : "";
    }

    static constexpr const char* watcher = "org.kde.StatusNotifierWatcher";

private:
    /// One menu entry, its own children (a submenu) skipped.
    static std::optional<std::string> readRow(sd_bus_message* message) {
        sdbus::check(sd_bus_message_enter_container(message, 'r', "ia{sv}av"), "enter item");
        std::int32_t id = 0;
        sdbus::check(sd_bus_message_read(message, "i", &id), "read id");
        std::string label;
        std::string type;
        std::string toggle;
        int enabled = 1;
        int visible = 1;
        int state = 0;
        sdbus::check(sd_bus_message_enter_container(message, 'a', "{sv}"), "enter properties");
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* key = nullptr;
            sdbus::check(sd_bus_message_read(message, "s", &key), "read key");
            const std::string name = key;
            const char* text = nullptr;
            if (name == "label" || name == "type" || name == "toggle-type") {
                sdbus::check(sd_bus_message_read(message, "v", "s", &text), "read text");
                (name == "label" ? label : name == "type" ? type : toggle) = text;
            } else if (name == "enabled" || name == "visible") {
                sdbus::check(sd_bus_message_read(message, "v", "b", name == "enabled" ? &enabled : &visible),
                             "read flag");
            } else if (name == "toggle-state") {
                sdbus::check(sd_bus_message_read(message, "v", "i", &state), "read toggle state");
            } else {
                sdbus::check(sd_bus_message_skip(message, "v"), "skip property");
            }
            sdbus::check(sd_bus_message_exit_container(message), "exit property");
        }
        sdbus::check(sd_bus_message_exit_container(message), "exit properties");
        sdbus::check(sd_bus_message_skip(message, "av"), "skip submenu");
        sdbus::check(sd_bus_message_exit_container(message), "exit item");
        if (visible == 0) {
            return std::nullopt;
        }
        if (type == "separator") {
            return "---";
        }
        if (enabled == 0) {
            return "(" + label + ")";
        }
        if (toggle == "checkmark") {
            return (state == 1 ? "[x] " : "[ ] ") + label;
        }
        return label;
    }

    sdbus::Bus bus_;
};

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

    test::waitFor([] { return false; }, std::chrono::milliseconds(300)); // let the menu paint
    keepScreenshot(display, "tray-menu.png");
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
    const std::vector<std::string> environment = freshSession(home, display, bus);
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

TEST(TrayDesktop, WithoutAKeyringTheTrayOffersThePrivateFileAndStartsWithIt) {
    const test::XvfbDisplay display;
    const test::PrivateBus bus; // no Secret Service on it
    const test::TempDirectory home;
    const std::vector<std::string> environment = freshSession(home, display, bus);
    std::ofstream(home / "config/zoq/settings.json") << "{}"; // the keyring, as by default
    test::ChildProcess tray({(binaryDirectory() / "bin/zoq-tray").string()}, environment, home / "tray.log");
    const auto shown = [&](const std::string& title) {
        return display.xdotool({"search", "--name", "^" + title + "$"}) == 0;
    };
    ASSERT_TRUE(test::eventually([&] { return shown(KeyringProblemWindow::title); }))
        << contents(home / "tray.log");
    EXPECT_FALSE(tray.ended());
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let it paint
    keepScreenshot(display, "keyring-problem.png");

    // The window's one button holds the focus: a key press chooses it.
    ASSERT_EQ(display.xdotool({"search", "--name", std::string("^") + KeyringProblemWindow::title + "$",
                               "windowfocus", "--sync", "key", "space"}),
              0);
    ASSERT_TRUE(test::eventually([&] { return shown("zoq Pairing"); }))
        << "zoq starts over with the file store; " << contents(home / "tray.log");
    EXPECT_NE(contents(home / "config/zoq/settings.json").find(R"("credentialStore":"file")"),
              std::string::npos)
        << contents(home / "config/zoq/settings.json");
    EXPECT_TRUE(test::eventually([&] { return bus.hasOwner("org.zoq.Zoq"); }));
    tray.signal(SIGTERM);
    EXPECT_EQ(tray.exitCode(), 0) << contents(home / "tray.log");
}

TEST(TrayDesktop, ASecondStartShowsTheRunningTrayAndExits) {
    const test::XvfbDisplay display;
    const test::PrivateBus bus;
    const test::TempDirectory home;
    const std::vector<std::string> environment = freshSession(home, display, bus);
    const std::string program = (binaryDirectory() / "bin/zoq-tray").string();
    test::ChildProcess first({program, "--background"}, environment, home / "first.log");
    ASSERT_TRUE(test::eventually([&] { return bus.hasOwner("org.zoq.Zoq"); }))
        << "see " << (home / "first.log");

    // Both quiet starts: a pairing window can only be the first one's answer
    // to the second start's Show.
    test::ChildProcess second({program, "--background"}, environment, home / "second.log");
    ASSERT_TRUE(test::eventually([&] { return second.ended(); }, std::chrono::seconds(10)))
        << "a second start exits instead of running a second copy";
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_NE(contents(home / "second.log").find("zoq is already running\n"), std::string::npos)
        << contents(home / "second.log");
    EXPECT_TRUE(test::eventually([&] {
        return display.xdotool({"search", "--name", "^zoq Pairing$"}) == 0;
    })) << "the running tray shows itself: the pairing window, as the device is not paired";
    EXPECT_FALSE(first.ended());
    first.signal(SIGTERM);
    EXPECT_EQ(first.exitCode(), 0);
}

TEST(TrayDesktop, SettingsThatCannotBeReadAreToldOnceAndTheTrayRunsOn) {
    const test::XvfbDisplay display;
    const test::PrivateBus bus;
    const auto notificationServer = bus.startMock("notification_daemon", "org.freedesktop.Notifications");
    const test::TempDirectory home;
    const std::vector<std::string> environment = freshSession(home, display, bus);
    test::ChildProcess tray({(binaryDirectory() / "bin/zoq-tray").string(), "--background"}, environment,
                            home / "tray.log");
    ASSERT_TRUE(test::eventually([&] { return bus.hasOwner("org.zoq.Zoq"); })) << contents(home / "tray.log");
    const auto noticed = [&](const std::string& text) {
        std::size_t count = 0;
        for (const auto& received : test::receivedNotifications(bus.address())) {
            count += received.body.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    };
    const auto unreadable = [&] { return noticed("cannot be read"); };
    // Up and running: its icon found no tray and said so.
    ASSERT_TRUE(test::eventually([&] { return noticed(TrayIcon::noTrayText) == 1; }))
        << contents(home / "tray.log");

    // The settings directory turns into a file: every read fails (ENOTDIR),
    // also for root, whom a chmod would not stop. Each tick redraws the menu,
    // which reads the settings.
    const std::filesystem::path directory = home / "config/zoq";
    std::filesystem::rename(directory, home / "config/zoq-aside");
    std::ofstream(directory) << "";
    ASSERT_TRUE(test::eventually([&] { return unreadable() == 1 || tray.ended(); }))
        << contents(home / "tray.log");
    EXPECT_FALSE(test::eventually([&] { return tray.ended() || unreadable() > 1; }, std::chrono::seconds(12)))
        << "the tray runs on and says it once: " << contents(home / "tray.log");

    std::filesystem::remove(directory);
    std::filesystem::rename(home / "config/zoq-aside", directory);
    EXPECT_FALSE(tray.ended()) << contents(home / "tray.log");
    tray.signal(SIGTERM);
    EXPECT_EQ(tray.exitCode(), 0) << contents(home / "tray.log");
}

TEST(TrayDesktop, AWatcherThatTakesTheNameOverDirectlyGetsTheItemToo) {
    // A panel that replaces another takes the watcher's name without it
    // ever being free: no "name appeared" for Qt to act on.
    const char* source = std::getenv("ZOQ_SOURCE_DIR");
    const std::string fakeWatcher = ((source != nullptr ? std::filesystem::path(source) / "tests/TrayDesktop"
                                                        : std::filesystem::path(__FILE__).parent_path()) /
                                     "fake-status-notifier-watcher.py")
                                        .string();
    const test::XvfbDisplay display;
    const test::PrivateBus bus;
    const test::TempDirectory home;
    const std::vector<std::string> environment = freshSession(home, display, bus);
    const auto first = bus.startService({fakeWatcher}, HostView::watcher);
    HostView view(bus.address());
    test::ChildProcess tray({(binaryDirectory() / "bin/zoq-tray").string(), "--background"}, environment,
                            home / "tray.log");
    ASSERT_TRUE(test::eventually([&] { return view.registeredItems().size() == 1; }))
        << contents(home / "tray.log");

    const std::string before = view.watcherOwner();
    const auto second = bus.startService({fakeWatcher, "--replace"}, HostView::watcher);
    ASSERT_TRUE(test::eventually([&] { return view.watcherOwner() != before; }));
    EXPECT_TRUE(test::eventually([&] { return view.registeredItems().size() == 1; }))
        << "the item registers with the watcher that took over; " << contents(home / "tray.log");
    EXPECT_FALSE(tray.ended()) << contents(home / "tray.log");
    tray.signal(SIGTERM);
    EXPECT_EQ(tray.exitCode(), 0);
}

TEST(TrayDesktop, OnAStatusNotifierItemHostTheItemRegistersAndExportsTheWholeMenu) {
    const test::XvfbDisplay display;
    const test::PrivateBus bus;
    const test::TempDirectory home;
    const std::vector<std::string> environment = freshSession(home, display, bus);
    // A real host, with the watcher items register with.
    const auto startHost = [&](const std::string& log) {
        return std::make_unique<test::ChildProcess>(
            std::vector<std::string>{
                test::requireProgram("gtk-sni-tray-standalone", "haskell-gtk-sni-tray-utils"), "--watcher"},
            environment, home / log);
    };
    std::unique_ptr<test::ChildProcess> host = startHost("host.log");
    HostView view(bus.address());
    ASSERT_TRUE(test::eventually([&] { return view.hostRegistered(); })) << "see " << (home / "host.log");

    test::ChildProcess tray({(binaryDirectory() / "bin/zoq-tray").string(), "--background"}, environment,
                            home / "tray.log");
    std::vector<std::string> items;
    ASSERT_TRUE(test::eventually([&] {
        items = view.registeredItems();
        return !items.empty();
    })) << "see "
        << (home / "tray.log");
    ASSERT_EQ(items.size(), 1u);

    // What the tray shows for a stopped recorder with an empty spool: every
    // line reaches the host, the coloured ones as disabled items.
    const std::vector<std::string> expected{"(Recorder stopped)",
                                            "---",
                                            "Start recording",
                                            "---",
                                            "(Last uploads)",
                                            "(No local recordings)",
                                            "Upload now",
                                            "Recordings…",
                                            "---",
                                            "Allowlist…",
                                            "Pairing…",
                                            "Hotkey…",
                                            "[x] Chime on record start/stop",
                                            "Right channel",
                                            "[x] Tell me about apps that are not allowed",
                                            "[ ] Launch at login",
                                            "---",
                                            "Sound settings…",
                                            "Microphone settings…",
                                            "---",
                                            "Quit zoq"};
    std::vector<std::string> menu;
    EXPECT_TRUE(test::eventually([&] {
        menu = view.menu(items.front());
        return menu == expected;
    })) << ::testing::PrintToString(menu);

    // The host draws that menu itself, on a right click on the icon: its bar
    // is 30 pixels high, the first item's icon at the left. The host shows the
    // icon a while after the item registered, so the click is repeated until
    // a window of the host's as tall as the menu appears (its tooltip is a
    // window of its own too, a short one).
    const auto hostMenuShown = [&] {
        const std::filesystem::path listed = home / "host-windows";
        test::ChildProcess search({test::requireProgram("xdotool", "xdotool"), "search", "--onlyvisible",
                                   "--name", "^gtk-sni-tray-standalone$", "getwindowgeometry", "%@"},
                                  {"DISPLAY=" + display.name()}, listed);
        search.wait();
        std::ifstream in(listed);
        for (std::string word; in >> word;) {
            int width = 0;
            int height = 0;
            if (std::sscanf(word.c_str(), "%dx%d", &width, &height) == 2 && height >= 200) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(test::eventually([&] {
        display.xdotool({"mousemove", "15", "15", "click", "3"});
        return test::eventually(hostMenuShown, std::chrono::seconds(1));
    })) << "a right click on the icon opens the host's menu";
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let the host's menu paint
    keepScreenshot(display, "tray-sni.png");

    // The panel restarts: its new watcher knows no items until they register
    // again.
    host->signal(SIGTERM);
    host->wait();
    ASSERT_TRUE(test::eventually([&] { return !bus.hasOwner(HostView::watcher); }));
    host = startHost("host-again.log");
    ASSERT_TRUE(test::eventually([&] { return view.hostRegistered(); }))
        << "see " << (home / "host-again.log");
    EXPECT_TRUE(test::eventually([&] {
        items = view.registeredItems();
        return items.size() == 1 && view.menu(items.front()) == expected;
    })) << "the item registers with the new watcher; see "
        << (home / "tray.log");

    EXPECT_FALSE(tray.ended()) << "see " << (home / "tray.log");
    tray.signal(SIGTERM);
    EXPECT_EQ(tray.exitCode(), 0);
}

} // namespace
} // namespace zoq
