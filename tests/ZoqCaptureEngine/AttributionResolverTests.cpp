#include "ZoqCaptureEngine/AttributionResolver.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqCaptureEngine/FakeSystem.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zoq {

void PrintTo(const Attribution& a, std::ostream* out) {
    *out << "{" << a.applicationID << ", " << toText(a.source) << ", client " << a.clientPid.value_or(-1)
         << ", evidence " << a.evidencePid.value_or(-1) << "}";
}

namespace {

using test::FakeProcess;
using test::FakeSystem;

const std::string apps = "/user.slice/user-1000.slice/user@1000.service/app.slice/";

AudioClientIdentity claims(std::int32_t pid, std::string binary, std::string applicationId = {}) {
    AudioClientIdentity client;
    client.claimedPid = pid;
    client.processBinary = std::move(binary);
    client.applicationId = std::move(applicationId);
    return client;
}

AudioClientIdentity verified(std::int32_t pid) {
    AudioClientIdentity client;
    client.verifiedPid = pid;
    return client;
}

std::vector<std::string> launchedFrom(const std::string& desktopFile, std::int32_t pid) {
    return {"HOME=/home/u", "GIO_LAUNCHED_DESKTOP_FILE=" + desktopFile,
            "GIO_LAUNCHED_DESKTOP_FILE_PID=" + std::to_string(pid)};
}

/// The applications every case can find by their Exec lines.
void installApplications(const FakeSystem& system) {
    system.program("usr/lib/firefox-esr/firefox-esr");
    system.installApplication("firefox-esr.desktop", "[Desktop Entry]\nType=Application\nName=Firefox ESR\n"
                                                     "Exec=@ROOT@/usr/lib/firefox-esr/firefox-esr %u\n");
    system.program("bin/gnome-terminal");
    system.installApplication("org.gnome.Terminal.desktop",
                              "[Desktop Entry]\nType=Application\nName=Terminal\nExec=gnome-terminal\n");
    system.program("opt/google/chrome/chrome");
    system.installApplication("google-chrome.desktop",
                              "[Desktop Entry]\nType=Application\nName=Google Chrome\n"
                              "Exec=env CHROME_WRAPPER=1 \"@ROOT@/opt/google/chrome/chrome\" %U\n");
    system.program("usr/lib/libreoffice/program/soffice");
    for (const std::string part : {"writer", "calc"}) {
        system.installApplication("libreoffice-" + part + ".desktop",
                                  "[Desktop Entry]\nType=Application\nName=" + part +
                                      "\nExec=@ROOT@/usr/lib/libreoffice/program/soffice --" + part + "\n");
    }
}

struct Case {
    std::string name;
    std::vector<FakeProcess> processes;
    AudioClientIdentity client;
    std::string id;
    AttributionSource source;
    std::optional<std::int32_t> evidencePid = std::nullopt;
    int maxDepth = 16;
};

const Case cases[] = {
    {"GNOME scope",
     {{.pid = 4242,
       .exe = "usr/lib/firefox/firefox",
       .cgroup = apps + "app-gnome-org.mozilla.firefox-4242.scope"}},
     claims(4242, "firefox"),
     "org.mozilla.firefox",
     AttributionSource::systemdUnit},
    {"GNOME scope, escaped identifier",
     {{.pid = 8812,
       .exe = "opt/google/chrome/chrome",
       .cgroup = apps + "app-gnome-google\\x2dchrome-8812.scope"}},
     claims(8812, "chrome"),
     "google-chrome",
     AttributionSource::systemdUnit},
    {"KDE scope",
     {{.pid = 31,
       .exe = "usr/bin/konversation",
       .cgroup = apps + "app-org.kde.konversation-a1b2c3d4e5f60718293a4b5c6d7e8f90.scope"}},
     claims(31, "konversation"),
     "org.kde.konversation",
     AttributionSource::systemdUnit},
    {"KDE service, escaped identifier",
     {{.pid = 32,
       .exe = "usr/bin/ff",
       .cgroup = apps + "app-firefox\\x2desr@c0ffee0123456789abcdef0123456789.service"}},
     claims(32, "ff"),
     "firefox-esr",
     AttributionSource::systemdUnit},
    {"Flatpak scope, sandbox metadata unreadable",
     {{.pid = 33,
       .exe = "/app/discord/Discord",
       .cgroup = apps + "app-flatpak-com.discordapp.Discord-33.scope"}},
     claims(33, "Discord"),
     "com.discordapp.Discord",
     AttributionSource::systemdUnit},
    {"Flatpak scope before Flatpak 1.6",
     {{.pid = 34, .exe = "/app/slack", .cgroup = apps + "flatpak-com.slack.Slack-34.scope"}},
     claims(34, "slack"),
     "com.slack.Slack",
     AttributionSource::systemdUnit},
    {"Snap scope",
     {{.pid = 35,
       .exe = "snap/zoom-client/x/zoom",
       .cgroup = apps + "snap.zoom-client.zoom-client-4706fe54-7802-4808-aa7e-ae8b567239e0.scope"}},
     claims(35, "zoom"),
     "snap.zoom-client",
     AttributionSource::snap},
    {"Snap service",
     {{.pid = 36, .exe = "snap/x/daemon", .cgroup = "/system.slice/snap.pulse-tools.daemon.service"}},
     claims(36, "daemon"),
     "snap.pulse-tools",
     AttributionSource::snap},
    {"autostart service",
     {{.pid = 37,
       .exe = "usr/bin/notifier",
       .cgroup = apps + "app-org.gnome.Evolution\\x2dalarm\\x2dnotify@autostart.service"}},
     claims(37, "notifier"),
     "org.gnome.Evolution-alarm-notify",
     AttributionSource::systemdUnit},
    {"autostart service before systemd 248",
     {{.pid = 38, .exe = "usr/bin/nm-applet", .cgroup = apps + "app-nm\\x2dapplet-autostart.service"}},
     claims(38, "nm-applet"),
     "nm-applet",
     AttributionSource::systemdUnit},
    {"unescaped reverse-DNS identifier keeps its dashes",
     {{.pid = 39, .exe = "usr/bin/my-app", .cgroup = apps + "app-gnome-org.example.My-App-39.scope"}},
     claims(39, "my-app"),
     "org.example.My-App",
     AttributionSource::systemdUnit},
    {"browser started from a terminal is not the terminal",
     {{.pid = 900,
       .startTime = 10,
       .exe = "bin/gnome-terminal",
       .cgroup = apps + "app-gnome-org.gnome.Terminal-900.scope",
       .environment = launchedFrom("@ROOT@/applications/org.gnome.Terminal.desktop", 900)},
      {.pid = 901,
       .parentPid = 900,
       .startTime = 20,
       .exe = "bin/bash",
       .cgroup = apps + "app-org.gnome.Terminal.slice/vte-spawn-0c4e1f3a.scope",
       .environment = launchedFrom("@ROOT@/applications/org.gnome.Terminal.desktop", 900)},
      {.pid = 902,
       .parentPid = 901,
       .startTime = 30,
       .exe = "usr/lib/firefox-esr/firefox-esr",
       .cgroup = apps + "app-org.gnome.Terminal.slice/vte-spawn-0c4e1f3a.scope",
       .environment = launchedFrom("@ROOT@/applications/org.gnome.Terminal.desktop", 900)}},
     claims(902, "firefox-esr"),
     "firefox-esr",
     AttributionSource::desktopExec,
     902},
    {"unknown program from a terminal keeps its own name",
     {{.pid = 900,
       .startTime = 10,
       .exe = "bin/gnome-terminal",
       .cgroup = apps + "app-gnome-org.gnome.Terminal-900.scope"},
      {.pid = 903,
       .parentPid = 900,
       .startTime = 30,
       .exe = "usr/local/bin/mybrowser",
       .cgroup = apps + "app-org.gnome.Terminal.slice/vte-spawn-77.scope"}},
     claims(903, "mybrowser"),
     "mybrowser",
     AttributionSource::reported},
    {"browser opened from a link in a chat application is the browser",
     {{.pid = 700,
       .startTime = 10,
       .exe = "usr/lib/slack/slack",
       .cgroup = apps + "app-gnome-com.slack.Slack-700.scope"},
      {.pid = 710,
       .parentPid = 700,
       .startTime = 20,
       .exe = "usr/lib/firefox-esr/firefox-esr",
       .cgroup = apps + "app-gnome-com.slack.Slack-700.scope",
       .environment = launchedFrom("@ROOT@/applications/firefox-esr.desktop", 710)},
      {.pid = 711,
       .parentPid = 710,
       .startTime = 30,
       .exe = "usr/lib/firefox-esr/firefox-esr",
       .cgroup = apps + "app-gnome-com.slack.Slack-700.scope",
       .environment = launchedFrom("@ROOT@/applications/firefox-esr.desktop", 710)}},
     claims(711, "firefox-esr"),
     "firefox-esr",
     AttributionSource::launchedDesktopFile,
     710},
    {"helper in a nested sandbox inside a Flatpak, claiming its sandbox pid",
     {{.pid = 4, .parentPid = 2, .comm = "kworker/R-rcu_gp", .uid = 0},
      {.pid = 500,
       .exe = "/app/discord/Discord",
       .cgroup = apps + "app-flatpak-com.discordapp.Discord-500.scope",
       .flatpakInfo =
           "[Application]\nname=com.discordapp.Discord\nruntime=runtime/org.freedesktop.Platform\n",
       .innerPids = {2}},
      {.pid = 510,
       .parentPid = 500,
       .startTime = 2000,
       .exe = "/app/discord/Discord",
       .cgroup = apps + "app-flatpak-com.discordapp.Discord-500.scope",
       .innerPids = {4}},
      {.pid = 600,
       .exe = "/app/zoom/zoom",
       .cgroup = apps + "app-flatpak-us.zoom.Zoom-600.scope",
       .flatpakInfo = "[Application]\nname=us.zoom.Zoom\n",
       .innerPids = {4}}},
     claims(4, "Discord"),
     "com.discordapp.Discord",
     AttributionSource::flatpak,
     500},
    {"sandbox pid that two sandboxes share is not trusted",
     {{.pid = 2, .parentPid = 0, .comm = "kthreadd", .uid = 0},
      {.pid = 500,
       .exe = "/app/bin/electron",
       .flatpakInfo = "[Application]\nname=com.example.One\n",
       .innerPids = {2}},
      {.pid = 600,
       .exe = "/app/bin/electron",
       .flatpakInfo = "[Application]\nname=com.example.Two\n",
       .innerPids = {2}}},
     claims(2, "electron"),
     "electron",
     AttributionSource::reported},
    {"the sandbox a client names picks its process among those sharing a sandbox pid",
     {{.pid = 500,
       .exe = "/app/bin/electron",
       .flatpakInfo = "[Application]\nname=com.example.One\n",
       .innerPids = {2}},
      {.pid = 600,
       .exe = "/app/bin/electron",
       .flatpakInfo = "[Application]\nname=com.example.Two\n",
       .innerPids = {2}}},
     [] {
         AudioClientIdentity client = claims(2, "electron");
         client.portalAppId = "com.example.Two";
         return client;
     }(),
     "com.example.Two",
     AttributionSource::flatpak,
     600},
    {"a sandbox no such process runs in picks none",
     {{.pid = 500,
       .exe = "/app/bin/electron",
       .flatpakInfo = "[Application]\nname=com.example.One\n",
       .innerPids = {2}},
      {.pid = 600,
       .exe = "/app/bin/electron",
       .flatpakInfo = "[Application]\nname=com.example.Two\n",
       .innerPids = {2}}},
     [] {
         AudioClientIdentity client = claims(2, "electron");
         client.portalAppId = "us.zoom.Zoom";
         return client;
     }(),
     "electron",
     AttributionSource::reported},
    {"forged pid is not trusted",
     {{.pid = 700, .exe = "opt/zoom/zoom", .cgroup = apps + "app-gnome-Zoom-700.scope"}},
     claims(700, "spy", "org.evil.Spy"),
     "org.evil.Spy",
     AttributionSource::reported},
    {"verified pid beats the claimed one",
     {{.pid = 700, .exe = "opt/zoom/zoom", .cgroup = apps + "app-gnome-Zoom-700.scope"},
      {.pid = 800, .exe = "usr/bin/spy", .cgroup = apps + "app-gnome-org.evil.Spy-800.scope"}},
     [] {
         AudioClientIdentity client = claims(700, "zoom");
         client.verifiedPid = 800;
         return client;
     }(),
     "org.evil.Spy",
     AttributionSource::systemdUnit},
    {"a sandbox identifier the client sets itself is a claim",
     {{.pid = 800, .exe = "usr/bin/spy", .cgroup = apps + "app-gnome-org.evil.Spy-800.scope"}},
     [] {
         AudioClientIdentity client = verified(800);
         client.portalAppId = "com.discordapp.Discord";
         return client;
     }(),
     "org.evil.Spy",
     AttributionSource::systemdUnit,
     800},
    {"parent that started after its child reused the pid",
     {{.pid = 200,
       .startTime = 6000,
       .environment = launchedFrom("/usr/share/applications/org.gnome.Calls.desktop", 200)},
      {.pid = 300, .parentPid = 200, .startTime = 5000, .exe = "bin/tool"}},
     claims(300, "tool"),
     "tool",
     AttributionSource::reported},
    {"parent that started before its child is its parent",
     {{.pid = 200,
       .startTime = 4000,
       .environment = launchedFrom("/usr/share/applications/org.gnome.Calls.desktop", 200)},
      {.pid = 300, .parentPid = 200, .startTime = 5000, .exe = "bin/tool"}},
     claims(300, "tool"),
     "org.gnome.Calls",
     AttributionSource::launchedDesktopFile,
     200},
    {"parent of another user ends the walk",
     {{.pid = 200,
       .startTime = 4000,
       .uid = 0,
       .environment = launchedFrom("/usr/share/applications/org.gnome.Calls.desktop", 200)},
      {.pid = 300, .parentPid = 200, .startTime = 5000, .exe = "bin/tool"}},
     claims(300, "tool"),
     "tool",
     AttributionSource::reported},
    {"parent loop ends the walk",
     {{.pid = 10, .parentPid = 11, .exe = "bin/a"}, {.pid = 11, .parentPid = 10, .exe = "bin/b"}},
     claims(10, "a"),
     "a",
     AttributionSource::reported},
    {"command name with ')' and spaces",
     {{.pid = 55, .parentPid = 54, .comm = "a) b (c", .cgroup = apps + "app-gnome-org.example.Odd-55.scope"},
      {.pid = 54, .startTime = 900, .comm = ") (", .cgroup = apps + "app-gnome-org.example.Odd-55.scope"}},
     claims(55, "a) b (c"),
     "org.example.Odd",
     AttributionSource::systemdUnit,
     55},
    {"browser helpers run the browser's executable",
     {{.pid = 598, .startTime = 10, .exe = "bin/xfce4-panel"},
      {.pid = 599, .parentPid = 598, .startTime = 20, .exe = "opt/google/chrome/chrome"},
      {.pid = 600, .parentPid = 599, .startTime = 30, .exe = "opt/google/chrome/chrome"},
      {.pid = 601, .parentPid = 600, .startTime = 40, .exe = "opt/google/chrome/chrome"}},
     claims(601, "chrome"),
     "google-chrome",
     AttributionSource::desktopExec,
     599},
    {"program that several entries start is ambiguous",
     {{.pid = 70, .exe = "usr/lib/libreoffice/program/soffice"}},
     claims(70, "soffice"),
     "soffice",
     AttributionSource::reported},
    {"evidence beyond the depth limit is not used",
     {{.pid = 200, .startTime = 1, .environment = launchedFrom("/x/org.gnome.Calls.desktop", 200)},
      {.pid = 201, .parentPid = 200, .startTime = 2},
      {.pid = 202, .parentPid = 201, .startTime = 3, .exe = "bin/tool"}},
     claims(202, "tool"),
     "tool",
     AttributionSource::reported,
     std::nullopt,
     2},
};

TEST(AttributionResolver, FindsTheApplicationOfEachClient) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDirectory directory;
        const FakeSystem system(directory.path());
        installApplications(system);
        for (const FakeProcess& process : c.processes) {
            system.add(process);
        }
        const Attribution attribution = AttributionResolver(system.tree(), c.maxDepth).attribute(c.client);
        EXPECT_EQ(attribution.applicationID, c.id);
        EXPECT_STREQ(toText(attribution.source), toText(c.source));
        if (c.evidencePid) {
            EXPECT_EQ(attribution.evidencePid, c.evidencePid);
        }
    }
}

TEST(AttributionResolver, UnreadableFilesAreNoEvidenceAndNeverBlock) {
    test::TempDirectory directory;
    const FakeSystem system(directory.path());
    installApplications(system);
    system.add({.pid = 40,
                .startTime = 10,
                .exe = "usr/lib/firefox-esr/firefox-esr",
                .cgroup = apps + "app-gnome-org.example.Calls-40.scope",
                .environment = launchedFrom("/x/org.example.Calls.desktop", 40),
                .flatpakInfo = "[Application]\nname=org.example.Calls\n"});
    system.add({.pid = 41, .parentPid = 40, .startTime = 20, .exe = "usr/lib/firefox-esr/firefox-esr"});
    const std::filesystem::path parent = system.proc() / "40";
    // Every file that could name the application becomes unreadable in a
    // different way: a FIFO (an open that would wait for a writer), a
    // directory, a dangling link, garbage.
    std::filesystem::remove(parent / "cgroup");
    ASSERT_EQ(::mkfifo((parent / "cgroup").c_str(), 0600), 0);
    std::filesystem::remove(parent / "environ");
    std::filesystem::create_directory(parent / "environ");
    system.write(parent / "root/.flatpak-info", "name=org.example.Calls\n");

    // The parent's Exec match still holds: its executable is readable.
    EXPECT_EQ(AttributionResolver(system.tree()).attribute(claims(41, "firefox-esr")),
              (Attribution{"firefox-esr", AttributionSource::desktopExec, 41, 40}));

    std::filesystem::remove(parent / "exe");
    std::filesystem::create_symlink(directory / "gone", parent / "exe");
    system.write(system.proc() / "41/status", "Name:\tx\n");
    EXPECT_EQ(AttributionResolver(system.tree()).attribute(claims(41, "firefox-esr")),
              (Attribution{"firefox-esr", AttributionSource::reported, std::nullopt, std::nullopt}));
    system.write(system.proc() / "40/stat", "40 (x S 1");
    EXPECT_EQ(system.tree()->process(40), std::nullopt);
}

TEST(AttributionResolver, KeepsAnAttributionWhileItsProcessesLive) {
    test::TempDirectory directory;
    const FakeSystem system(directory.path());
    const auto process = [&](std::int32_t pid, std::uint64_t startTime, const std::string& app) {
        std::filesystem::remove_all(system.proc() / std::to_string(pid));
        system.add({.pid = pid,
                    .startTime = startTime,
                    .exe = "bin/call",
                    .cgroup = apps + "app-gnome-" + app + "-1.scope"});
    };
    process(42, 100, "org.example.A");
    const AttributionResolver resolver(system.tree());
    EXPECT_EQ(resolver.attributedBundleID(claims(42, "call")), "org.example.A");

    // The same process: the answer stands without reading its cgroup again,
    // for every copy of the resolver.
    process(42, 100, "org.example.B");
    const AttributionResolver copy = resolver;
    EXPECT_EQ(copy.attributedBundleID(claims(42, "call")), "org.example.A");

    // The pid now names another process.
    process(42, 101, "org.example.B");
    EXPECT_EQ(resolver.attributedBundleID(claims(42, "call")), "org.example.B");

    // A child attributed through its parent loses the answer with the parent.
    system.add({.pid = 50, .startTime = 10, .environment = launchedFrom("/a/org.example.C.desktop", 50)});
    system.add({.pid = 51, .parentPid = 50, .startTime = 20, .exe = "bin/call"});
    EXPECT_EQ(resolver.attribute(claims(51, "call")),
              (Attribution{"org.example.C", AttributionSource::launchedDesktopFile, 51, 50}));
    std::filesystem::remove_all(system.proc() / "50");
    EXPECT_EQ(resolver.attribute(claims(51, "call")),
              (Attribution{"call", AttributionSource::reported, 51, std::nullopt}));

    // A claim that nothing fits is looked at again once the processes change.
    EXPECT_EQ(resolver.attributedBundleID(claims(7, "zoom")), "zoom");
    system.add({.pid = 60,
                .exe = "/app/zoom",
                .flatpakInfo = "[Application]\nname=us.zoom.Zoom\n",
                .innerPids = {7}});
    EXPECT_EQ(resolver.attributedBundleID(claims(7, "zoom")), "us.zoom.Zoom");
}

TEST(SystemProcessTree, ReadsTheRecordsOfAProcess) {
    test::TempDirectory directory;
    const FakeSystem system(directory.path());
    system.add({.pid = 55,
                .parentPid = 54,
                .startTime = 123456789012,
                .comm = "a) b (c",
                .uid = 1001,
                .innerPids = {7, 1}});
    const auto tree = system.tree();
    EXPECT_EQ(tree->process(55),
              (ProcessRecord{
                  .pid = 55, .parentPid = 54, .startTime = 123456789012, .comm = "a) b (c", .uid = 1001}));
    EXPECT_EQ(tree->startTime(55), 123456789012u);
    EXPECT_EQ(tree->namespacePids(55), (std::vector<std::int32_t>{55, 7, 1}));
    EXPECT_EQ(tree->processIDs(), std::vector<std::int32_t>{55});
}

/// A child process, killed and reaped when the object goes away.
class Child {
public:
    explicit Child(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("posix_spawn failed");
        }
    }
    ~Child() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = 0;
};

TEST(AttributionResolverOnThisSystem, TheTestProcessResolvesWithItsOwnPid) {
    const AttributionResolver resolver;
    const std::string binary = std::filesystem::read_symlink("/proc/self/exe").filename();
    const Attribution attribution = resolver.attribute(claims(::getpid(), binary));
    EXPECT_EQ(attribution.clientPid, ::getpid());
    EXPECT_FALSE(attribution.applicationID.empty());
}

TEST(AttributionResolverOnThisSystem, AProcessLaunchedFromADesktopFileResolvesToIt) {
    // The shell puts its own pid into the variables, then becomes `sleep`.
    const Child child({"/bin/sh", "-c",
                       "export GIO_LAUNCHED_DESKTOP_FILE=/nonexistent/org.example.TestCall.desktop "
                       "GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec sleep 600"});
    const std::filesystem::path exe = "/proc/" + std::to_string(child.pid()) + "/exe";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code error;
    while (std::filesystem::read_symlink(exe, error).filename() != "sleep") {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the child never ran sleep";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const Attribution attribution = AttributionResolver().attribute(claims(child.pid(), "sleep"));
    EXPECT_EQ(attribution, (Attribution{"org.example.TestCall", AttributionSource::launchedDesktopFile,
                                        child.pid(), child.pid()}));
}

} // namespace
} // namespace zoq
