#include "ZoqCaptureEngine/ProcessScanner.h"
#include "ZoqCaptureEngine/ScannerError.h"
#include "ZoqCaptureEngine/ScriptedAudioBackend.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace zoq {
namespace {

using Strings = std::vector<std::string>;

AudioFormat format(std::uint32_t rate, std::uint32_t channels) {
    return ScriptedAudioBackend::floatFormat(rate, channels);
}

AudioClientIdentity app(std::int32_t pid, std::string id) {
    AudioClientIdentity identity;
    identity.claimedPid = pid;
    identity.applicationId = std::move(id);
    return identity;
}

class ProcessScannerScripted : public ::testing::Test {
protected:
    ProcessScannerScripted() {
        speakers = backend.addSink("speakers", format(48'000, 2));
        mic = backend.addSource("mic", format(48'000, 1));
        backend.setDefaults("mic", "speakers");
        monitor = backend.graph().sourceNamed("speakers.monitor")->index;
    }

    ScriptedAudioBackend backend{std::chrono::milliseconds(20)};
    ProcessScanner scanner{backend, AttributionResolver()};
    std::uint32_t speakers = 0;
    std::uint32_t mic = 0;
    std::uint32_t monitor = 0;
};

// Who counts as using the microphone, stream by stream.
TEST_F(ProcessScannerScripted, OnlyAnotherClientsRunningCaptureOfARealSourceIsInput) {
    struct Case {
        const char* name;
        bool ownClient;
        bool hasClient;
        std::optional<bool> onMic; // absent: not linked yet
        bool corked;
        bool peak;
        bool input;
    };
    const std::vector<Case> cases{
        {"a call app capturing the microphone", false, true, true, false, false, true},
        {"corked", false, true, true, true, false, false},
        {"new on PipeWire: corked and not linked", false, true, std::nullopt, true, false, false},
        {"capturing a monitor (system audio)", false, true, false, false, false, false},
        {"a level meter", false, true, true, false, true, false},
        {"the server's own stream", false, false, true, false, false, false},
        {"this connection's own stream", true, true, true, false, false, false},
    };
    for (const Case& c : cases) {
        ScriptedAudioBackend server;
        server.addSink("speakers", format(48'000, 2));
        const std::uint32_t source = server.addSource("mic", format(48'000, 1));
        server.setDefaults("mic", "speakers");
        const std::uint32_t monitorSource = server.graph().sourceNamed("speakers.monitor")->index;
        const std::uint32_t client =
            c.ownClient ? server.ownClientIndex() : server.addClient(app(100, "org.example.Call"));
        server.addRecordStream(c.hasClient ? std::optional(client) : std::nullopt,
                               c.onMic ? std::optional(*c.onMic ? source : monitorSource) : std::nullopt,
                               c.corked, c.peak);
        ProcessScanner scan(server, AttributionResolver());
        const ProcessObservation observation = scan.scan(true);
        const bool listedAsInput =
            observation.inputUsers == std::vector{ProcessActivity{100, "org.example.Call", true}};
        EXPECT_EQ(listedAsInput, c.input) << c.name;
        EXPECT_EQ(scan.isDefaultInputRunningSomewhere(), c.input && c.onMic == true) << c.name;
        if (c.ownClient) {
            EXPECT_TRUE(observation.activities.empty()) << c.name;
        }
    }
}

/// A client that claims this very process, which the attribution can check.
AudioClientIdentity thisProcess(std::string id) {
    AudioClientIdentity identity = app(::getpid(), std::move(id));
    identity.processBinary = std::filesystem::read_symlink("/proc/self/exe").filename();
    return identity;
}

TEST_F(ProcessScannerScripted, ListsEachProcessOnceAttributedAndPlayersAsOutputOnly) {
    const std::int32_t self = ::getpid();
    const std::uint32_t call = backend.addClient(thisProcess("org.example.Call"));
    const std::uint32_t callHelper = backend.addClient(thisProcess("org.example.Call"));
    const std::uint32_t player = backend.addClient(app(200, "org.example.Player"));
    const std::uint32_t anonymous = backend.addClient(AudioClientIdentity{});
    backend.addRecordStream(callHelper, mic, false);
    backend.addPlaybackStream(call, speakers, true);
    backend.addPlaybackStream(player, speakers, false);
    backend.addPlaybackStream(anonymous, speakers, false);

    const ProcessObservation observation = scanner.scan(true);
    EXPECT_EQ(observation.activities, (std::vector{ProcessActivity{self, "org.example.Call", true},
                                                   ProcessActivity{200, "org.example.Player", false}}));
    EXPECT_EQ(observation.inputUsers, (std::vector{ProcessActivity{self, "org.example.Call", true}}));
    EXPECT_TRUE(observation.externalOutputRunning);
    // While the microphone is idle nobody is listed, but playing still shows;
    // the devices are read in the same pass.
    EXPECT_EQ(scanner.scan(false), (ProcessObservation{{}, {}, true, scanner.hardwareSignature()}));
}

// Which pid the server vouches for: only PipeWire's, only on the client's own
// property list, and not the relay pid every pipewire-pulse client shows.
TEST(ProcessScannerIdentity, OnlyAPidPipeWireTookFromTheSocketIsVerified) {
    const std::string pipewire = "PulseAudio (on PipeWire 0.3.65)";
    struct Case {
        const char* name;
        std::string server;
        std::optional<std::int32_t> ownPid;    ///< on this connection's client
        std::optional<std::int32_t> clientPid; ///< on the other client's list
        std::optional<std::int32_t> streamPid; ///< on its stream's list
        std::optional<std::int32_t> verified;
    };
    const std::vector<Case> cases{
        {"a native PipeWire client", pipewire, 900, 4242, std::nullopt, 4242},
        {"a relayed client shows the relay's pid", pipewire, 900, 900, std::nullopt, std::nullopt},
        {"set on the stream by the client", pipewire, 900, 900, 1, std::nullopt},
        {"the relay unknown", pipewire, std::nullopt, 4242, std::nullopt, std::nullopt},
        {"PulseAudio passes on what the client set", "pulseaudio", std::nullopt, 1, 1, std::nullopt},
        {"PulseAudio, even when ours carries one", "pulseaudio", 900, 1, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        AudioGraph graph;
        graph.serverName = c.server;
        graph.clients = {AudioClientInfo{1, app(100, "zoq"), c.ownPid},
                         AudioClientInfo{2, app(1, "org.example.Dictation"), c.clientPid}};
        AudioStreamInfo stream{7, 2, 3, false, false, app(1, "")};
        stream.identity.verifiedPid = c.streamPid;
        const AudioClientIdentity identity = ProcessScanner::identityOf(stream, graph, 1);
        EXPECT_EQ(identity.verifiedPid, c.verified) << c.name;
        EXPECT_EQ(identity.claimedPid, 1) << c.name;
        EXPECT_EQ(identity.applicationId, "org.example.Dictation") << c.name;
    }
}

TEST_F(ProcessScannerScripted, AnUnreachableServerGivesAnEmptyObservation) {
    backend.addRecordStream(backend.addClient(app(100, "org.example.Call")), mic, false);
    backend.setStalled(true);
    EXPECT_EQ(scanner.scan(true), ProcessObservation{});
    EXPECT_FALSE(scanner.isDefaultInputRunningSomewhere());
}

TEST_F(ProcessScannerScripted, ListenersRouteDeviceChangesAndCaptureActivityUntilRemoved) {
    std::atomic<int> deviceChanges = 0, activity = 0;
    scanner.installListeners([&] { ++deviceChanges; }, [&] { ++activity; });
    EXPECT_EQ(scanner.listenerCount(), 1u);

    const std::uint32_t client = backend.addClient(app(100, "org.example.Call"));
    const std::uint32_t stream = backend.addRecordStream(client, std::nullopt, true);
    backend.updateStream(stream, mic, false);
    backend.addPlaybackStream(client, speakers, false);
    EXPECT_EQ(activity.load(), 2);
    EXPECT_EQ(deviceChanges.load(), 0);
    backend.setDefaults("speakers.monitor", "speakers");
    backend.addSink("headset", format(48'000, 2));
    EXPECT_EQ(deviceChanges.load(), 3); // the server, the sink and its monitor

    scanner.removeListeners();
    EXPECT_EQ(scanner.listenerCount(), 0u);
    EXPECT_TRUE(scanner.removalErrors().empty());
    backend.removeStream(stream);
    backend.setDefaults("mic", "speakers");
    EXPECT_EQ(activity.load(), 2);
    EXPECT_EQ(deviceChanges.load(), 3);
}

TEST_F(ProcessScannerScripted, ALostConnectionIsADeviceChangeAndListenersCannotBeInstalledWithoutOne) {
    std::atomic<int> deviceChanges = 0;
    scanner.installListeners([&] { ++deviceChanges; }, [] {});
    backend.disconnect();
    EXPECT_EQ(deviceChanges.load(), 1);
    try {
        scanner.installListeners([] {}, [] {});
        FAIL() << "installed listeners without a connection";
    } catch (const ScannerError& error) {
        EXPECT_EQ(error.text(), "add_listener:client_index: Connection terminated (11)");
    }
    EXPECT_EQ(scanner.listenerCount(), 0u);
}

TEST(ListenerLease, ASwitchedOffLeaseRunsNothing) {
    ListenerLease lease;
    int runs = 0;
    lease.ifActive([&] { ++runs; });
    lease.deactivate();
    lease.ifActive([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(lease.isActive());
}

TEST_F(ProcessScannerScripted, TheHardwareSignatureChangesWithTheDefaultDevicesAndTheirFormats) {
    const std::vector<std::uint64_t> signature = scanner.hardwareSignature();
    EXPECT_EQ(scanner.hardwareSignature(), signature);
    EXPECT_EQ(signature.size(), 10u);

    backend.addSink("headset", format(44'100, 2));
    EXPECT_EQ(scanner.hardwareSignature(), signature); // not the default
    backend.setDefaults("mic", "headset");
    const std::vector<std::uint64_t> headset = scanner.hardwareSignature();
    EXPECT_NE(headset, signature);

    // The same device name, but a new device with another channel map.
    backend.removeDevice("headset");
    backend.addSink("headset", AudioFormat{"float32le", 44'100, 2, {"front-right", "front-left"}});
    backend.setDefaults("mic", "headset");
    const std::vector<std::uint64_t> swapped = scanner.hardwareSignature();
    EXPECT_NE(std::vector(swapped.begin() + 2, swapped.end()),
              std::vector(headset.begin() + 2, headset.end()));
}

TEST_F(ProcessScannerScripted, TheHardwareSignatureFailsClearlyWithoutDevicesOrServer) {
    const auto failure = [&] {
        try {
            scanner.hardwareSignature();
        } catch (const ScannerError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    backend.setDefaults("mic", "gone");
    EXPECT_EQ(failure(), "propertyFailed(\"device_format:sink \"gone\"\")");
    backend.setStalled(true);
    EXPECT_EQ(failure(), "propertyFailed(\"graph: the sound server did not answer in time (8)\")");
}

TEST(FourCC, PrintableCodesAreTheirFourCharactersOthersAreDecimal) {
    EXPECT_EQ(fourCC(0x77686174), "what");
    EXPECT_EQ(fourCC(0x21646174), "!dat");
    EXPECT_EQ(fourCC(static_cast<std::int32_t>(0x80646174u)),
              std::to_string(static_cast<std::int32_t>(0x80646174u)));
    EXPECT_EQ(fourCC(5), "5");
    EXPECT_EQ(fourCC(-1), "-1");
}

} // namespace
} // namespace zoq
