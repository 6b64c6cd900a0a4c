#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCaptureEngine/KeyFile.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqCaptureEngine/FakeSystem.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace zoq {
namespace {

namespace fs = std::filesystem;

std::string parseError(const std::string& text) {
    try {
        KeyFile::parse(text, "x.desktop");
    } catch (const KeyFileError& error) {
        return error.what();
    }
    return "no error";
}

TEST(KeyFile, RejectsBrokenStructureWithItsLine) {
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"Name=x\n[Desktop Entry]\n", "x.desktop:1: entry before the first group"},
        {"[Desktop Entry]\n# note\nName x\n", "x.desktop:3: expected Key=Value"},
        {"[Desktop Entry\nName=x\n", "x.desktop:1: malformed group header"},
        {"[]\n", "x.desktop:1: malformed group header"},
        {"[A]\nName=x\n\n[A]\n", "x.desktop:4: group [A] appears twice"},
        {"[A]\nName=x\nName = y\n", "x.desktop:3: key Name appears twice in [A]"},
        {"[A]\nNa me=x\n", "x.desktop:2: invalid key \"Na me\""},
        {"[A]\nName[de=x\n", "x.desktop:2: invalid key \"Name[de\""},
        {"[A]\n=x\n", "x.desktop:2: invalid key \"\""},
        {"[A]\nName=\xff\xfe\n", "x.desktop:2: not UTF-8"},
        {"[A]\nName=a\x01z\n", "x.desktop:2: control character in value"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseError(c.text), c.error) << c.text;
    }
}

TEST(KeyFile, ReadsValuesAsRealFilesWriteThem) {
    const KeyFile file = KeyFile::parse("\xEF\xBB\xBF# comment\r\n"
                                        "[Desktop Entry]\r\n"
                                        "  Name = Caf\xC3\xA9\\sbar\\n\\t\\r\\\\ \\;x\r\n"
                                        "Name[de]=Kaffee\n"
                                        "Name[sr@latin]=Kafa\n"
                                        "Name[pt_BR]=Caf\xC3\xA9zinho\n"
                                        "X-Odd_Key.1=1\n"
                                        "Flag=yes\n"
                                        "[Other]\n",
                                        "x");
    EXPECT_EQ(file.groups(), (std::vector<std::string>{"Desktop Entry", "Other"}));
    EXPECT_EQ(file.value("Desktop Entry", "Name"), "Caf\xC3\xA9 bar\n\t\r\\ \\;x");
    EXPECT_EQ(file.localizedValue("Desktop Entry", "Name", "de_AT.UTF-8"), "Kaffee");
    EXPECT_EQ(file.localizedValue("Desktop Entry", "Name", "sr_RS@latin"), "Kafa");
    EXPECT_EQ(file.localizedValue("Desktop Entry", "Name", "pt_BR.UTF-8"), "Caf\xC3\xA9zinho");
    EXPECT_EQ(file.localizedValue("Desktop Entry", "Name", "C"), file.value("Desktop Entry", "Name"));
    EXPECT_EQ(file.boolean("Desktop Entry", "X-Odd_Key.1"), true);
    EXPECT_EQ(file.value("Other", "Name"), std::nullopt);
    EXPECT_THROW(file.boolean("Desktop Entry", "Flag"), KeyFileError);
}

TEST(DesktopEntry, ExecLinesSplitAndNameTheirProgram) {
    const struct {
        std::string exec;
        std::vector<std::string> arguments;
        std::string program;
    } cases[] = {
        {"firefox-esr %u", {"firefox-esr", "%u"}, "firefox-esr"},
        {"\"/opt/My App/run\"  --flag=\"a b\" %U",
         {"/opt/My App/run", "--flag=a b", "%U"},
         "/opt/My App/run"},
        {"\"/x/a\\\"b\\\\c\\$d\\`e\"", {"/x/a\"b\\c$d`e"}, "/x/a\"b\\c$d`e"},
        {"sh -c 'echo \"hi\"; exit'", {"sh", "-c", "echo \"hi\"; exit"}, "sh"},
        {"env BAMF_DESKTOP_FILE_HINT=/x.desktop A=1 /snap/bin/firefox %u",
         {"env", "BAMF_DESKTOP_FILE_HINT=/x.desktop", "A=1", "/snap/bin/firefox", "%u"},
         "/snap/bin/firefox"},
        {"/usr/bin/env -u DISPLAY -i LANG=C zoom",
         {"/usr/bin/env", "-u", "DISPLAY", "-i", "LANG=C", "zoom"},
         "zoom"},
        {"env A=1", {"env", "A=1"}, ""},
        {"", {}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DesktopEntry::commandLine(c.exec), c.arguments) << c.exec;
        EXPECT_EQ(DesktopEntry::program(c.arguments), c.program) << c.exec;
    }
    EXPECT_THROW(DesktopEntry::commandLine("\"/opt/x %u"), std::invalid_argument);
    EXPECT_THROW(DesktopEntry::commandLine("sh -c 'x"), std::invalid_argument);
}

TEST(DesktopEntryIndex, StandardDirectoriesFollowTheBaseDirectoryRules) {
    const auto environment = [](std::map<std::string, std::string> variables) {
        return [variables](const std::string& name) -> std::optional<std::string> {
            const auto found = variables.find(name);
            return found == variables.end() ? std::nullopt : std::optional(found->second);
        };
    };
    EXPECT_EQ(DesktopEntryIndex::standardDirectories(environment({{"HOME", "/home/u"}})),
              (std::vector<fs::path>{
                  "/home/u/.local/share/applications", "/usr/local/share/applications",
                  "/usr/share/applications", "/home/u/.local/share/flatpak/exports/share/applications",
                  "/var/lib/flatpak/exports/share/applications", "/var/lib/snapd/desktop/applications"}));
    EXPECT_EQ(DesktopEntryIndex::standardDirectories(environment(
                  {{"HOME", "/home/u"},
                   {"XDG_DATA_HOME", "/d"},
                   {"XDG_DATA_DIRS", "/var/lib/flatpak/exports/share:relative:/usr/share/:/usr/share"}})),
              (std::vector<fs::path>{"/d/applications", "/var/lib/flatpak/exports/share/applications",
                                     "/usr/share/applications", "/d/flatpak/exports/share/applications",
                                     "/var/lib/snapd/desktop/applications"}));
    EXPECT_EQ(DesktopEntryIndex::standardSearchPath(environment({{"PATH", "/a:/b/:"}})),
              (std::vector<fs::path>{"/a", "/b/"}));
}

TEST(DesktopEntryIndex, ListsInstalledApplicationsAndTheFilesItCouldNotRead) {
    test::TempDirectory directory;
    const test::FakeSystem system(directory.path());
    const fs::path user = directory / "user/applications";
    const fs::path shared = system.applications();
    const auto app = [](const std::string& name, const std::string& more = {}) {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\n" + more;
    };
    system.program("bin/zoom-launcher");
    fs::create_symlink(directory / "bin/zoom-launcher", directory / "bin/zoom");
    system.write(shared / "Zoom.desktop", app("Zoom", "Name[de]=Zoom DE\nIcon=Zoom\nExec=zoom %U\n"));
    system.write(user / "Zoom.desktop", app("Zoom (mine)", "Exec=/usr/bin/true\n"));
    system.write(shared / "org.gnome.Calls.desktop", app("Calls", "Exec=gnome-calls\n"));
    system.write(user / "org.gnome.Calls.desktop", app("Calls", "Hidden=true\n"));
    system.write(shared / "kde4/okular.desktop", app("Okular", "NoDisplay=true\nTryExec=okular\n"));
    system.write(shared / "missing.desktop", app("Missing", "TryExec=/nonexistent/missing\n"));
    system.write(shared / "link.desktop", "[Desktop Entry]\nType=Link\nName=L\nURL=https://example.org\n");
    system.write(shared / "broken.desktop", "[Desktop Entry]\nType=Application\nName=B\nExec=\"/x\n");
    system.write(shared / "noname.desktop", "[Desktop Entry]\nType=Application\n");
    system.write(shared / "garbage.desktop", "\x7f"
                                             "ELF\x02\x01");
    system.write(shared / "README", "not an entry");
    system.program("bin/okular");
    system.program("bin/python3");
    system.write(shared / "python3.desktop", app("Python", "Exec=python3\nTerminal=true\n"));

    test::FakeSystem::settle(directory.path());
    const DesktopEntryIndex index =
        DesktopEntryIndex::load({user, shared, directory / "absent"}, {directory / "bin"}, "de_DE.UTF-8");
    std::vector<std::string> listed;
    for (const DesktopEntry& entry : index.entries()) {
        listed.push_back(entry.id + "|" + entry.name + "|" + entry.icon + "|" +
                         (entry.noDisplay ? "hidden" : ""));
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"Zoom|Zoom (mine)||", "kde4-okular|Okular||hidden",
                                                "python3|Python||"}));
    std::vector<std::string> problems;
    for (const KeyFileError& problem : index.problems()) {
        problems.emplace_back(problem.what());
    }
    EXPECT_EQ(problems, (std::vector<std::string>{
                            (shared / "broken.desktop").string() + ": Exec: unterminated \" at offset 0",
                            (shared / "garbage.desktop").string() + ":1: expected Key=Value",
                            (shared / "noname.desktop").string() + ": no Name",
                        }));
    EXPECT_EQ(index.idsRunning(directory / "bin/okular"), std::vector<std::string>{"kde4-okular"});
    // Every script would run "python3".
    EXPECT_EQ(index.idsRunning(directory / "bin/python3"), std::vector<std::string>{});

    // The system's Zoom entry comes back when the user's goes; its Exec
    // program is found on the search path, through its symbolic link.
    EXPECT_TRUE(index.isCurrent());
    fs::remove(user / "Zoom.desktop");
    EXPECT_FALSE(index.isCurrent());
    const DesktopEntryIndex again =
        DesktopEntryIndex::load({user, shared}, {directory / "bin"}, "de_DE.UTF-8");
    EXPECT_EQ(again.entries().front().name, "Zoom DE");
    EXPECT_EQ(again.entries().front().icon, "Zoom");
    EXPECT_EQ(again.idsRunning(directory / "bin/zoom-launcher"), std::vector<std::string>{"Zoom"});
    EXPECT_EQ(again.idsRunning(directory / "bin/zoom"), std::vector<std::string>{"Zoom"});
}

TEST(DesktopEntryIndex, ReadsTheApplicationsInstalledHere) {
    const DesktopEntryIndex index = DesktopEntryIndex::installed();
    for (const DesktopEntry& entry : index.entries()) {
        EXPECT_FALSE(entry.id.empty() || entry.name.empty() || entry.hidden) << entry.file;
    }
}

TEST(DesktopEntryIndex, IdentifiersOfDesktopFilesByPath) {
    const std::vector<fs::path> directories{"/home/u/.local/share/applications", "/usr/share/applications"};
    EXPECT_EQ(DesktopEntryIndex::idOfFile("/usr/share/applications/kde4/okular.desktop", directories),
              "kde4-okular");
    EXPECT_EQ(DesktopEntryIndex::idOfFile("/usr/share/applications/../applications/a.desktop", directories),
              "a");
    EXPECT_EQ(DesktopEntryIndex::idOfFile("/opt/app/share/org.example.App.desktop", directories),
              "org.example.App");
    EXPECT_EQ(DesktopEntryIndex::idOfFile("/usr/share/applications/notes.txt", directories), std::nullopt);
    EXPECT_EQ(DesktopEntryIndex::idOfFile("/usr/share/applications/.desktop", directories), std::nullopt);
}

TEST(SystemProcessTree, LoadsTheDesktopEntriesAgainOnlyWhenTheyChange) {
    test::TempDirectory directory;
    const test::FakeSystem system(directory.path());
    system.program("bin/a");
    system.installApplication("a.desktop", "[Desktop Entry]\nType=Application\nName=A\nExec=a\n");
    const auto tree = system.tree();
    // Changed just now: the directory's coarse time could hide a second
    // change, so the entries are read again.
    const auto racy = tree->desktopEntries();
    EXPECT_NE(tree->desktopEntries(), racy);

    test::FakeSystem::settle(system.applications());
    const auto settled = tree->desktopEntries();
    EXPECT_EQ(tree->desktopEntries(), settled);
    EXPECT_EQ(tree->desktopEntriesRunning(directory / "bin/a"), std::vector<std::string>{"a"});
    system.installApplication("b.desktop", "[Desktop Entry]\nType=Application\nName=B\nExec=a --b\n");
    EXPECT_EQ(tree->desktopEntriesRunning(directory / "bin/a"), (std::vector<std::string>{"a", "b"}));
}

} // namespace
} // namespace zoq
