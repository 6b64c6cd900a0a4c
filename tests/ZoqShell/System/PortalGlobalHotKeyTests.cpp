#include "ZoqShell/System/DesktopGlobalHotKey.h"
#include "ZoqShell/System/ManualGlobalHotKey.h"
#include "ZoqShell/System/PortalGlobalHotKey.h"
#include "ZoqShell/System/X11GlobalHotKey.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/TestSupport/XvfbDisplay.h"

#include <atomic>
#include <filesystem>
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
    EXPECT_TRUE(control.list("Sessions").empty());
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
    const auto make = [&] {
        return makeDesktopGlobalHotKey([] {},
                                       [&](const char* name) -> std::optional<std::string> {
                                           const auto found = variables.find(name);
                                           return found == variables.end() ? std::nullopt
                                                                           : std::optional(found->second);
                                       });
    };
    const auto is = [](const std::unique_ptr<GlobalHotKey>& hotKey, auto* kind) {
        return dynamic_cast<std::remove_pointer_t<decltype(kind)>*>(hotKey.get()) != nullptr;
    };
    EXPECT_TRUE(is(make(), static_cast<NullGlobalHotKey*>(nullptr)));
    variables = {{"WAYLAND_DISPLAY", "wayland-0"}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    EXPECT_TRUE(is(make(), static_cast<NullGlobalHotKey*>(nullptr))); // no portal, no X
    variables["DISPLAY"] = display.name();
    EXPECT_TRUE(is(make(), static_cast<X11GlobalHotKey*>(nullptr))); // XWayland
    const auto portal = bus.startService({fakePortal}, "org.freedesktop.portal.Desktop");
    EXPECT_TRUE(is(make(), static_cast<PortalGlobalHotKey*>(nullptr)));
    variables = {{"DISPLAY", display.name()}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    EXPECT_TRUE(is(make(), static_cast<X11GlobalHotKey*>(nullptr)));
    variables = {{"DISPLAY", ":999"}};
    EXPECT_TRUE(is(make(), static_cast<NullGlobalHotKey*>(nullptr)));
}

} // namespace
} // namespace zoq
