// Which applications the allowlist window offers, over a fake /proc, fake
// desktop entries and a sound-server graph.

#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/AudioBackend.h"
#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqUI/AllowlistApps.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqCaptureEngine/FakeSystem.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::FakeProcess;

TEST(AllowlistApps, RunningDesktopApplicationsOfTheUserAndTheSoundServersClients) {
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
    // Installed call software, shown or not, and an application of another kind.
    system.installApplication(
        "org.example.Phone.desktop",
        "[Desktop "
        "Entry]\nType=Application\nName=Phone\nIcon=phone\nExec=phone\nCategories=Network;Telephony\n");
    system.installApplication(
        "org.example.Meet.desktop",
        "[Desktop Entry]\nType=Application\nName=Meet\nExec=meet\nCategories=VideoConference;\n");
    system.installApplication("org.example.Relay.desktop", "[Desktop Entry]\nType=Application\nName=Relay\n"
                                                           "Exec=relay\nNoDisplay=true\nCategories=Chat;\n");
    system.installApplication("org.example.Edit.desktop", "[Desktop Entry]\nType=Application\nName=Edit\n"
                                                          "Exec=edit\nCategories=Utility;TextEditor;\n");
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

    // The sound server's clients: the same application, whose pid PipeWire
    // verified (zoq's own client shows the relay's); a browser
    // only its own report names; zoq itself, a level meter and a stream of
    // the server's own, all left out.
    const auto client = [](std::uint32_t index, std::optional<std::int32_t> pid, std::string id,
                           std::string name = {}) {
        AudioClientInfo info;
        info.index = index;
        info.credentialPid = pid;
        info.identity.processBinary = info.identity.applicationId = std::move(id);
        info.identity.applicationName = std::move(name);
        return info;
    };
    const auto stream = [](std::uint32_t index, std::optional<std::uint32_t> owner, bool meter = false) {
        AudioStreamInfo info;
        info.index = index;
        info.client = owner;
        info.peakDetect = meter;
        return info;
    };
    AudioGraph graph;
    graph.serverName = "PulseAudio (on PipeWire 0.3.65)";
    graph.clients = {client(1, 10, ""), client(2, std::nullopt, "chrome", "Chrome"), client(3, 99, "zoq"),
                     client(4, std::nullopt, "pavucontrol")};
    graph.recordStreams = {stream(1, 1), stream(2, 4, true)};
    graph.playbackStreams = {stream(3, 2), stream(4, 3), stream(5, std::nullopt)};
    EXPECT_EQ(audioApplications(graph, 3, resolver, *tree->desktopEntries()),
              (std::vector<AllowlistApp>{{"Talk", "org.example.Talk", "talk"}, {"chrome", "chrome", ""}}))
        << "named as the notices name them: the entry's name, else the identifier";

    // Not running: call software meant for menus, and what is allowed.
    EXPECT_EQ(installedApplications(*tree->desktopEntries(), {"org.example.Other", "org.example.Relay"}),
              (std::vector<AllowlistApp>{{"Meet", "org.example.Meet", "", false},
                                         {"Other", "org.example.Other", "", false},
                                         {"Phone", "org.example.Phone", "phone", false},
                                         {"Relay", "org.example.Relay", "", false}}));
    for (const auto& [id, name] : std::vector<std::pair<std::string, std::string>>{
             {"org.example.Talk", "Talk"}, {"org.example.Relay", "Relay"}, {"chrome", "chrome"}, {"", ""}}) {
        EXPECT_EQ(applicationName(*tree->desktopEntries(), id), name) << id;
    }
}

} // namespace
} // namespace zoq
