// An administrator's defaults and policy beneath and above the user's own
// settings file: which value wins, what the user may change, and that a bad
// system file is said and costs nothing.

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "tests/TestSupport/TempDirectory.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

namespace zoq {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool mentions(const std::vector<std::string>& warnings, const std::string& text) {
    return std::any_of(warnings.begin(), warnings.end(), [&text](const std::string& warning) {
        return warning.find(text) != std::string::npos;
    });
}

class SettingsLayers : public ::testing::Test {
protected:
    test::TempDirectory temp;
    fs::path user = temp / "home" / "zoq" / "settings.json";
    // Two directories of XDG_CONFIG_DIRS, the first the more important.
    fs::path site = temp / "site" / "zoq";
    fs::path vendor = temp / "vendor" / "zoq";
    ShellSettings::SystemLayers layers = ShellSettings::systemLayersIn({site, vendor});
};

TEST_F(SettingsLayers, TheUserOverridesTheDefaultsAndThePolicyOverridesTheUser) {
    writeText(vendor / "settings.json",
              R"({"apiBaseURL": "https://vendor.example", "chimeEnabled": false, "hotkeyKeyCode": 1})");
    writeText(site / "settings.json",
              R"({"apiBaseURL": "https://portal.example.org", "recorderEnabled": true})");
    writeText(site / "policy.json",
              R"({"allowedBundleIDs": ["org.example.Call"], "recorderEnabled": false, "installUUID": "x"})");
    writeText(vendor / "policy.json", R"({"allowedBundleIDs": ["vendor.App"], "ffmpegPath": "/opt/ffmpeg"})");
    const std::string userText = R"({"allowedBundleIDs":["mine"],"chimeEnabled":true})"
                                 "\n";
    writeText(user, userText);
    ShellSettings settings(user, layers);

    EXPECT_EQ(settings.apiBaseURLString(), "https://portal.example.org") << "the first directory wins";
    EXPECT_TRUE(settings.chimeEnabled()) << "the user's own value beats the defaults";
    EXPECT_EQ(settings.hotkey().keyCode, 1) << "a default the user never set";
    EXPECT_TRUE(settings.recorderEnabled()) << "a default for the user's state; the policy cannot set it";
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"org.example.Call"})
        << "policy beats the user";
    EXPECT_EQ(settings.ffmpegPath(), fs::path("/opt/ffmpeg"));
    const std::map<std::string, bool> locked{{"allowedBundleIDs", true}, {"ffmpegPath", true},
                                             {"apiBaseURL", false},      {"chimeEnabled", false},
                                             {"recorderEnabled", false}, {"installUUID", false}};
    for (const auto& [key, expected] : locked) {
        EXPECT_EQ(settings.isLocked(key), expected) << key;
    }
    EXPECT_TRUE(mentions(settings.warnings(), "policy.json: \"recorderEnabled\" is ignored"));

    // A locked key is refused before anything is written; the rest is the
    // user's, and no system value is copied into their file.
    EXPECT_THROW(settings.setAllowedBundleIDs({"other"}), CoreError);
    EXPECT_THROW(settings.update("ffmpegPath", [](const JSONValue*) { return JSONValue("/bin/true"); }),
                 CoreError);
    EXPECT_EQ(readText(user), userText);
    settings.storeDefaultAPIBaseURL();
    EXPECT_EQ(readText(user), userText) << "the administrator's address is not pinned in the user's file";
    settings.setChimeEnabled(false);
    EXPECT_FALSE(settings.chimeEnabled());
    EXPECT_EQ(readText(user), R"({"allowedBundleIDs":["mine"],"chimeEnabled":false})"
                              "\n");
    // Once the administrator lifts the policy, the user's own list is back.
    fs::remove(site / "policy.json");
    fs::remove(vendor / "policy.json");
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"mine"});
    EXPECT_NO_THROW(settings.setAllowedBundleIDs({"other"}));
}

TEST_F(SettingsLayers, BadSystemFilesAreSaidAndIgnoredAndNothingIsLost) {
    writeText(site / "settings.json", "{\"apiBaseURL\": ");
    fs::create_directories(site / "policy.json");
    writeText(vendor / "settings.json", R"({"chimeEnabled": "no", "apiBaseURL": "https://vendor.example"})");
    writeText(vendor / "policy.json", R"(["allowedBundleIDs"])");
    writeText(user, R"({"allowedBundleIDs": ["mine"]})");
    ShellSettings settings(user, layers);

    EXPECT_EQ(settings.apiBaseURLString(), "https://vendor.example") << "the next directory still counts";
    EXPECT_TRUE(settings.chimeEnabled()) << "a wrong type falls back as in the user's file";
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"mine"});
    EXPECT_FALSE(settings.isLocked("allowedBundleIDs"));
    EXPECT_FALSE(settings.damaged()) << "the user's own file is fine";
    const std::vector<std::string> warnings = settings.warnings();
    for (const std::string& expected :
         {"the system settings file " + (site / "settings.json").string() + " is ignored (unparseable JSON)",
          "the administrator's policy file " + (site / "policy.json").string() +
              " is ignored (not a regular file)",
          "the administrator's policy file " + (vendor / "policy.json").string() +
              " is ignored (not a JSON object)",
          "the system settings file " + (vendor / "settings.json").string() +
              ": \"chimeEnabled\": ignored \"no\" (not true or false); zoq uses true"}) {
        EXPECT_TRUE(mentions(warnings, expected));
    }
    settings.setChimeEnabled(false);
    EXPECT_EQ(readText(site / "settings.json"), "{\"apiBaseURL\": ") << "system files are only read";
    EXPECT_FALSE(settings.chimeEnabled());
}

TEST(SystemConfigRoots, FollowTheAbsoluteEntriesOfXDGConfigDirsOrEtcXdg) {
    const auto rootsFor = [](std::optional<std::string> value) {
        return ShellPaths::systemConfigRoots([value](const char* name) -> std::optional<std::string> {
            return std::string(name) == "XDG_CONFIG_DIRS" ? value : std::nullopt;
        });
    };
    using Roots = std::vector<fs::path>;
    EXPECT_EQ(rootsFor(std::nullopt), Roots{"/etc/xdg/zoq"});
    EXPECT_EQ(rootsFor(""), Roots{"/etc/xdg/zoq"});
    EXPECT_EQ(rootsFor("relative:/etc/site::/usr/share/xdg"), (Roots{"/etc/site/zoq", "/usr/share/xdg/zoq"}));
}

} // namespace
} // namespace zoq
