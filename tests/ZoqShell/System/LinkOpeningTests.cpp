#include "ZoqShell/System/RecordingLinkOpener.h"
#include "ZoqShell/System/XdgLinkOpener.h"
#include "ZoqShell/System/ZoqDeepLink.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestPrograms.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>

namespace zoq {
namespace {

using Command = std::vector<std::string>;

DesktopEnvironment fakeDesktop(std::string current, std::set<std::string> desktopFiles,
                               std::set<std::string> programs) {
    DesktopEnvironment desktop;
    desktop.currentDesktop = std::move(current);
    desktop.hasDesktopFile = [files = std::move(desktopFiles)](const std::string& name) {
        return files.contains(name);
    };
    desktop.hasProgram = [installed = std::move(programs)](const std::string& name) {
        return installed.contains(name);
    };
    desktop.autostartDirectory = "/home/a b/.config/autostart";
    return desktop;
}

TEST(ZoqDeepLink, EachDesktopGetsItsOwnSettingsTools) {
    struct Case {
        const char* current;
        std::set<std::string> desktopFiles;
        std::set<std::string> programs;
        Command screenAudio;
        Command microphone;
        DesktopLink loginItems;
    };
    const Command gnomeSound{"gnome-control-center", "sound"};
    const Command kdeSound{"systemsettings", "kcm_pulseaudio"};
    const auto command = [](Command arguments) { return DesktopLink::command(std::move(arguments)); };
    const Case cases[] = {
        {"GNOME",
         {"gnome-microphone-panel.desktop"},
         {"gnome-tweaks"},
         gnomeSound,
         {"gnome-control-center", "microphone"},
         command({"gnome-tweaks"})},
        {"ubuntu:GNOME",
         {"gnome-privacy-panel.desktop"},
         {"gnome-tweaks", "gnome-session-properties"},
         gnomeSound,
         {"gnome-control-center", "privacy"},
         command({"gnome-session-properties"})},
        {"GNOME", {}, {}, gnomeSound, gnomeSound, DesktopLink::url("/home/a b/.config/autostart")},
        {"KDE", {}, {"gnome-tweaks"}, kdeSound, kdeSound, command({"systemsettings", "kcm_autostart"})},
        {"XFCE",
         {"gnome-microphone-panel.desktop"},
         {"xfce4-session-settings"},
         {"pavucontrol"},
         {"pavucontrol"},
         command({"xfce4-session-settings"})},
        {"", {}, {}, {"pavucontrol"}, {"pavucontrol"}, DesktopLink::url("/home/a b/.config/autostart")},
        // Only whole names count: "GNOME-Flashback" is not "GNOME".
        {"GNOME-Flashback",
         {},
         {},
         {"pavucontrol"},
         {"pavucontrol"},
         DesktopLink::url("/home/a b/.config/autostart")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current);
        const DesktopEnvironment desktop = fakeDesktop(c.current, c.desktopFiles, c.programs);
        EXPECT_EQ(settingsLink(ZoqDeepLink::screenAudioRecordingSettings, desktop), command(c.screenAudio));
        EXPECT_EQ(settingsLink(ZoqDeepLink::microphoneSettings, desktop), command(c.microphone));
        EXPECT_EQ(settingsLink(ZoqDeepLink::loginItemsSettings, desktop), c.loginItems);
    }
}

TEST(ZoqDeepLink, OpensExactlyThePageThroughTheOpener) {
    RecordingLinkOpener opener;
    const DesktopEnvironment desktop = fakeDesktop("KDE", {}, {});
    EXPECT_TRUE(open(ZoqDeepLink::loginItemsSettings, opener, desktop));
    EXPECT_TRUE(open(ZoqDeepLink::microphoneSettings, opener, desktop));
    EXPECT_EQ(opener.history(), (std::vector{DesktopLink::command({"systemsettings", "kcm_autostart"}),
                                             DesktopLink::command({"systemsettings", "kcm_pulseaudio"})}));
}

TEST(XdgLinkOpener, StartsProgramsDetachedAndSaysWhenItCannot) {
    test::TempDirectory directory;
    const auto marker = directory / "ran";
    XdgLinkOpener opener;
    // `touch` stands in for a settings tool: proof that it ran, with its argument.
    EXPECT_TRUE(opener.open(DesktopLink::command({"touch", marker.string()})));
    EXPECT_TRUE(test::eventually([&] { return std::filesystem::exists(marker); }));

    EXPECT_FALSE(opener.open(DesktopLink::command({"zoq-no-such-settings-tool"})));
    EXPECT_FALSE(opener.open(DesktopLink::command({})));
    EXPECT_FALSE(opener.open(DesktopLink::url("")));
    EXPECT_FALSE(opener.open(DesktopLink::url("--help"))); // never an option of xdg-open
}

} // namespace
} // namespace zoq
