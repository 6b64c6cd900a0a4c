#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCaptureEngine/MicrophonePermission.h"
#include "ZoqCaptureEngine/ProcessScanner.h"
#include "ZoqCaptureEngine/TapSession.h"
#include "tests/SoundServer/SoundServerSupport.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace zoq {
namespace {

using namespace std::chrono_literals;
using test::eventually;

/// Counts the scanner's callbacks and lets the test wait for the next ones.
class Callbacks {
public:
    void deviceChanged() { bump(deviceChanges_); }
    void activity() { bump(activity_); }

    /// Waits until an activity callback came that the last call did not see.
    bool nextActivity(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        const bool came = changed_.wait_for(lock, timeout, [&] { return activity_ > seenActivity_; });
        seenActivity_ = activity_;
        return came;
    }
    int deviceChanges() {
        std::lock_guard lock(mutex_);
        return deviceChanges_;
    }

private:
    void bump(int& counter) {
        std::lock_guard lock(mutex_);
        ++counter;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int deviceChanges_ = 0;
    int activity_ = 0;
    int seenActivity_ = 0;
};

class ProcessScannerOnServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::soundServerKind().empty());
        backend = std::make_unique<LibpulseBackend>();
        scanner = std::make_unique<ProcessScanner>(*backend, AttributionResolver());
        scanner->installListeners([this] { callbacks.deviceChanged(); }, [this] { callbacks.activity(); });
    }

    /// What the engine does on an activity callback.
    ProcessObservation rescan() { return scanner->scan(scanner->isDefaultInputRunningSomewhere()); }

    /// Rescans after each activity callback, as the engine does, until a scan
    /// satisfies `wanted`: so a change is seen by the scan its own callback
    /// causes, not by a later timer.
    bool seenOnActivity(const std::function<bool(const ProcessObservation&)>& wanted) {
        while (callbacks.nextActivity()) {
            if (wanted(rescan())) {
                return true;
            }
        }
        return false;
    }

    Callbacks callbacks;
    std::unique_ptr<LibpulseBackend> backend;
    std::unique_ptr<ProcessScanner> scanner;
};

bool hasActivity(const std::vector<ProcessActivity>& list, const ProcessActivity& activity) {
    return std::find(list.begin(), list.end(), activity) != list.end();
}

bool hasPid(const std::vector<ProcessActivity>& list, pid_t pid) {
    return std::any_of(list.begin(), list.end(),
                       [&](const ProcessActivity& activity) { return activity.pid == pid; });
}

TEST_F(ProcessScannerOnServer, ACallAppOnTheMicrophoneIsSeenOnItsActivityCallbackUntilCorkedOrClosed) {
    EXPECT_FALSE(scanner->isDefaultInputRunningSomewhere());
    test::CallApp app("Call", "org.example.Call");
    const ProcessActivity user{app.pid(), "org.example.Call", true};
    EXPECT_TRUE(
        seenOnActivity([&](const ProcessObservation& seen) { return hasActivity(seen.inputUsers, user); }));

    app.cork();
    EXPECT_TRUE(
        seenOnActivity([&](const ProcessObservation& seen) { return !hasPid(seen.inputUsers, app.pid()); }));
    EXPECT_FALSE(scanner->isDefaultInputRunningSomewhere());
    app.uncork();
    EXPECT_TRUE(
        seenOnActivity([&](const ProcessObservation& seen) { return hasActivity(seen.inputUsers, user); }));

    app.exit();
    EXPECT_TRUE(
        seenOnActivity([&](const ProcessObservation& seen) { return !hasPid(seen.activities, app.pid()); }));
    EXPECT_FALSE(scanner->isDefaultInputRunningSomewhere());
}

TEST_F(ProcessScannerOnServer, APlayingPlayerSetsExternalOutputAndIsNoInputUser) {
    EXPECT_FALSE(rescan().externalOutputRunning);
    test::CallApp app("Call", "org.example.Call");
    const auto player = test::play(5);
    ASSERT_TRUE(eventually([&] { return scanner->scan(true).externalOutputRunning; }));
    const ProcessObservation seen = scanner->scan(true);
    EXPECT_TRUE(hasPid(seen.activities, player->pid()));
    EXPECT_FALSE(hasPid(seen.inputUsers, player->pid()));
    EXPECT_TRUE(hasActivity(seen.inputUsers, ProcessActivity{app.pid(), "org.example.Call", true}));
}

TEST_F(ProcessScannerOnServer, ZoqsOwnCaptureAndALevelMeterAreNotMicrophoneUse) {
    TapSession session(*backend);
    session.start();
    test::CallApp meter("Volume Control", "org.example.Meter", {"--peak"});
    // Wait until the server has linked the meter and runs our streams.
    ASSERT_TRUE(eventually([&] {
        const AudioGraph graph = backend->graph();
        return std::count_if(
                   graph.recordStreams.begin(), graph.recordStreams.end(), [&](const AudioStreamInfo& s) {
                       return s.device && !s.corked &&
                              (s.client == meter.clientIndex() || s.client == backend->ownClientIndex());
                   }) == 3;
    }));
    EXPECT_FALSE(scanner->isDefaultInputRunningSomewhere());
    const ProcessObservation seen = scanner->scan(true);
    EXPECT_TRUE(seen.inputUsers.empty());
    EXPECT_FALSE(hasPid(seen.activities, ::getpid()));
    EXPECT_TRUE(hasActivity(seen.activities, ProcessActivity{meter.pid(), "org.example.Meter", false}));
    session.teardown();
}

TEST_F(ProcessScannerOnServer, TheSignatureFollowsTheDefaultSinkAndItsChangeIsADeviceChange) {
    const std::vector<std::uint64_t> speakers = scanner->hardwareSignature();
    const int before = callbacks.deviceChanges();
    test::pactl({"set-default-sink", "micfeed"});
    EXPECT_TRUE(eventually([&] { return callbacks.deviceChanges() > before; }));
    EXPECT_TRUE(eventually([&] { return scanner->hardwareSignature() != speakers; }));
    test::pactl({"set-default-sink", "speakers"});
    EXPECT_TRUE(eventually([&] { return scanner->hardwareSignature() == speakers; }));
}

bool hasApplication(const std::vector<ProcessActivity>& list, const std::string& id) {
    return std::any_of(list.begin(), list.end(),
                       [&](const ProcessActivity& activity) { return activity.bundleId == id; });
}

// A dictation app that records while the call app only holds its microphone
// corked must not pass for the call app, whatever it says about itself. Both
// servers pass every one of these properties on as the client set it.
TEST_F(ProcessScannerOnServer, AClientThatClaimsTheCallAppsIdentityIsNotTheCallApp) {
    test::CallApp call("Call", "org.example.Call", {"--corked"});
    const std::string callPid = std::to_string(call.pid());
    const std::vector<std::pair<const char*, std::vector<std::string>>> forgeries{
        {"its pid", {"application.process.id=" + callPid}},
        {"its pid as verified", {"pipewire.sec.pid=" + callPid, "client.api=native"}},
        {"its sandbox", {"pipewire.access.portal.app_id=org.example.Call"}},
    };
    for (const auto& [what, properties] : forgeries) {
        std::vector<std::string> options;
        for (const std::string& property : properties) {
            options.insert(options.end(), {"--property", property});
        }
        test::CallApp dictation("Dictation", "org.example.Dictation", options);
        ProcessObservation seen;
        EXPECT_TRUE(eventually([&] {
            seen = rescan();
            return hasApplication(seen.inputUsers, "org.example.Dictation");
        })) << what;
        EXPECT_FALSE(hasApplication(seen.inputUsers, "org.example.Call")) << what;
        EXPECT_TRUE(hasActivity(seen.activities, ProcessActivity{call.pid(), "org.example.Call", false}))
            << what;
        dictation.exit();
    }
}

// Sandboxed applications all report pid 2, their pid inside the sandbox.
TEST_F(ProcessScannerOnServer, TwoClientsReportingTheSamePidStayTwo) {
    test::CallApp other("Other", "org.example.Other", {"--corked", "--property", "application.process.id=2"});
    test::CallApp call("Call", "org.example.Call", {"--property", "application.process.id=2"});
    ProcessObservation seen;
    EXPECT_TRUE(eventually([&] {
        seen = rescan();
        return seen.activities.size() == 2;
    }));
    EXPECT_EQ(seen.inputUsers, std::vector{(ProcessActivity{2, "org.example.Call", true})});
    EXPECT_TRUE(hasActivity(seen.activities, ProcessActivity{2, "org.example.Other", false}));
}

// A native PipeWire client's pid is the one pid a server vouches for: it
// wins over the pid the client claims.
TEST_F(ProcessScannerOnServer, ANativePipeWireClientIsKnownByThePidPipeWireVerified) {
    if (test::soundServerKind() != "pipewire") {
        GTEST_SKIP() << "only PipeWire verifies a client's pid";
    }
    test::CallApp call("Call", "org.example.Call", {"--corked"});
    const char* state = std::getenv("ZOQ_SOUND_SERVER_STATE");
    ASSERT_NE(state, nullptr);
    test::PipedProcess native(
        {"pw-record", "-P",
         "{ application.process.id=" + std::to_string(call.pid()) + " application.id=org.example.Dictation }",
         std::string(state) + "/native.wav"});
    const ProcessActivity dictation{native.pid(), "org.example.Dictation", true};
    ProcessObservation seen;
    EXPECT_TRUE(eventually([&] {
        seen = rescan();
        return hasActivity(seen.inputUsers, dictation);
    }));
    EXPECT_EQ(seen.inputUsers, std::vector{dictation});
}

TEST(SoundServerAccess, TheMicrophoneIsAuthorizedWhenTheServerAcceptsCapture) {
    ASSERT_FALSE(test::soundServerKind().empty());
    LibpulseBackend backend;
    EXPECT_EQ(SoundServerMicrophoneAccess(backend).status(), SoundServerMicrophoneAccess::authorizedStatus);
}

TEST(SoundServerAccess, NoServerIsAClearErrorAtOnce) {
    LibpulseBackend::Options options;
    options.server = "unix:/nonexistent/zoq/native";
    try {
        LibpulseBackend backend(options);
        FAIL() << "connected to nothing";
    } catch (const AudioBackendError& error) {
        EXPECT_EQ(error.code(), AudioBackendError::connectionRefused) << error.what();
        EXPECT_EQ(std::string(error.what()), "connect: Connection refused (6)");
    }
}

// Every call waits for the server for at most the deadline: a server that
// stops answering costs the caller the deadline, never a hang.
TEST(SoundServerAccess, AStoppedServerTimesOutEveryCallAtTheDeadline) {
    ASSERT_FALSE(test::soundServerKind().empty());
    LibpulseBackend::Options options;
    options.deadline = 300ms;
    LibpulseBackend backend(options);
    ProcessScanner scanner(backend, AttributionResolver());
    TapSession session(backend);
    test::stopSoundServer();
    std::string graph, signature, start;
    try {
        backend.graph();
    } catch (const AudioBackendError& error) {
        graph = error.what();
    }
    try {
        scanner.hardwareSignature();
    } catch (const std::exception& error) {
        signature = error.what();
    }
    try {
        session.start();
    } catch (const std::exception& error) {
        start = error.what();
    }
    const ProcessObservation seen = scanner.scan(true);
    test::continueSoundServer();
    EXPECT_EQ(graph, "graph: the sound server did not answer in time (8)");
    EXPECT_EQ(signature, "propertyFailed(\"graph: the sound server did not answer in time (8)\")");
    EXPECT_EQ(start, "propertyFailed(\"graph: the sound server did not answer in time (8)\")");
    EXPECT_EQ(seen, ProcessObservation{});
    EXPECT_NO_THROW(backend.graph());
}

} // namespace
} // namespace zoq
