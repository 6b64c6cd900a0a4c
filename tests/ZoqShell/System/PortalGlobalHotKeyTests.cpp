#include "ZoqShell/System/DesktopGlobalHotKey.h"
#include "ZoqShell/System/ManualGlobalHotKey.h"
#include "ZoqShell/System/PortalGlobalHotKey.h"
#include "ZoqShell/System/X11GlobalHotKey.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/TestSupport/XvfbDisplay.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <systemd/sd-bus.h>

namespace zoq {
namespace {

using test::eventually;

const std::string fakePortal =
    (std::filesystem::path(__FILE__).parent_path() / "fake-global-shortcuts-portal.py");

/// The test's handle on the fake portal's own test interface.
class PortalControl {
public:
    explicit PortalControl(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        sd_bus_start(bus_);
    }
    ~PortalControl() { sd_bus_flush_close_unref(bus_); }

    std::vector<std::string> list(const char* method) {
        std::vector<std::string> values;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus_, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                               "org.zoq.Test.Portal", method, nullptr, &reply, "") >= 0) {
            char** strings = nullptr;
            sd_bus_message_read_strv(reply, &strings);
            for (char** entry = strings; entry != nullptr && *entry != nullptr; ++entry) {
                values.emplace_back(*entry);
                free(*entry);
            }
            free(strings);
        }
        sd_bus_message_unref(reply);
        return values;
    }
    void press(const char* shortcut) {
        ASSERT_GE(sd_bus_call_method(bus_, "org.freedesktop.portal.Desktop",
                                     "/org/freedesktop/portal/desktop", "org.zoq.Test.Portal", "Press",
                                     nullptr, nullptr, "s", shortcut),
                  0);
    }

private:
    sd_bus* bus_ = nullptr;
};

TEST(PortalGlobalHotKey, BindsTheStoredCombinationAndCallsBackOnActivation) {
    test::PrivateBus bus;
    const auto portal = bus.startService({fakePortal}, "org.freedesktop.portal.Desktop");
    PortalControl control(bus.address());
    std::atomic<int> presses{0};
    PortalGlobalHotKey hotKey([&] { ++presses; }, bus.address());

    EXPECT_TRUE(hotKey.available());
    ASSERT_TRUE(hotKey.registerHotKey(35, 6400));
    EXPECT_EQ(control.list("Triggers"), std::vector<std::string>{"CTRL+ALT+LOGO+p"});
    control.press("toggle-pause");
    ASSERT_TRUE(eventually([&] { return presses == 1; }));
    control.press("something-else");
    control.press("toggle-pause");
    ASSERT_TRUE(eventually([&] { return presses >= 2; }));
    EXPECT_EQ(presses, 2);

    // Registering again replaces the session: one stays open.
    ASSERT_TRUE(hotKey.registerHotKey(0x28, 4096 | 256));
    EXPECT_EQ(control.list("Triggers").back(), "CTRL+LOGO+k");
    EXPECT_EQ(control.list("Sessions").size(), 1U);
    hotKey.unregister();
    EXPECT_TRUE(eventually([&] { return control.list("Sessions").empty(); }));
    EXPECT_FALSE(hotKey.registerHotKey(35, 0)); // cannot be a global shortcut
    EXPECT_TRUE(control.list("Sessions").empty());
}

TEST(PortalGlobalHotKey, RefusedOrMissingPortalMeansFalse) {
    test::PrivateBus bus;
    {
        PortalGlobalHotKey hotKey([] {}, bus.address());
        EXPECT_FALSE(hotKey.available());
        EXPECT_FALSE(hotKey.registerHotKey(35, 6400));
    }
    const auto portal = bus.startService({fakePortal, "--refuse"}, "org.freedesktop.portal.Desktop");
    PortalControl control(bus.address());
    PortalGlobalHotKey hotKey([] {}, bus.address());
    EXPECT_FALSE(hotKey.registerHotKey(35, 6400));
    EXPECT_TRUE(control.list("Sessions").empty()) << "the refused session was left open";
}

TEST(DesktopGlobalHotKey, PrefersThePortalOnWaylandThenTheXDisplay) {
    test::PrivateBus bus;
    test::XvfbDisplay display;
    std::map<std::string, std::string> variables;
    using Provider = DesktopGlobalHotKey::Provider;
    // Who holds the default combination once it is registered.
    const auto provider = [&] {
        DesktopGlobalHotKey hotKey([] {},
                                   [&](const char* name) -> std::optional<std::string> {
                                       const auto found = variables.find(name);
                                       return found == variables.end() ? std::nullopt
                                                                       : std::optional(found->second);
                                   });
        const bool held = hotKey.registerHotKey(35, 6400);
        EXPECT_EQ(held, hotKey.provider() != Provider::none);
        return hotKey.provider();
    };
    EXPECT_EQ(provider(), Provider::none);
    variables = {{"WAYLAND_DISPLAY", "wayland-0"}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    EXPECT_EQ(provider(), Provider::none); // no portal, no X
    variables["DISPLAY"] = display.name();
    EXPECT_EQ(provider(), Provider::x11); // XWayland
    const auto portal = bus.startService({fakePortal}, "org.freedesktop.portal.Desktop");
    EXPECT_EQ(provider(), Provider::portal);
    variables = {{"DISPLAY", display.name()}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    EXPECT_EQ(provider(), Provider::x11);
    variables = {{"DISPLAY", ":999"}};
    EXPECT_EQ(provider(), Provider::none);
}

TEST(DesktopGlobalHotKey, APortalThatDoesNotAnswerHoldsUpNoOneButTheRegistration) {
    // The portal's name is owned by a stopped process: calls reach it and
    // stay unanswered until it continues.
    test::PrivateBus bus;
    const auto portal = bus.startService({fakePortal}, "org.freedesktop.portal.Desktop");
    PortalControl control(bus.address());
    const std::map<std::string, std::string> variables = {{"WAYLAND_DISPLAY", "wayland-0"},
                                                          {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    const ShellPaths::Environment environment = [&](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
    portal->signal(SIGSTOP);
    // Made on the caller's thread, as the UI thread makes it: it must come
    // back while the portal is stopped, or this thread could never let the
    // portal continue and the registration below would find no portal.
    std::unique_ptr<GlobalHotKey> hotKey = makeDesktopGlobalHotKey([] {}, environment);
    std::future<bool> registered =
        std::async(std::launch::async, [&hotKey] { return hotKey->registerHotKey(35, 6400); });
    portal->signal(SIGCONT);
    EXPECT_TRUE(registered.get()) << "the portal's late answer is the one that counts";
    EXPECT_EQ(control.list("Triggers"), std::vector<std::string>{"CTRL+ALT+LOGO+p"});

    // Unregistering and dropping it while a registration waits on a stopped
    // portal abandon the wait instead of sitting it out.
    portal->signal(SIGSTOP);
    std::future<bool> waiting =
        std::async(std::launch::async, [&hotKey] { return hotKey->registerHotKey(0x28, 4096 | 256); });
    hotKey->unregister();
    EXPECT_FALSE(waiting.get());
    hotKey.reset();
    portal->signal(SIGCONT);
}

} // namespace
} // namespace zoq
