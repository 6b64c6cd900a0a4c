#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/WirePattern.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Transport/CurlHandles.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/TempDirectory.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

class ShellSettingsTest : public ::testing::Test {
protected:
    test::TempDirectory home;
    // Two levels that do not exist yet, as on a fresh account.
    fs::path file = home / "config" / "zoq" / "settings.json";

    /// Settings over a file that already holds `text`.
    std::unique_ptr<ShellSettings> over(const std::string& text) {
        fs::create_directories(file.parent_path());
        writeText(file, text);
        return std::make_unique<ShellSettings>(file);
    }
};

TEST_F(ShellSettingsTest, FirstStartStoresOnlyTheDefaultPortalPrivately) {
    ShellSettings settings(file);
    EXPECT_FALSE(settings.damaged());
    EXPECT_EQ(settings.apiBaseURLString(), "http://127.0.0.1:8787");
    EXPECT_FALSE(fs::exists(file.parent_path().parent_path())) << "opening and reading write nothing";
    settings.storeDefaultAPIBaseURL();
    EXPECT_EQ(readText(file), R"({"apiBaseURL":"http://127.0.0.1:8787"})"
                              "\n");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file.parent_path().parent_path()), 0700u);

    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{});
    EXPECT_TRUE(settings.chimeEnabled());
    EXPECT_EQ(settings.hotkey(), (HotkeyConfiguration{35, 6400}));
    EXPECT_EQ(settings.hotkey(), HotkeyConfiguration::standard);
    EXPECT_FALSE(settings.recorderEnabled());
    EXPECT_EQ(settings.apiBaseURLString(), "http://127.0.0.1:8787");
    EXPECT_EQ(settings.apiBaseURL(), "http://127.0.0.1:8787/");
    EXPECT_FALSE(settings.damaged());
}

TEST_F(ShellSettingsTest, EachKeyFallsBackOnItsOwn) {
    struct Case {
        const char* stored;
        std::set<std::string> allowlist;
        bool chime;
        HotkeyConfiguration hotkey;
        bool recorder;
        /// What `warnings()` says: each ignored value, by its key.
        std::vector<std::string> warnings = {};
        SystemAudioSource systemAudio = SystemAudioSource::all;
    };
    const HotkeyConfiguration standard = HotkeyConfiguration::standard;
    const std::vector<Case> cases = {
        {R"({})", {}, true, standard, false},
        {R"({"chimeEnabled":false,"recorderEnabled":true})", {}, false, standard, true},
        {R"({"chimeEnabled":"no","recorderEnabled":1})",
         {},
         true,
         standard,
         false,
         {R"("chimeEnabled": ignored "no" (not true or false); zoq uses true)",
          R"("recorderEnabled": ignored 1 (not true or false); zoq uses false)"}},
        {R"({"chimeEnabled":null,"recorderEnabled":"true"})",
         {},
         true,
         standard,
         false,
         {R"("chimeEnabled": ignored null (not true or false); zoq uses true)",
          R"("recorderEnabled": ignored "true" (not true or false); zoq uses false)"}},
        {R"({"hotkeyKeyCode":12})", {}, true, {12, 6400}, false},
        {R"({"hotkeyCarbonModifiers":256})", {}, true, {35, 256}, false},
        {R"({"hotkeyKeyCode":12.0,"hotkeyCarbonModifiers":4096})", {}, true, {12, 4096}, false},
        {R"({"hotkeyKeyCode":-1,"hotkeyCarbonModifiers":-256})",
         {},
         true,
         standard,
         false,
         {R"("hotkeyKeyCode": ignored -1 (not a whole number from 0 to 4294967295); zoq uses 35)",
          R"("hotkeyCarbonModifiers": ignored -256 (not a whole number from 0 to 4294967295); zoq uses 6400)"}},
        {R"({"hotkeyKeyCode":4294967296,"hotkeyCarbonModifiers":1.5})",
         {},
         true,
         standard,
         false,
         {R"("hotkeyKeyCode": ignored 4294967296 (not a whole number from 0 to 4294967295); zoq uses 35)",
          R"("hotkeyCarbonModifiers": ignored 1.5 (not a whole number from 0 to 4294967295); zoq uses 6400)"}},
        {R"({"hotkeyKeyCode":4294967295,"hotkeyCarbonModifiers":"256"})",
         {},
         true,
         {4294967295, 6400},
         false,
         {R"("hotkeyCarbonModifiers": ignored "256" (not a whole number from 0 to 4294967295); zoq uses 6400)"}},
        {R"({"hotkeyKeyCode":true,"hotkeyCarbonModifiers":0})",
         {},
         true,
         {35, 0},
         false,
         {R"("hotkeyKeyCode": ignored true (not a whole number from 0 to 4294967295); zoq uses 35)"}},
        {R"({"allowedBundleIDs":["b.app","a.app","b.app"]})", {"a.app", "b.app"}, true, standard, false},
        // The valid identifiers of an allowlist of the wrong shape are kept.
        {R"({"allowedBundleIDs":"org.example.Call"})",
         {"org.example.Call"},
         true,
         standard,
         false,
         {R"("allowedBundleIDs": "org.example.Call" is one identifier, not a list of them; zoq allows that one)"}},
        {R"({"allowedBundleIDs":["org.example.Call",null,7]})",
         {"org.example.Call"},
         true,
         standard,
         false,
         {R"("allowedBundleIDs": ignored null and 7 (not identifiers); zoq allows the other 1 application)"}},
        {R"({"allowedBundleIDs":["a.app",["b.app"],"c.app"]})",
         {"a.app", "c.app"},
         true,
         standard,
         false,
         {R"("allowedBundleIDs": ignored ["b.app"] (not an identifier); zoq allows the other 2 applications)"}},
        {R"({"allowedBundleIDs":{"a.app":true},"chimeEnabled":false})",
         {},
         false,
         standard,
         false,
         {R"("allowedBundleIDs": ignored {"a.app":true} (not a list of identifiers); zoq uses an empty allowlist)"}},
        {R"({"apiBaseURL":42,"credentialStore":true,"ffmpegPath":"ffmpeg"})",
         {},
         true,
         standard,
         false,
         {R"("apiBaseURL": ignored 42 (not a string); zoq uses http://127.0.0.1:8787)",
          R"("credentialStore": ignored true (not a string); zoq uses the keyring)",
          R"("ffmpegPath": ignored "ffmpeg" (not an absolute path); zoq uses the default ffmpeg)"}},
        {R"({"systemAudioSource":"recordedApp"})",
         {},
         true,
         standard,
         false,
         {},
         SystemAudioSource::recordedApp},
        {R"({"systemAudioSource":"all"})", {}, true, standard, false},
        // A slip records everything, and says so: the call alone is never
        // assumed.
        {R"({"systemAudioSource":"recordedapp"})",
         {},
         true,
         standard,
         false,
         {R"("systemAudioSource": ignored "recordedapp" (only "all" or "recordedApp" are known); zoq uses )"
          R"(everything the computer plays)"}},
        {R"({"systemAudioSource":true})",
         {},
         true,
         standard,
         false,
         {R"("systemAudioSource": ignored true (not a string); zoq uses everything the computer plays)"}},
    };
    for (const Case& c : cases) {
        const auto settings = over(c.stored);
        EXPECT_EQ(settings->allowedBundleIDs(), c.allowlist) << c.stored;
        EXPECT_EQ(settings->chimeEnabled(), c.chime) << c.stored;
        EXPECT_EQ(settings->hotkey(), c.hotkey) << c.stored;
        EXPECT_EQ(settings->recorderEnabled(), c.recorder) << c.stored;
        EXPECT_EQ(settings->systemAudioSource(), c.systemAudio) << c.stored;
        EXPECT_FALSE(settings->damaged()) << c.stored;
        EXPECT_EQ(settings->warnings(), c.warnings) << c.stored;
        settings->storeDefaultAPIBaseURL();
        if (std::string_view(c.stored).find("apiBaseURL") != std::string_view::npos) {
            EXPECT_EQ(readText(file), c.stored) << "a value of the wrong type is reported, never replaced";
        }
    }
}

TEST_F(ShellSettingsTest, PortalAddressIsKeptButOnlyHttpWithAHostParses) {
    // A stored address is never replaced, even one that does not parse.
    EXPECT_EQ(over(R"({"apiBaseURL":"ftp://files.example"})")->apiBaseURLString(), "ftp://files.example");
    EXPECT_EQ(over(R"({"apiBaseURL":"ftp://files.example"})")->apiBaseURL(), std::nullopt);
    // One that is not a string reads as the default and stays as it is.
    const auto wrongType = over(R"({"apiBaseURL":42,"x":1})");
    EXPECT_EQ(wrongType->apiBaseURLString(), "http://127.0.0.1:8787");
    wrongType->storeDefaultAPIBaseURL();
    EXPECT_EQ(readText(file), R"({"apiBaseURL":42,"x":1})");

    const std::map<std::string, std::optional<std::string>> cases = {
        {"https://portal.example.com", "https://portal.example.com/"},
        {"HTTPS://Portal.Example.com:8443/base/", "https://Portal.Example.com:8443/base/"},
        {"http://[::1]:8787", "http://[::1]:8787/"},
        {"ftp://portal.example.com", std::nullopt},
        {"file:///etc/passwd", std::nullopt},
        {"http://", std::nullopt},
        {"127.0.0.1:8787", std::nullopt},
        {"portal.example.com", std::nullopt},
        {" http://portal.example.com", std::nullopt},
        {"http://portal example.com", std::nullopt},
        {"", std::nullopt},
        {std::string("http://a\0b", 10), std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ShellSettings::parsePortalURL(text), expected) << text;
    }
}

std::optional<std::string> libcurlHost(const std::string& text) {
    const curl::Url url(curl::library().url());
    char* host = nullptr;
    if (curl::library().url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK ||
        curl::library().url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const curl::String owned(host);
    return std::string(owned.get());
}

TEST(PortalAddress, PlainAddressesAnswerExactlyAsLibcurlDoes) {
    // Addresses are built from pieces near the edges of what is plain (case,
    // numeric hosts, ports, dot segments, encodings), so both paths are taken
    // often; every answer must be libcurl's.
    const std::vector<std::string> schemes = {"http://", "https://", "HTTP://", "Https://",
                                              "ftp://",  "",         "http:/"};
    const std::vector<std::string> hostPieces = {
        "a", "Portal", "example", "com", "127",   "0", "255", "256", "01", "1",         "0x7f",
        "-", "x-1",    "_",       "%41", "[::1]", "",  " ",   "h@",  "é",  "4294967295"};
    const std::vector<std::string> ports = {"",       ":",      ":0",    ":80", ":8787",
                                            ":65535", ":65536", ":0443", ":x",  ":99999"};
    const std::vector<std::string> pathPieces = {"/",   "a",  "B",  "..", ".", "~",
                                                 "%2e", "?q", "#f", "-_", " ", "\\"};
    std::mt19937 random(20261207);
    const auto pick = [&random](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = pick(schemes);
        const int labels = std::uniform_int_distribution<int>(1, 4)(random);
        for (int label = 0; label < labels; ++label) {
            text += (label == 0 ? "" : ".") + pick(hostPieces);
        }
        text += pick(ports);
        for (int piece = std::uniform_int_distribution<int>(0, 5)(random); piece > 0; --piece) {
            text += pick(pathPieces);
        }
        const std::optional<std::string> answer = ShellSettings::parsePortalURL(text);
        ASSERT_EQ(answer, ShellSettings::parsePortalURLWithLibcurl(text)) << text;
        parsed += answer.has_value();
        if (answer) {
            ASSERT_EQ(ShellSettings::portalHost(text), libcurlHost(text)) << text;
        }
    }
    // Plain http is accepted for loopback hosts only, so most generated
    // addresses are refused; enough are accepted to compare both paths.
    EXPECT_GT(parsed, 150);
}

TEST_F(ShellSettingsTest, WritesKeepUnknownKeysAndSortTheAllowlist) {
    const auto owned = over(R"({"future":{"nested":[1,2]},"chimeEnabled":false})");
    ShellSettings& settings = *owned;
    settings.setAllowedBundleIDs({"org.zed", "com.b", "com.a"});
    settings.setHotkey({12, HotkeyConfiguration::control});
    settings.setRecorderEnabled(true);
    settings.setAPIBaseURLString("https://portal.example");
    settings.setSystemAudioSource(SystemAudioSource::recordedApp);
    EXPECT_EQ(readText(file),
              R"({"allowedBundleIDs":["com.a","com.b","org.zed"],)"
              R"("apiBaseURL":"https://portal.example","chimeEnabled":false,)"
              R"("future":{"nested":[1,2]},"hotkeyCarbonModifiers":4096,)"
              R"("hotkeyKeyCode":12,"recorderEnabled":true,"systemAudioSource":"recordedApp"})"
              "\n");
    EXPECT_EQ(settings.systemAudioSource(), SystemAudioSource::recordedApp);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(settings.hotkey(), (HotkeyConfiguration{12, 4096}));
    settings.setChimeEnabled(true);
    EXPECT_TRUE(settings.chimeEnabled());
    EXPECT_EQ(settings.value("future"), JSONValue::parse(R"({"nested":[1,2]})"));
    EXPECT_FALSE(fs::exists(file.string() + ".next"));

    // A change made behind the object's back is seen at once: nothing is cached.
    writeText(file, R"({"recorderEnabled":false})");
    EXPECT_FALSE(settings.recorderEnabled());
}

TEST_F(ShellSettingsTest, BadInputIsRefusedAndChangesNothing) {
    const auto owned = over(R"({"allowedBundleIDs":["a"]})");
    ShellSettings& settings = *owned;
    const std::string before = readText(file);
    EXPECT_EQ(test::caughtError([&] {
                  settings.setAllowedBundleIDs({"ok", std::string("\xff\xfe")});
              }),
              CoreError::invalid("UTF-8"));
    EXPECT_EQ(test::caughtError([&] { settings.setHotkey({-1, 0}); }), CoreError::invalid("hotkey key code"));
    EXPECT_EQ(test::caughtError([&] {
                  settings.setHotkey({HotkeyConfiguration::maximumKeyCode + 1, 0});
              }),
              CoreError::invalid("hotkey key code"));
    EXPECT_EQ(test::caughtError(
                  [&] { settings.setAPIBaseURLString(std::string(ShellSettings::maximumFileSize, 'x')); }),
              CoreError::invalid("settings too large"));
    EXPECT_EQ(readText(file), before);
}

TEST_F(ShellSettingsTest, DamagedFileIsReportedLeftAloneAndKeptAsideByAWrite) {
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* problem;
    };
    const fs::path target = home / "target.json";
    writeText(target, R"({"chimeEnabled":false})");
    const std::vector<Case> cases = {
        {"not JSON", [&] { writeText(file, R"({"chimeEnabled":false)"); }, "unparseable JSON"},
        {"duplicate key", [&] { writeText(file, R"({"a":1,"a":2})"); }, "unparseable JSON"},
        {"empty", [&] { writeText(file, ""); }, "unparseable JSON"},
        {"array", [&] { writeText(file, R"([{"chimeEnabled":false}])"); }, "not a JSON object"},
        {"symbolic link", [&] { fs::create_symlink(target, file); }, "symbolic link"},
        {"directory", [&] { fs::create_directory(file); }, "not a regular file"},
        {"FIFO", [&] { ::mkfifo(file.c_str(), 0600); }, "not a regular file"},
        {"too large",
         [&] { writeText(file, R"({"chimeEnabled":false,"pad":")" + std::string(1 << 20, 'x') + "\"}"); },
         "too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        c.plant();
        const fs::file_type plantedType = fs::symlink_status(file).type();
        const std::string plantedText = plantedType == fs::file_type::regular ? readText(file) : "";

        ShellSettings settings(file); // must not write the default over it
        EXPECT_EQ(settings.problem(), c.problem);
        EXPECT_TRUE(settings.chimeEnabled());
        EXPECT_EQ(settings.apiBaseURLString(), ShellSettings::defaultAPIBaseURL);
        EXPECT_EQ(fs::symlink_status(file).type(), plantedType);

        settings.setRecorderEnabled(true);
        const fs::path kept = file.string() + ".damaged";
        EXPECT_EQ(fs::symlink_status(kept).type(), plantedType);
        if (plantedType == fs::file_type::regular) {
            EXPECT_EQ(readText(kept), plantedText);
        }
        EXPECT_EQ(readText(file), R"({"recorderEnabled":true})"
                                  "\n");
        EXPECT_FALSE(settings.damaged());
    }
    EXPECT_EQ(readText(target), R"({"chimeEnabled":false})"); // the link's target was never touched

    // A second damage never overwrites the first copy.
    writeText(file, "second damage");
    ShellSettings(file).setChimeEnabled(false);
    EXPECT_EQ(readText(file.string() + ".damaged.1"), "second damage");
    EXPECT_EQ(readText(file), R"({"chimeEnabled":false})"
                              "\n");
}

TEST_F(ShellSettingsTest, AnUnreadableFileKeepsTheLastGoodValuesAndIsReadAgainWhenItCan) {
    // The faults work as root too, where permissions do not stop a read: the
    // settings directory replaced by a file (ENOTDIR) or by a loop of
    // symbolic links (ELOOP); and, when not root, the file made unreadable.
    struct Fault {
        const char* name;
        std::function<void()> plant;
        const char* reason;
    };
    const fs::path directory = file.parent_path();
    const fs::path aside = home / "zoq-aside";
    std::vector<Fault> faults = {
        {"directory replaced by a file",
         [&] {
             fs::rename(directory, aside);
             writeText(directory, "");
         },
         "Not a directory"},
        {"directory replaced by a symbolic link loop",
         [&] {
             fs::rename(directory, aside);
             fs::create_symlink(directory.filename(), directory);
         },
         "Too many levels of symbolic links"},
    };
    if (::geteuid() != 0) {
        faults.push_back({"file mode 000",
                          [&] {
                              fs::rename(directory, aside);
                              fs::create_directory(directory);
                              fs::copy_file(aside / "settings.json", file);
                              fs::permissions(file, fs::perms::none);
                          },
                          "Permission denied"});
    }
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        fs::remove_all(directory);
        fs::remove_all(aside);
        const auto settings = over(R"({"allowedBundleIDs":["org.example.Call"],"chimeEnabled":false})");
        EXPECT_FALSE(settings->chimeEnabled());
        fault.plant();

        EXPECT_EQ(settings->problem(), std::string("cannot be read: ") + fault.reason);
        EXPECT_FALSE(settings->chimeEnabled()) << "the last good values stay in force";
        EXPECT_EQ(settings->allowedBundleIDs(), std::set<std::string>{"org.example.Call"});
        EXPECT_EQ(settings->hotkey(), HotkeyConfiguration::standard);
        EXPECT_EQ(settings->warnings(), std::vector<std::string>{"the settings file " + file.string() +
                                                                 " cannot be read: " + fault.reason +
                                                                 "; zoq keeps the settings it read last and "
                                                                 "reads it again when it can"});
        const auto caught = test::caughtError([&] { settings->setRecorderEnabled(true); });
        EXPECT_EQ(caught.kind(), CoreError::Kind::io) << "nothing replaces what could not be read";
        // A process that starts now has read nothing yet.
        const ShellSettings fresh(file);
        EXPECT_TRUE(fresh.chimeEnabled());
        EXPECT_EQ(fresh.warnings(), std::vector<std::string>{"the settings file " + file.string() +
                                                             " cannot be read: " + fault.reason +
                                                             "; zoq uses the defaults and reads it again "
                                                             "when it can"});

        // Repaired (by hand, with a change): read again at the next look.
        fs::remove_all(directory);
        fs::rename(aside, directory);
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
        writeText(file, R"({"chimeEnabled":true})");
        EXPECT_EQ(settings->problem(), std::nullopt);
        EXPECT_TRUE(settings->chimeEnabled());
        EXPECT_EQ(settings->allowedBundleIDs(), std::set<std::string>{});
        EXPECT_TRUE(settings->warnings().empty());
        settings->setRecorderEnabled(true);
        EXPECT_TRUE(settings->recorderEnabled());
    }
}

TEST_F(ShellSettingsTest, InstallUUIDIsStableKeptAsStoredAndRegeneratedOnJunk) {
    ShellSettings settings(file);
    const std::string generated = ShellPaths::installUUID(settings);
    EXPECT_TRUE(WirePattern::uuid().matches(generated));
    EXPECT_EQ(generated, [&] {
        std::string lower = generated;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        return lower;
    }());
    EXPECT_EQ(ShellPaths::installUUID(settings), generated);
    EXPECT_EQ(settings.value(ShellSettings::installUUIDKey), JSONValue(generated));

    const std::string upper = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
    EXPECT_EQ(ShellPaths::installUUID(*over(R"({"installUUID":")" + upper + "\"}")), upper);

    for (const char* junk : {R"("not-a-uuid")", R"("6ba7b810-9dad-01d1-80b4-00c04fd430c8")", "7", "null"}) {
        auto junkSettings = over(std::string(R"({"installUUID":)") + junk + R"(,"keep":true})");
        const std::string fresh = ShellPaths::installUUID(*junkSettings);
        EXPECT_TRUE(WirePattern::uuid().matches(fresh)) << junk;
        EXPECT_NE(fresh, generated) << junk;
        EXPECT_EQ(junkSettings->value("installUUID"), JSONValue(fresh)) << junk;
        EXPECT_EQ(junkSettings->value("keep"), JSONValue(true)) << junk;
    }
}

TEST_F(ShellSettingsTest, ConcurrentWritersNeverTearTheFileOrLoseAKey) {
    // Two objects stand for two processes: only the directory lock orders them.
    ShellSettings first(file);
    ShellSettings second(file);
    first.storeDefaultAPIBaseURL();
    constexpr int writers = 4;
    constexpr int rounds = 10;
    std::vector<std::thread> threads;
    std::atomic<bool> sawDamage{false};
    std::atomic<bool> sawError{false};
    for (int writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            ShellSettings& settings = writer % 2 == 0 ? first : second;
            const std::string key = "writer" + std::to_string(writer);
            try {
                for (int round = 1; round <= rounds; ++round) {
                    settings.update(key, [round](const JSONValue*) { return JSONValue(round); });
                    settings.setAllowedBundleIDs({key});
                    if (settings.damaged()) {
                        sawDamage = true;
                    }
                }
            } catch (const CoreError&) {
                sawError = true;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(sawDamage);
    EXPECT_FALSE(sawError);
    const JSONValue stored = JSONValue::parse(readText(file));
    for (int writer = 0; writer < writers; ++writer) {
        EXPECT_EQ(stored.find("writer" + std::to_string(writer))->integer(), rounds);
    }
    EXPECT_EQ(first.allowedBundleIDs().size(), 1u);
    EXPECT_NE(stored.find("apiBaseURL"), nullptr);
}

TEST(ShellPaths, FollowsTheXdgBaseDirectoryRules) {
    const auto environment = [](std::map<std::string, std::string> variables) {
        return [variables](const char* name) -> std::optional<std::string> {
            const auto found = variables.find(name);
            return found == variables.end() ? std::nullopt : std::optional<std::string>(found->second);
        };
    };
    const auto defaults = environment({{"HOME", "/home/ada"}});
    EXPECT_EQ(ShellPaths::settingsFile(defaults), "/home/ada/.config/zoq/settings.json");
    EXPECT_EQ(ShellPaths::supportRoot(defaults), "/home/ada/.local/share/zoq");
    EXPECT_EQ(ShellPaths::spoolRoot(defaults), "/home/ada/.local/share/zoq/spool");

    const auto custom =
        environment({{"HOME", "/home/ada"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_DATA_HOME", "/data"}});
    EXPECT_EQ(ShellPaths::settingsFile(custom), "/cfg/zoq/settings.json");
    EXPECT_EQ(ShellPaths::spoolRoot(custom), "/data/zoq/spool");

    // Relative or empty values are ignored, as the rules demand.
    const auto relative =
        environment({{"HOME", "/home/ada"}, {"XDG_CONFIG_HOME", "cfg"}, {"XDG_DATA_HOME", ""}});
    EXPECT_EQ(ShellPaths::configRoot(relative), "/home/ada/.config/zoq");
    EXPECT_EQ(ShellPaths::supportRoot(relative), "/home/ada/.local/share/zoq");

    // Without a usable HOME the user database still names a home directory.
    EXPECT_TRUE(ShellPaths::supportRoot(environment({{"HOME", "relative"}})).is_absolute());
}

} // namespace
} // namespace zoq
