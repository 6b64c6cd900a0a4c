#include "ZoqCaptureEngine/SystemdUnits.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

TEST(SystemdUnits, LeafUnitIsTheFirstUnitBelowTheUserManager) {
    const std::string manager = "/user.slice/user-1000.slice/user@1000.service";
    const struct {
        std::string cgroupFile;
        std::optional<std::string> unit;
    } cases[] = {
        {"0::" + manager + "/app.slice/app-gnome-firefox-1.scope\n", "app-gnome-firefox-1.scope"},
        // A terminal's child: the terminal's slice above is never the answer.
        {"0::" + manager + "/app.slice/app-org.gnome.Terminal.slice/vte-spawn-0c4e.scope\n",
         "vte-spawn-0c4e.scope"},
        // Sub-cgroups an application delegates below its unit do not count.
        {"0::" + manager + "/app.slice/app-kde-x-1.scope/tab-2.scope\n", "app-kde-x-1.scope"},
        // Paths may hold ':'.
        {"0::" + manager + "/session.slice/dbus-:1.2-org.example.Svc@0.service\n",
         "dbus-:1.2-org.example.Svc@0.service"},
        // Hybrid host: the unified hierarchy is empty, systemd's own v1 one is not.
        {"12:pids:/user.slice\n1:name=systemd:" + manager + "/app.slice/app-a-1.scope\n0::/\n",
         "app-a-1.scope"},
        {"1:name=systemd:" + manager + "/app.slice/app-b-1.scope\n", "app-b-1.scope"},
        {"0::/user.slice/user-1000.slice/session-2.scope\n", "session-2.scope"},
        {"0::/system.slice/snap.pulse-tools.daemon.service\n", "snap.pulse-tools.daemon.service"},
        {"0::" + manager + "/app.slice\n", std::nullopt},
        {"0::/\n1:name=systemd:/\n", std::nullopt},
        {"", std::nullopt},
        {"garbage without colons\n", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(systemd::leafUnit(c.cgroupFile), c.unit) << c.cgroupFile;
    }
}

TEST(SystemdUnits, ApplicationIdentifiersOfUnits) {
    const struct {
        std::string unit;
        std::optional<std::string> desktop;
        std::optional<std::string> snap;
    } cases[] = {
        {"app-gnome-org.mozilla.firefox-4242.scope", "org.mozilla.firefox", std::nullopt},
        {"app-org.kde.dolphin-a1b2c3d4e5f60718293a4b5c6d7e8f90.scope", "org.kde.dolphin", std::nullopt},
        {"app-Zoom@b5c6d7e8.service", "Zoom", std::nullopt},
        {"app-gnome-Vim-9.scope", "Vim", std::nullopt},
        {"app-gnome-org.example.A\\x2dB\\x2E-9.scope", "org.example.A-B.", std::nullopt},
        {"app-org.example.Plain.service", "org.example.Plain", std::nullopt},
        // Escapes that would make a path or a control character.
        {"app-gnome-a\\x2fb-9.scope", std::nullopt, std::nullopt},
        {"app-gnome-a\\x0ab-9.scope", std::nullopt, std::nullopt},
        // An incomplete escape stays as written.
        {"app-gnome-a\\x2-9.scope", "a\\x2", std::nullopt},
        // A scope needs its random part.
        {"app-firefox.scope", std::nullopt, std::nullopt},
        {"app-.scope", std::nullopt, std::nullopt},
        {"app-gnome-x-1.slice", std::nullopt, std::nullopt},
        {"vte-spawn-0c4e.scope", std::nullopt, std::nullopt},
        {"session-2.scope", std::nullopt, std::nullopt},
        {"snap.firefox.firefox-4706fe54-7802-4808-aa7e-ae8b567239e0.scope", std::nullopt, "snap.firefox"},
        {"snap.firefox_beta.firefox.service", std::nullopt, "snap.firefox_beta"},
        {"snap.firefox.hook.configure-4706fe54.scope", std::nullopt, "snap.firefox"},
        {"snap.firefox.scope", std::nullopt, std::nullopt},
        {"snap..x.scope", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(systemd::desktopApplicationID(c.unit), c.desktop) << c.unit;
        EXPECT_EQ(systemd::snapApplicationID(c.unit), c.snap) << c.unit;
    }
}

} // namespace
} // namespace zoq
