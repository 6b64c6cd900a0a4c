// Which running applications the allowlist window offers, over a fake /proc
// and fake desktop entries.

#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqUI/AllowlistApps.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqCaptureEngine/FakeSystem.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::FakeProcess;

TEST(AllowlistApps, RunningDesktopApplicationsOfTheUserOnceEach) {
    const test::TempDirectory temp;
    const test::FakeSystem system(temp.path());
    const std::string apps = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
    system.program("bin/talk");
    system.installApplication("org.example.Talk.desktop",
                              "[Desktop Entry]\nType=Application\nName=Talk\nIcon=talk\nExec=talk %u\n");
    system.installApplication(
        "org.example.Helper.desktop",
        "[Desktop Entry]\nType=Application\nName=Helper\nExec=helper\nNoDisplay=true\n");
    system.installApplication("org.example.Other.desktop",
                              "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n");
    // The application and its child process; a helper not meant for menus;
    // another user's application; a program no desktop entry names.
    system.add({.pid = 10, .exe = "bin/talk", .cgroup = apps + "app-gnome-org.example.Talk-10.scope"});
    system.add({.pid = 11,
                .parentPid = 10,
                .startTime = 1001,
                .exe = "bin/talk",
                .cgroup = apps + "app-gnome-org.example.Talk-10.scope"});
    system.add({.pid = 12, .cgroup = apps + "app-gnome-org.example.Helper-12.scope"});
    system.add({.pid = 13, .uid = 1001, .cgroup = apps + "app-gnome-org.example.Other-13.scope"});
    system.add({.pid = 14, .exe = "bin/unknown"});
    test::FakeSystem::settle(system.applications());
    const auto tree = system.tree();

    const AttributionResolver resolver(tree);
    for (int reload = 0; reload < 2; ++reload) { // the second from what the resolver remembers
        const std::vector<AllowlistApp> running =
            runningApplications(resolver, *tree->desktopEntries(), 1000);
        EXPECT_EQ(allowlistApps(running, {}),
                  (std::vector<AllowlistApp>{{"Talk", "org.example.Talk", "talk"}}));
    }
}

} // namespace
} // namespace zoq
