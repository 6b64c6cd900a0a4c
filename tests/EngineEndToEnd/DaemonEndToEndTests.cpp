// `zoq daemon`, the long-lived service, as a person runs it once and forgets
// it: a private sound server (tests/with-sound-server), the development
// portal on loopback, a device paired with the file credential store, and
// the test call application making calls. No command is given after the
// daemon starts; the test watches it with `zoq status` and its output.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "tests/EngineEndToEnd/CallAudio.h"
#include "tests/SoundServer/SoundServerSupport.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/e2e/PortalProcess.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <thread>

namespace zoq {
namespace {

using namespace std::chrono_literals;

constexpr const char* allowedApp = "org.example.Call";
constexpr const char* appName = "Example Call";

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class DaemonOnServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::soundServerKind().empty());
        portal = std::make_unique<test::PortalProcess>(temp / "portal");
        // The call application is installed, by a desktop entry of the
        // test's own (and none of the machine's): that entry names it.
        environment = {"XDG_CONFIG_HOME=" + (temp / "config").string(),
                       "XDG_DATA_HOME=" + (temp / "data").string(),
                       "XDG_DATA_DIRS=" + (temp / "share").string(), "HOME=" + temp.path().string()};
        std::filesystem::create_directories(temp / "share" / "applications");
        std::ofstream(temp / "share" / "applications" / (std::string(allowedApp) + ".desktop"))
            << "[Desktop Entry]\nType=Application\nName=" << appName << "\nExec=true\n";
        std::filesystem::create_directories(temp / "config" / "zoq");
        std::ofstream(temp / "config" / "zoq" / "settings.json")
            << R"({"credentialStore": "file", "recorderEnabled": true, "allowedBundleIDs": [")" << allowedApp
            << R"("]})";
        const auto [code, out] = zoq({"pair", portal->pairingCode(), "--portal", portal->url()});
        ASSERT_EQ(code, 0) << out;
    }

    void TearDown() override {
        call.reset();
        if (daemon && !daemon->ended()) {
            daemon->signal(SIGTERM);
            EXPECT_EQ(daemon->exitCode(), 0) << log();
        }
    }

    /// Runs a `zoq` command to its end: its exit code and output.
    std::pair<int, std::string> zoq(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{test::builtProgram("zoq").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const std::filesystem::path output = temp / ("command-" + std::to_string(++commands) + ".out");
        test::ChildProcess command(argv, environment, output);
        const int code = command.exitCode();
        return {code, contents(output)};
    }

    /// `zoq status --json`: each row's directory and state word (with its
    /// last error, if any, in parentheses).
    std::map<std::string, std::string> statusRows() {
        const auto [code, out] = zoq({"status", "--json"});
        EXPECT_EQ(code, 0) << out;
        std::map<std::string, std::string> rows;
        if (code == 0) {
            const JSONValue document = JSONValue::parse(out);
            for (const JSONValue& row : *document.find("rows")->array()) {
                std::string state = *row.find("state")->string();
                if (const std::string* error = row.find("lastError")->string()) {
                    state += "(" + *error + ")";
                }
                rows[*row.find("directoryName")->string()] = state;
            }
        }
        return rows;
    }

    /// Starts `zoq daemon`, its output going to `logName` (a new name for
    /// each restart: the output is appended).
    void startDaemon(const std::string& logName = "daemon.log") {
        logFile = temp / logName;
        daemon = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{test::builtProgram("zoq").string(), "daemon"}, environment, logFile);
    }
    std::string log() const { return contents(logFile); }
    /// Waits until the daemon has printed `line` `count` times.
    bool daemonSaid(const std::string& line, std::size_t count = 1, std::chrono::milliseconds timeout = 60s) {
        return test::eventually([&] { return occurrences(log(), line) >= count || daemon->ended(); },
                                timeout) &&
               occurrences(log(), line) >= count;
    }

    /// The call takes the microphone (with a tone spoken into it) until its
    /// part is long enough to keep (parts under 20 s are discarded).
    void holdACall() {
        voice = test::play(240, "micfeed");
        call = std::make_unique<test::CallApp>("Call", allowedApp);
        ASSERT_TRUE(daemonSaid("recorder: recording " + std::string(allowedApp), 1, 30s)) << log();
        // A loaded server may lose audio and so split the call: hold it until
        // one part has 21 s made durable, however many splits it takes.
        ASSERT_TRUE(test::eventually(
            [&] {
                for (const test::Part& part : partsNow()) {
                    if (part.manifest.state == ArtifactState::writingWAV &&
                        part.manifest.durableFrames >= 21 * 16'000) {
                        return true;
                    }
                }
                return false;
            },
            150s))
            << log();
    }

    std::filesystem::path spool() const { return temp / "data" / "zoq" / "spool"; }
    /// The parts as they stand; none for the moment while a part directory
    /// is still being created (it has no manifest yet).
    std::vector<test::Part> partsNow() const {
        try {
            return test::partsOf(spool());
        } catch (const std::exception&) {
            return {};
        }
    }

    test::TempDirectory temp;
    std::unique_ptr<test::PortalProcess> portal;
    std::vector<std::string> environment;
    std::unique_ptr<test::ChildProcess> daemon;
    std::filesystem::path logFile;
    std::unique_ptr<test::PipedProcess> voice;
    std::unique_ptr<test::CallApp> call;
    int commands = 0;
};

// The whole way, with no command: armed at start, the call recorded,
// uploaded, confirmed by the portal, and its local audio removed; `zoq
// status` shows the part move through its stages.
TEST_F(DaemonOnServer, ACallIsRecordedUploadedAndCleanedWithNoCommand) {
    startDaemon();
    ASSERT_TRUE(daemonSaid("recorder: armed")) << log();
    holdACall();
    // One name for the application, from its desktop entry, in the daemon's
    // output and on the bus, with no tray running.
    EXPECT_TRUE(daemonSaid("recorder: recording " + std::string(allowedApp) + " (" + appName + ")")) << log();
    {
        const auto [code, out] = zoq({"status", "--json"});
        ASSERT_EQ(code, 0) << out;
        const JSONValue status = JSONValue::parse(out);
        const auto text = [&](const char* key) {
            const JSONValue* service = status.find("service");
            const JSONValue* value = service != nullptr ? service->find(key) : nullptr;
            const std::string* string = value != nullptr ? value->string() : nullptr;
            return string != nullptr ? *string : std::string("(none)");
        };
        EXPECT_EQ(text("statusLine"), std::string("Recording ") + appName) << out;
        EXPECT_EQ(text("recordingApp"), allowedApp) << "the identifier, as the allowlist holds it";
    }
    // Each part's stages as `zoq status` shows them (a loaded server that
    // loses audio splits the call; every part must end).
    std::map<std::string, std::vector<std::string>> seen;
    const auto note = [&](const std::map<std::string, std::string>& rows) {
        bool finished = !rows.empty();
        bool stored = false;
        for (const auto& [name, state] : rows) {
            std::vector<std::string>& stages = seen[name];
            if (stages.empty() || stages.back() != state) {
                stages.push_back(state);
            }
            finished = finished && (state.starts_with("CLEANED") || state.starts_with("DISCARDED_SHORT"));
            stored = stored || state.starts_with("CLEANED");
        }
        return finished && stored;
    };
    note(statusRows());
    call->exit();
    call.reset();
    EXPECT_TRUE(test::eventually([&] { return note(statusRows()); }, 180s)) << log();

    // The lifecycle only moves forward, waiting (RETRY_WAIT: the portal
    // confirms storage a little later) between its stages; the kept part
    // was seen from its writing to its cleaning.
    const std::vector<std::string> order{"WRITING_WAV", "DISCARDED_SHORT",  "FINALISING_FLAC", "READY",
                                         "UPLOADING",   "VERIFYING_REMOTE", "STORED",          "CLEANED"};
    bool keptWholeWay = false;
    for (const auto& [name, stages] : seen) {
        std::string shown;
        std::size_t reached = 0;
        for (const std::string& state : stages) {
            shown += state + " ";
            if (state.starts_with("RETRY_WAIT")) {
                continue;
            }
            const auto at = static_cast<std::size_t>(
                std::find(order.begin(), order.end(), state.substr(0, state.find('('))) - order.begin());
            EXPECT_LT(at, order.size()) << name << ": " << state;
            EXPECT_GE(at, reached) << name << ": " << shown;
            reached = at;
        }
        std::printf("zoq status showed %s: %s\n", name.c_str(), shown.c_str());
        keptWholeWay =
            keptWholeWay || (stages.front() == "WRITING_WAV" && stages.back().starts_with("CLEANED"));
    }
    EXPECT_TRUE(keptWholeWay);

    const std::vector<test::Part> parts = test::partsOf(spool());
    std::size_t cleaned = 0;
    for (const test::Part& part : parts) {
        cleaned += part.manifest.state == ArtifactState::cleaned ? 1 : 0;
        EXPECT_FALSE(std::filesystem::exists(part.directory / Artifact::flacName)) << part.directory;
        EXPECT_FALSE(std::filesystem::exists(part.directory / Artifact::wavName)) << part.directory;
    }
    EXPECT_GE(cleaned, 1u);
    EXPECT_EQ(portal->uploads().size(), cleaned);
}

// The sound server goes away mid-call and comes back: the part so far is
// finished as interrupted, and recording is armed again on the new server by
// itself. The call, back on the new server, goes on as the next part of its
// session, with no new debounce, kept however short; the next call is a call
// of its own.
TEST_F(DaemonOnServer, ASoundServerRestartMidCallFinishesThePartAndArmsAgain) {
    const char* control = std::getenv("ZOQ_SOUND_SERVER_CONTROL");
    const char* state = std::getenv("ZOQ_SOUND_SERVER_STATE");
    ASSERT_TRUE(control != nullptr && state != nullptr);
    const std::string recording = "recorder: recording " + std::string(allowedApp);
    startDaemon();
    ASSERT_TRUE(daemonSaid("recorder: armed")) << log();
    holdACall();

    ::kill(std::stoi(control), SIGUSR1);
    ASSERT_TRUE(
        test::eventually([&] { return std::filesystem::exists(std::filesystem::path(state) / "stops"); }));
    ASSERT_TRUE(daemonSaid("sound server lost")) << log();
    voice.reset();
    call.reset();
    // Meanwhile the daemon keeps asking; nothing arms while no server answers.
    std::this_thread::sleep_for(6s);
    EXPECT_EQ(occurrences(log(), "recorder: armed"), 1u) << log();

    // Every part of the call so far is finished; the last ends where the
    // server went away.
    const std::vector<test::Part> parts = test::partsOf(spool());
    ASSERT_GE(parts.size(), 1u) << log();
    for (const test::Part& part : parts) {
        EXPECT_NE(part.manifest.state, ArtifactState::writingWAV) << part.directory;
        EXPECT_NE(part.manifest.state, ArtifactState::quarantined) << part.directory;
    }
    EXPECT_TRUE(parts.back().manifest.interrupted);
    const CaptureSegment cut = parts.back().manifest.capture;

    // The server comes back, and the call with it (a call application
    // connects again).
    ::kill(std::stoi(control), SIGUSR2);
    ASSERT_TRUE(test::eventually(
        [&] { return std::filesystem::exists(std::filesystem::path(state) / "starts"); }, 60s));
    const double back = HostClock().now();
    const std::size_t recorded = occurrences(log(), recording);
    voice = test::play(240, "micfeed");
    call = std::make_unique<test::CallApp>("Call", allowedApp);
    ASSERT_TRUE(daemonSaid(recording, recorded + 1, 30s)) << log();
    std::printf("recording again %.1f s after the server returned\n", HostClock().now() - back);
    std::this_thread::sleep_for(2s);
    call->exit();
    call.reset();
    voice.reset();
    ASSERT_TRUE(daemonSaid("recorder: armed", 2, 60s)) << log();
    EXPECT_EQ(occurrences(log(), "recorder: debouncing"), 1u) << "not debounced again: " << log();
    std::vector<test::Part> after;
    ASSERT_TRUE(test::eventually(
        [&] {
            after = partsNow();
            return after.size() > parts.size() &&
                   std::none_of(after.begin(), after.end(), [](const test::Part& part) {
                       return part.manifest.state == ArtifactState::writingWAV ||
                              part.manifest.state == ArtifactState::finalisingFLAC;
                   });
        },
        60s))
        << log();
    const test::Part& next = after.back();
    EXPECT_EQ(next.manifest.capture.captureSessionId, cut.captureSessionId) << log();
    EXPECT_EQ(next.manifest.capture.partIndex, cut.partIndex + 1) << log();
    EXPECT_EQ(next.manifest.capture.app, allowedApp);
    EXPECT_NE(next.manifest.state, ArtifactState::discardedShort) << next.directory;
    EXPECT_GT(next.manifest.durableFrames, 0);

    // And it records the next call on the new server, as a session of its own.
    holdACall();
    call->exit();
    call.reset();
    EXPECT_TRUE(test::eventually([&] { return partsNow().size() > after.size(); }, 60s)) << log();
    const std::vector<test::Part> last = partsNow();
    EXPECT_NE(last.back().manifest.capture.captureSessionId, cut.captureSessionId);
    EXPECT_EQ(last.back().manifest.capture.partIndex, 0);
}

// `zoq pause`, then a restart: the new run is paused (the choice is stored
// with the spool) and every view says so; `zoq resume` resumes it, and the
// next call is recorded.
TEST_F(DaemonOnServer, APauseOutlivesARestartAndResumeResumesIt) {
    startDaemon();
    ASSERT_TRUE(daemonSaid("recorder: armed")) << log();
    EXPECT_EQ(zoq({"pause"}), std::make_pair(0, std::string("Paused\n")));
    daemon->signal(SIGTERM);
    ASSERT_EQ(daemon->exitCode(), 0) << log();

    startDaemon("daemon-restarted.log");
    ASSERT_TRUE(daemonSaid("recorder: paused")) << log();
    const auto [code, out] = zoq({"status", "--json"});
    ASSERT_EQ(code, 0) << out;
    const JSONValue service = *JSONValue::parse(out).find("service");
    EXPECT_EQ(*service.find("recorderState")->string(), "paused") << out;
    EXPECT_EQ(*service.find("statusLine")->string(), "Paused") << out;
    EXPECT_EQ(occurrences(log(), "recorder: armed"), 0u) << "never shown armed meanwhile: " << log();

    EXPECT_EQ(zoq({"resume"}), std::make_pair(0, std::string("Armed — waiting for an allowed app\n")));
    call = std::make_unique<test::CallApp>("Call", allowedApp);
    EXPECT_TRUE(daemonSaid("recorder: recording " + std::string(allowedApp), 1, 30s)) << log();
}

// Quitting while an upload waits on a slow portal and a call is recorded:
// the part ends where the quit came and is finished, the process ends
// without waiting for the portal, and the upload resumes at the next start.
TEST_F(DaemonOnServer, QuitDuringASlowUploadEndsTheCallsPartAtOnce) {
    // A finished part waiting for upload, and a portal that answers each
    // upload request only after two minutes.
    const auto [simulated, said] = zoq({"simulate-call", "--wav", test::toneWAV(8, 2).string()});
    ASSERT_EQ(simulated, 0) << said;
    ASSERT_EQ(test::partsOf(spool()).size(), 1u);
    portal->setFaults({{"stallSeconds", 120.0}});
    startDaemon();
    ASSERT_TRUE(daemonSaid("recorder: armed")) << log();

    voice = test::play(240, "micfeed");
    call = std::make_unique<test::CallApp>("Call", allowedApp);
    ASSERT_TRUE(daemonSaid("recorder: recording " + std::string(allowedApp), 1, 30s)) << log();
    const double recordingFrom = HostClock().now();
    // Long enough to keep the part (20 s), well past the uploader's first
    // pass, which now waits on the portal.
    std::this_thread::sleep_for(25s);
    const double quitAt = HostClock().now();
    daemon->signal(SIGTERM);
    // The bound only tells "did not wait for the portal" from "waited"; it
    // is not a speed target.
    ASSERT_TRUE(test::eventually([&] { return daemon->ended(); }, 60s)) << log();
    EXPECT_EQ(daemon->exitCode(), 0) << log();
    std::printf("quit took %.1f s\n", HostClock().now() - quitAt);

    const std::vector<test::Part> parts = test::partsOf(spool());
    ASSERT_GE(parts.size(), 2u) << log();
    const test::Part& recorded = parts.back();
    EXPECT_EQ(recorded.manifest.state, ArtifactState::ready) << recorded.directory;
    // From the debounce before the recording line to the quit, and not a
    // moment of the time the portal held the process.
    const double held = static_cast<double>(recorded.manifest.durableFrames) / 16'000;
    EXPECT_LE(held, quitAt - recordingFrom + 10) << log();
    for (const test::Part& part : parts) {
        EXPECT_NE(part.manifest.state, ArtifactState::quarantined) << part.directory;
        EXPECT_NE(part.manifest.state, ArtifactState::writingWAV) << part.directory;
    }

    // The next start, with the portal quick again, uploads both.
    call.reset();
    voice.reset();
    portal->setFaults({{"stallSeconds", 0.0}});
    startDaemon("daemon-restarted.log");
    EXPECT_TRUE(test::eventually([&] { return portal->uploads().size() >= 2; }, 120s)) << log();
}

} // namespace
} // namespace zoq
