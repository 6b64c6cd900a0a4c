#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/System/LoginItemManager.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestPrograms.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

TEST(LoginItemState, RawValuesAndStatusCodes) {
    for (const char* raw :
         {"registered", "notRegistered", "requiresApproval", "deniedByUser", "programmaticOnly", "unknown"}) {
        const std::optional<LoginItemState> state = loginItemStateNamed(raw);
        ASSERT_TRUE(state) << raw;
        EXPECT_EQ(rawValue(*state), raw);
    }
    EXPECT_FALSE(loginItemStateNamed("Registered"));
    EXPECT_FALSE(loginItemStateNamed(""));
    EXPECT_EQ(mapLoginItemStatus(0), LoginItemState::notRegistered);
    EXPECT_EQ(mapLoginItemStatus(1), LoginItemState::registered);
    EXPECT_EQ(mapLoginItemStatus(2), LoginItemState::requiresApproval);
    EXPECT_EQ(mapLoginItemStatus(3), LoginItemState::deniedByUser);
    EXPECT_EQ(mapLoginItemStatus(7), LoginItemState::unknown);
    EXPECT_EQ(mapLoginItemStatus(-1), LoginItemState::unknown);
}

class LoginItemManagerTest : public ::testing::Test {
protected:
    std::string read() const {
        std::ifstream in(entry);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void write(const std::string& text) const {
        fs::create_directories(entry.parent_path());
        std::ofstream(entry) << text;
    }

    test::TempDirectory config;
    fs::path entry = ShellPaths::autostartFile([this](const char* name) -> std::optional<std::string> {
        return std::string(name) == "XDG_CONFIG_HOME" ? std::optional(config.path().string()) : std::nullopt;
    });
    LoginItemManager manager{"/opt/zoq tray/bin/zoq-tray", entry};
};

TEST_F(LoginItemManagerTest, RegisterWritesTheEntryAndUnregisterDeletesIt) {
    EXPECT_EQ(entry, config / "autostart/org.zoq.Zoq.desktop");
    EXPECT_EQ(manager.currentState(), LoginItemState::notRegistered);

    EXPECT_EQ(manager.toggle(true), LoginItemState::registered);
    const std::string text = read();
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0U);
    for (const char* line :
         {"\nType=Application\n", "\nName=zoq\n", "\nExec=\"/opt/zoq tray/bin/zoq-tray\" --background\n",
          "\nX-GNOME-Autostart-enabled=true\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_FALSE(fs::exists(entry.string() + ".next"));
    EXPECT_EQ(manager.registerLoginItem(), LoginItemState::registered); // again: same entry
    EXPECT_EQ(read(), text);

    EXPECT_EQ(manager.toggle(false), LoginItemState::notRegistered);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(manager.unregister(), LoginItemState::notRegistered);
}

TEST_F(LoginItemManagerTest, EntriesTheDesktopSwitchedOffRequireApprovalUntilRegisteredAgain) {
    struct Case {
        const char* text;
        LoginItemState state;
    };
    const Case cases[] = {
        {"[Desktop Entry]\nType=Application\nExec=zoq\n", LoginItemState::registered},
        {"# edited\n[Desktop Entry]\nHidden = true\n", LoginItemState::requiresApproval},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", LoginItemState::requiresApproval},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=true\nHidden=false\n", LoginItemState::registered},
        // Keys of another group say nothing about the entry.
        {"[Desktop Entry]\nExec=zoq\n[Desktop Action x]\nHidden=true\n", LoginItemState::registered},
        {"Hidden=true\n", LoginItemState::unknown},
        {"", LoginItemState::unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        write(c.text);
        EXPECT_EQ(manager.currentState(), c.state);
    }
    write("[Desktop Entry]\nHidden=true\n");
    EXPECT_EQ(manager.registerLoginItem(), LoginItemState::registered);
}

TEST_F(LoginItemManagerTest, UnreadableOrUnwritableEntriesAreUnknown) {
    fs::create_directories(entry); // a directory where the entry belongs
    EXPECT_EQ(manager.currentState(), LoginItemState::unknown);
    EXPECT_EQ(manager.registerLoginItem(), LoginItemState::unknown);
    EXPECT_EQ(manager.unregister(), LoginItemState::unknown);
    fs::remove(entry);
    EXPECT_TRUE(fs::is_empty(entry.parent_path())) << "the failed replacement left its staged copy";

    // A file where the autostart directory belongs.
    fs::remove(entry.parent_path());
    std::ofstream(entry.parent_path()) << "not a directory";
    EXPECT_EQ(manager.registerLoginItem(), LoginItemState::unknown);
    EXPECT_EQ(manager.currentState(), LoginItemState::unknown);
}

/// The keys of a desktop entry's [Desktop Entry] group.
std::map<std::string, std::string> entryKeys(std::istream& in) {
    std::map<std::string, std::string> keys;
    bool inEntryGroup = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with('[')) {
            inEntryGroup = line == "[Desktop Entry]";
        } else if (const std::size_t equals = line.find('='); inEntryGroup && equals != std::string::npos) {
            keys[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return keys;
}

TEST_F(LoginItemManagerTest, TheAutostartEntryIsAValidCopyOfTheInstalledOneStartingInTheBackground) {
    const char* source = std::getenv("ZOQ_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest, which says where the sources are";
    std::ifstream installedFile(fs::path(source) / "data/org.zoq.Zoq.desktop");
    ASSERT_TRUE(installedFile);
    auto installed = entryKeys(installedFile);

    ASSERT_EQ(manager.registerLoginItem(), LoginItemState::registered);
    std::istringstream autostartText(read());
    auto autostart = entryKeys(autostartText);
    EXPECT_EQ(autostart["Exec"], "\"/opt/zoq tray/bin/zoq-tray\" --background");
    EXPECT_EQ(installed["Exec"], "zoq-tray");
    EXPECT_EQ(autostart["X-GNOME-Autostart-enabled"], "true");
    for (auto* keys : {&installed, &autostart}) {
        keys->erase("Exec");
        keys->erase("X-GNOME-Autostart-enabled");
        keys->erase("Keywords"); // for searching the menu only
    }
    EXPECT_EQ(autostart, installed);

    const std::string validator = test::requireProgram("desktop-file-validate", "desktop-file-utils");
    EXPECT_EQ(test::runProgram({validator, entry.string()}), 0) << read();
    EXPECT_EQ(test::runProgram({validator, (fs::path(source) / "data/org.zoq.Zoq.desktop").string()}), 0);
}

TEST(LoginItemManager, ExecLinesQuoteWhatTheSyntaxReserves) {
    const auto execOf = [](const char* program) {
        const std::string text = LoginItemManager(program, "/nonexistent").entryText();
        const std::size_t start = text.find("\nExec=") + 6;
        return text.substr(start, text.find('\n', start) - start);
    };
    EXPECT_EQ(execOf("/usr/bin/zoq-tray"), "/usr/bin/zoq-tray --background");
    EXPECT_EQ(execOf("/home/a b/zoq"), "\"/home/a b/zoq\" --background");
    EXPECT_EQ(execOf("/home/$x\"y/zoq"), "\"/home/\\\\$x\\\\\"y/zoq\" --background");
    EXPECT_EQ(execOf("/home/a\\b/zoq"), "\"/home/a\\\\\\\\b/zoq\" --background");
    EXPECT_EQ(execOf("/home/100%/zoq"), "/home/100%%/zoq --background");
    EXPECT_THROW(LoginItemManager("zoq-tray", "/nonexistent"), CoreError);
}

} // namespace
} // namespace zoq
