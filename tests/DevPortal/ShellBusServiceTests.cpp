// The session-bus service over a shell model (development portal, fake
// engine) on a private dbus-daemon: its methods, properties and signals as a
// client sees them, the single-instance rule, and the `zoq` commands that
// talk to it.

#include "Zoq/zoq/CommandLine.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Service/ShellBusClient.h"
#include "ZoqShell/Service/ShellBusError.h"
#include "ZoqShell/Service/ShellBusInterface.h"
#include "ZoqShell/Service/ShellBusProperties.h"
#include "ZoqShell/Service/ShellBusService.h"
#include "tests/DevPortal/ShellModelFixture.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TestAudio.h"
#include "tests/TestSupport/TestPrograms.h"

#include <condition_variable>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zoq {
namespace {

/// A refused code: the fixed text, then what it means for the person.
const std::string refusedCodeMessage = "Pairing failed: rejected(\"invalid_pairing_code\")\n" +
                                       plain::words(PairingError::rejected("invalid_pairing_code"));

using namespace std::chrono_literals;

/// Collects the names of every property the service announces as changed,
/// on a connection and a thread of its own.
class PropertyWatcher {
public:
    explicit PropertyWatcher(const std::string& address) : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        std::promise<void> subscribed;
        auto ready = subscribed.get_future();
        thread_ = std::thread([this, address, subscribed = std::move(subscribed)]() mutable {
            const sdbus::Bus bus = sdbus::open(sdbus::Kind::user, address);
            sd_bus_slot* slot = nullptr;
            sdbus::check(sd_bus_match_signal(bus.get(), &slot, shellbus::busName, shellbus::objectPath,
                                             "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                             &PropertyWatcher::onChanged, this),
                         "sd_bus_match_signal");
            const sdbus::Slot match(slot);
            subscribed.set_value();
            while (!stopping_.load() && sdbus::processThenWait(bus.get(), wake_.get())) {
            }
        });
        ready.get();
    }
    ~PropertyWatcher() {
        stopping_.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
        thread_.join();
    }
    PropertyWatcher(const PropertyWatcher&) = delete;
    PropertyWatcher& operator=(const PropertyWatcher&) = delete;

    bool saw(const std::string& name) {
        const std::lock_guard guard(lock_);
        return seen_.contains(name);
    }

private:
    static int onChanged(sd_bus_message* message, void* context, sd_bus_error*) {
        auto& self = *static_cast<PropertyWatcher*>(context);
        const char* interface = nullptr;
        if (sd_bus_message_read(message, "s", &interface) < 0 ||
            sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
            return 0;
        }
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* name = nullptr;
            sd_bus_message_read(message, "s", &name);
            sd_bus_message_skip(message, "v");
            sd_bus_message_exit_container(message);
            const std::lock_guard guard(self.lock_);
            self.seen_.insert(name);
        }
        return 0;
    }

    FileDescriptor wake_;
    std::atomic<bool> stopping_ = false;
    std::mutex lock_;
    std::set<std::string> seen_; // guarded by lock_
    std::thread thread_;
};

class ShellBusServiceTest : public test::ShellModelTest {
protected:
    void SetUp() override {
        // Before any thread starts: the commands find the service through it.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (temp / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (temp / "data").c_str(), 1);
        ShellModelTest::SetUp();
    }

    std::unique_ptr<ShellBusService> serve() {
        auto service = std::make_unique<ShellBusService>(
            loop, [this] { ++shown; }, bus.address());
        EXPECT_TRUE(service->ownsName());
        service->attach(*model);
        return service;
    }

    /// Runs `work` (a blocking bus call) on a thread of its own while this
    /// thread runs the main loop, which answers it.
    template <typename Work>
    auto ask(Work work) {
        auto answer = std::async(std::launch::async, [this, work] {
            struct WakeLoop {
                MainLoop& loop;
                ~WakeLoop() {
                    loop.post([] {});
                }
            } wake{loop};
            return work();
        });
        settle([&] { return answer.wait_for(0s) == std::future_status::ready; });
        return answer.get();
    }

    /// The D-Bus error `work` ends with, as "name: message".
    template <typename Work>
    std::string errorOf(Work work) {
        try {
            ask([&] {
                work();
                return 0;
            });
        } catch (const ShellBusError& error) {
            return error.name() + ": " + error.what();
        }
        return "no error";
    }

    struct Result {
        int code;
        std::string out;
        std::string err;
    };
    Result run(const std::vector<std::string>& args) {
        return ask([args] {
            std::istringstream in;
            std::ostringstream out;
            std::ostringstream err;
            const int code = cli::run(args, {in, out, err});
            return Result{code, out.str(), err.str()};
        });
    }

    test::PrivateBus bus;
    int shown = 0;
};

TEST_F(ShellBusServiceTest, MethodsPropertiesAndSignalsOverTheModel) {
    // A published recording waiting in the spool: it shows in Rows.
    const CaptureSegment segment{"1b4e28ba-2fa1-41d2-883f-0016d3cca427", 0, "us.example.call",
                                 Date{800'000'000.0}, 0};
    ManualClock manual;
    test::FakeFLACEncoder encoder;
    std::filesystem::create_directories(temp / "spool");
    auto artifact =
        Artifact::create(temp / "spool" / (segment.captureSessionId + "-0"), segment,
                         "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11", manual, std::make_shared<DurableIO>());
    artifact->append(test::syntheticPCM(pcm::minimumPartFrames, 5));
    artifact->finalise(encoder, segment.startedAt + 20.0, false);
    artifact.reset();

    create(curl);
    const auto service = serve();
    PropertyWatcher watcher(bus.address());
    const auto client = ShellBusClient::connect(bus.address());
    ASSERT_TRUE(client);
    settle([this] { return model->rows().size() == 1; });

    const ShellStatus first = ask([&] { return client->status(); });
    EXPECT_EQ(first, ShellStatus::of(*model)) << "every property reads back as the model has it";
    EXPECT_TRUE(first.ready);
    EXPECT_EQ(first.statusLine, "Recorder stopped");
    EXPECT_EQ(first.recorderState, "stopped");
    EXPECT_EQ(first.portal, portal->url());
    ASSERT_EQ(first.rows.size(), 1u);
    EXPECT_EQ(first.rows[0].state, ArtifactState::ready);

    // Refusals are D-Bus errors with a sentence for people.
    EXPECT_EQ(errorOf([&] { client->startRecording(); }),
              "org.zoq.Zoq.Error.NotPaired: Pair your device before recording");
    EXPECT_EQ(model->pairingMessage(), ShellModel::pairFirst) << "the menu says it too";
    for (const auto call : {&ShellBusClient::pause, &ShellBusClient::resume, &ShellBusClient::togglePause}) {
        EXPECT_EQ(errorOf([&] { (client.get()->*call)(); }),
                  "org.zoq.Zoq.Error.NotRunning: The recorder is not running");
    }
    EXPECT_EQ(errorOf([&] { client->uploadNow(); }),
              "org.zoq.Zoq.Error.NotPaired: This device is not paired; pair it first");
    EXPECT_EQ(errorOf([&] { client->pair(""); }),
              "org.freedesktop.DBus.Error.InvalidArgs: A pairing code is required");
    EXPECT_EQ(errorOf([&] { client->pair("0000-0000-0000"); }),
              "org.zoq.Zoq.Error.PairingFailed: " + refusedCodeMessage);
    EXPECT_EQ(ask([&] { return client->applyPortalURL("ftp://example.org"); }),
              std::make_pair(false, std::string(ShellModel::portalRefused)));
    EXPECT_EQ(ask([&] { return client->applyPortalURL(" " + portal->url() + " "); }),
              std::make_pair(true, portal->url() + "/"));
    EXPECT_EQ(settings.apiBaseURLString(), portal->url() + "/");

    // Pairing replies once the portal has answered.
    const std::string paired = ask([&] { return client->pair(portal->pairingCode()); });
    ASSERT_TRUE(model->currentDeviceId());
    EXPECT_EQ(paired, "Paired device " + *model->currentDeviceId());

    // Start, pause (twice: the second changes nothing), resume, toggle, stop.
    ask([&] {
        client->startRecording();
        client->startRecording();
        return 0;
    });
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_EQ(ask([&] { return client->status(); }).statusLine, "Armed — waiting for an allowed app");
    ask([&] {
        client->pause();
        return 0;
    });
    settle([this] { return model->recorder().uiState() == RecorderUIState::paused; });
    ask([&] {
        client->pause();
        client->resume();
        client->togglePause();
        return 0;
    });
    EXPECT_EQ(engines[0]->calls,
              (std::vector<std::string>{"start", "pause", "pause", "resume", "togglePause"}));
    EXPECT_EQ(model->recorder().uiState(), RecorderUIState::paused) << "each reply came after its effect";
    ask([&] {
        client->stopRecording();
        client->uploadNow();
        return 0;
    });
    EXPECT_FALSE(model->recorder().isRunning());

    for (const char* name :
         {"Running", "RecorderState", "StatusLine", "Paired", "DeviceId", "PairingMessage"}) {
        settle([&] { return watcher.saw(name); });
    }
    EXPECT_FALSE(watcher.saw("BlockedAuth")) << "unchanged properties are not announced";

    service->detach();
    EXPECT_EQ(ask([&] { return client->status(); }), ShellStatus{})
        << "a detached service shows nothing stale";
    EXPECT_EQ(errorOf([&] { client->startRecording(); }),
              "org.zoq.Zoq.Error.NotReady: zoq is still starting; try again in a moment");
}

TEST_F(ShellBusServiceTest, ASecondStartFindsTheNameTakenAndShowsTheFirst) {
    create(curl);
    auto service = serve();
    {
        const ShellBusService second(
            loop, [] { ADD_FAILURE() << "the second instance shows nothing"; }, bus.address());
        EXPECT_FALSE(second.ownsName());
    }
    ask([&] {
        ShellBusClient::connect(bus.address())->show();
        return 0;
    });
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(bus.hasOwner(shellbus::busName)) << "the second instance left the first alone";

    service.reset();
    EXPECT_TRUE(test::eventually([&] { return !bus.hasOwner(shellbus::busName); }));
    EXPECT_EQ(ShellBusClient::connect(bus.address()), nullptr);
    EXPECT_TRUE(ShellBusService(
                    loop, [] {}, bus.address())
                    .ownsName())
        << "the next start takes the name";
}

TEST_F(ShellBusServiceTest, CommandsTalkToTheRunningService) {
    std::filesystem::create_directories(temp / "config" / "zoq");
    std::ofstream(temp / "config" / "zoq" / "settings.json")
        << R"({"credentialStore": "file", "apiBaseURL": ")" << portal->url() << "\"}";
    create(curl);
    pair(portal->pairingCode());

    for (const char* command : {"start", "stop", "pause", "resume", "upload-now"}) {
        const Result result = run({command});
        EXPECT_EQ(result.code, cli::exitNotRunning) << command;
        EXPECT_EQ(result.err, "zoq: zoq is not running (start it with `zoq daemon` or the tray)\n")
            << command;
    }
    const Result alone = run({"status", "--json"});
    EXPECT_EQ(JSONValue::parse(alone.out).find("service")->isNull(), true) << alone.out << alone.err;

    const auto service = serve();
    EXPECT_EQ(run({"start"}).out, "Armed — waiting for an allowed app\n");
    EXPECT_EQ(run({"pause"}).out, "Paused\n");
    EXPECT_EQ(run({"resume"}).out, "Armed — waiting for an allowed app\n");
    const Result status = run({"status", "--json"});
    const JSONValue live = *JSONValue::parse(status.out).find("service");
    EXPECT_EQ(*live.find("recorderState")->string(), "armed") << status.out;
    EXPECT_EQ(*live.find("statusLine")->string(), "Armed — waiting for an allowed app");
    EXPECT_EQ(live.find("running")->boolean(), true);
    EXPECT_NE(run({"status"}).out.find("zoq: running, Armed — waiting for an allowed app\nrecorder: armed\n"),
              std::string::npos);

    const Result uploaded = run({"upload-now"});
    EXPECT_EQ(uploaded.code, cli::exitSuccess) << uploaded.err;
    EXPECT_EQ(run({"upload"}).code, cli::exitSuccess) << "the service makes the pass";
    const Result refused = run({"pair", "0000-0000-0000"});
    EXPECT_EQ(refused.code, cli::exitFailure);
    EXPECT_EQ(refused.out, "Pairing failed: rejected(\"invalid_pairing_code\")\n") << "the service paired";
    EXPECT_EQ(run({"stop"}).out, "Recorder stopped\n");
    EXPECT_EQ(engines[0]->calls, (std::vector<std::string>{"start", "pause", "resume", "stop"}));
}

/// The real transport, except that pairing redemptions wait until released,
/// so that other calls can come in while a pairing is under way.
class GatedPairing final : public WireTransport {
public:
    explicit GatedPairing(WireTransport& next) : next_(next) {}

    TransportResponse execute(const TransportRequest& request) override {
        if (request.url.ends_with("/api/v1/devices/pair")) {
            std::unique_lock guard(lock_);
            ++waiting_;
            changed_.notify_all();
            changed_.wait_for(guard, 30s, [this] { return open_; });
        }
        return next_.execute(request);
    }
    int waiting() {
        const std::lock_guard guard(lock_);
        return waiting_;
    }
    void open() {
        {
            const std::lock_guard guard(lock_);
            open_ = true;
        }
        changed_.notify_all();
    }

private:
    WireTransport& next_;
    std::mutex lock_;
    std::condition_variable changed_;
    int waiting_ = 0;   // guarded by lock_
    bool open_ = false; // guarded by lock_
};

TEST_F(ShellBusServiceTest, EachPairCallIsAnsweredWithItsOwnOutcome) {
    GatedPairing gated(curl);
    create(gated);
    const auto service = serve();
    const auto client = ShellBusClient::connect(bus.address());
    // Clients of their own, each waiting on a thread of its own.
    auto first = std::async(std::launch::async, [this] {
        return ShellBusClient::connect(bus.address())->pair(portal->pairingCode());
    });
    settle([&] { return gated.waiting() == 1; });
    auto wrongCode = std::async(std::launch::async, [this]() -> std::string {
        try {
            return ShellBusClient::connect(bus.address())->pair("0000-0000-0000");
        } catch (const ShellBusError& error) {
            return error.name() + ": " + error.what();
        }
    });

    // Other clients' calls while the first pairing waits on the portal.
    EXPECT_EQ(errorOf([&] { client->startRecording(); }),
              "org.zoq.Zoq.Error.NotPaired: Pair your device before recording");
    EXPECT_EQ(ask([&] { return client->applyPortalURL("ftp://x"); }),
              std::make_pair(false, std::string(ShellModel::portalRefused)));

    gated.open();
    settle([&] { return first.wait_for(0s) == std::future_status::ready; });
    const std::string paired = first.get();
    ASSERT_TRUE(model->currentDeviceId());
    EXPECT_EQ(paired, "Paired device " + *model->currentDeviceId());
    settle([&] { return wrongCode.wait_for(0s) == std::future_status::ready; });
    EXPECT_EQ(wrongCode.get(), "org.zoq.Zoq.Error.PairingFailed: " + refusedCodeMessage);
    EXPECT_TRUE(model->paired()) << "a failed pairing leaves the credentials in force";
}

TEST_F(ShellBusServiceTest, AnotherPortalNeedsItsOwnPairingAndTheOldOneComesBack) {
    portal::PortalOptions options;
    options.dataDirectory = temp / "second-portal";
    const portal::DevPortal second(options, clock);
    create(curl);
    const auto service = serve();
    const auto client = ShellBusClient::connect(bus.address());
    ask([&] { return client->pair(portal->pairingCode()); });
    const std::optional<std::string> firstDevice = model->currentDeviceId();
    ASSERT_TRUE(firstDevice);
    const std::string firstAddress = settings.apiBaseURLString();

    // Any program on the bus may point zoq elsewhere; the credentials stay.
    EXPECT_EQ(ask([&] { return client->applyPortalURL(second.url()); }),
              std::make_pair(true, std::string(ShellModel::portalChangedMessage)));
    ShellStatus status = ask([&] { return client->status(); });
    EXPECT_FALSE(status.paired);
    EXPECT_EQ(status.pairingMessage, ShellModel::portalChangedMessage);
    EXPECT_EQ(status.statusLine, ShellModel::portalChangedMessage);
    EXPECT_EQ(status.portal, second.url() + "/");
    EXPECT_EQ(errorOf([&] { client->uploadNow(); }),
              "org.zoq.Zoq.Error.NotPaired: This device is not paired; pair it first");
    // The same portal again changes nothing.
    EXPECT_EQ(ask([&] { return client->applyPortalURL(second.url() + "/"); }),
              std::make_pair(true, std::string(ShellModel::portalChangedMessage)));

    // A pairing that fails, or an address that is refused, changes nothing.
    EXPECT_EQ(errorOf([&] { client->pairWithPortal(portal->url(), "0000-0000-0000"); }),
              "org.zoq.Zoq.Error.PairingFailed: " + refusedCodeMessage);
    EXPECT_EQ(settings.apiBaseURLString(), second.url() + "/");
    for (const std::string refused :
         {"http://user:pw@127.0.0.1:1/", "http://portal.example/", "http://127.0.0.1:0/", "https://[::1"}) {
        EXPECT_EQ(errorOf([&] { client->pairWithPortal(refused, second.pairingCode()); }),
                  "org.zoq.Zoq.Error.InvalidPortalURL: Portal URL invalid — not applied")
            << refused;
        EXPECT_EQ(ask([&] { return client->applyPortalURL(refused); }),
                  std::make_pair(false, std::string(ShellModel::portalRefused)))
            << refused;
    }
    EXPECT_EQ(settings.apiBaseURLString(), second.url() + "/");
    EXPECT_EQ(model->currentDeviceId(), firstDevice);

    // Set back: paired again, with the same credentials.
    EXPECT_EQ(ask([&] { return client->applyPortalURL(portal->url()); }),
              std::make_pair(true, portal->url() + "/"));
    status = ask([&] { return client->status(); });
    EXPECT_TRUE(status.paired);
    EXPECT_EQ(status.pairingMessage, "");
    EXPECT_EQ(model->currentDeviceId(), firstDevice);

    // A pairing with the second portal moves everything there.
    const std::string moved = ask([&] { return client->pairWithPortal(second.url(), second.pairingCode()); });
    ASSERT_TRUE(model->currentDeviceId());
    EXPECT_EQ(moved, "Paired device " + *model->currentDeviceId());
    EXPECT_EQ(settings.apiBaseURLString(), second.url() + "/");
    EXPECT_TRUE(ask([&] { return client->status(); }).paired);
    EXPECT_EQ(ask([&] { return client->applyPortalURL(firstAddress); }),
              std::make_pair(true, std::string(ShellModel::portalChangedMessage)))
        << "the first portal's credentials are gone";
}

// Commands a client sends back to back reach the main thread before the
// first has shown its effect; each is still applied, in its order.
TEST_F(ShellBusServiceTest, CommandsSentBackToBackAreAppliedInTheirOrder) {
    create(curl);
    pair(portal->pairingCode());
    const auto service = serve();
    const auto client = ShellBusClient::connect(bus.address());
    ask([&] {
        client->startRecording();
        return 0;
    });
    settle([this] { return model->recorder().uiState() == RecorderUIState::armed; });

    const struct {
        std::vector<const char*> methods;
        RecorderUIState after;
    } rounds[] = {
        {{"Pause", "Resume"}, RecorderUIState::armed},
        {{"Pause", "Resume", "Pause"}, RecorderUIState::paused},
        {{"Resume", "Pause", "Resume"}, RecorderUIState::armed},
        {{"TogglePause", "TogglePause", "TogglePause"}, RecorderUIState::paused},
        {{"Resume", "TogglePause", "TogglePause"}, RecorderUIState::armed},
    };
    for (const auto& round : rounds) {
        std::atomic<int> replies = 0;
        std::atomic<int> failures = 0;
        std::promise<void> sent;
        auto worker = std::async(std::launch::async, [&] {
            const sdbus::Bus raw = sdbus::open(sdbus::Kind::user, bus.address());
            const auto onReply = [](sd_bus_message* reply, void* context, sd_bus_error*) -> int {
                auto* counts = static_cast<std::pair<std::atomic<int>*, std::atomic<int>*>*>(context);
                if (sd_bus_message_is_method_error(reply, nullptr) != 0) {
                    ++*counts->second;
                }
                ++*counts->first;
                return 0;
            };
            std::pair<std::atomic<int>*, std::atomic<int>*> counts{&replies, &failures};
            for (const char* method : round.methods) {
                sdbus::check(sd_bus_call_method_async(raw.get(), nullptr, shellbus::busName,
                                                      shellbus::objectPath, shellbus::interfaceName, method,
                                                      onReply, &counts, ""),
                             method);
            }
            sdbus::check(sd_bus_flush(raw.get()), "flush");
            sent.set_value();
            while (replies.load() < static_cast<int>(round.methods.size())) {
                sdbus::check(sd_bus_process(raw.get(), nullptr), "process");
                (void)sd_bus_wait(raw.get(), 50'000);
            }
            loop.post([] {});
        });
        sent.get_future().wait();
        // The main thread is not running: the service's bus thread hands it
        // every call of the round before it handles the first.
        std::this_thread::sleep_for(300ms);
        settle([&] { return replies.load() == static_cast<int>(round.methods.size()); });
        worker.get();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(model->recorder().uiState(), round.after)
            << round.methods.size() << " " << round.methods[0];
    }
}

// Waiting for the sound server to come back, recording counts as on, and a
// stop ends the wait and is kept for the next start.
TEST_F(ShellBusServiceTest, StopEndsWaitingForTheSoundServer) {
    std::filesystem::create_directories(temp / "config" / "zoq");
    std::ofstream(temp / "config" / "zoq" / "settings.json")
        << R"({"credentialStore": "file", "apiBaseURL": ")" << portal->url() << "\"}";
    create(curl, [] { return false; });
    pair(portal->pairingCode());
    const auto service = serve();
    EXPECT_EQ(run({"start"}).code, cli::exitSuccess);
    ASSERT_EQ(engines.size(), 1u);
    engines[0]->end(EngineTermination::failure("tap_start_failed:connect: Connection refused (6)"));
    settle([this] { return model->recorder().awaitingSoundServer(); });

    const JSONValue waiting = *JSONValue::parse(run({"status", "--json"}).out).find("service");
    EXPECT_EQ(waiting.find("running")->boolean(), true);
    EXPECT_NE(waiting.find("statusLine")->string()->find("sound server"), std::string::npos);
    EXPECT_TRUE(model->recorder().isRunning()) << "the menu offers to stop it";
    EXPECT_TRUE(settings.recorderEnabled());

    const Result stopped = run({"stop"});
    EXPECT_EQ(stopped.code, cli::exitSuccess) << stopped.err;
    EXPECT_EQ(stopped.out, "Recorder stopped\n");
    EXPECT_FALSE(model->recorder().isRunning());
    EXPECT_FALSE(model->recorder().awaitingSoundServer());
    EXPECT_FALSE(settings.recorderEnabled()) << "the next start stays off";
}

// The service dies while a command waits for its answer: the command says
// so in words, as when no zoq runs, rather than in the bus's own.
TEST_F(ShellBusServiceTest, ACommandWhoseServiceDiesMeanwhileSaysSo) {
    std::promise<void> owned;
    std::atomic<bool> called = false;
    std::thread dying([&] {
        const sdbus::Bus own = sdbus::open(sdbus::Kind::user, bus.address());
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD(
                "Pause", "", "",
                [](sd_bus_message*, void* context, sd_bus_error*) -> int {
                    static_cast<std::atomic<bool>*>(context)->store(true);
                    return 1; // never answered
                },
                SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_slot* slot = nullptr;
        sdbus::check(sd_bus_add_object_vtable(own.get(), &slot, shellbus::objectPath, shellbus::interfaceName,
                                              table, &called),
                     "vtable");
        const sdbus::Slot object(slot);
        sdbus::check(sd_bus_request_name(own.get(), shellbus::busName, 0), "name");
        owned.set_value();
        while (!called.load()) {
            sdbus::check(sd_bus_process(own.get(), nullptr), "process");
            (void)sd_bus_wait(own.get(), 50'000);
        }
    }); // the connection closes with the call unanswered
    owned.get_future().wait();
    const Result result = run({"pause"});
    dying.join();
    EXPECT_EQ(result.code, cli::exitNotRunning);
    EXPECT_EQ(result.err, "zoq: zoq stopped while handling the request\n");
}

// Every field of a row, present or absent, reads back as it was written; a
// row whose state word this client does not know is refused, not guessed.
TEST(ShellBusProperties, RowsReadBackExactly) {
    const test::PrivateBus bus;
    const sdbus::Bus connection = sdbus::open(sdbus::Kind::user, bus.address());
    const auto roundTrip = [&](const ShellStatus& written, ShellStatus& read) {
        sd_bus_message* raw = nullptr;
        sdbus::check(sd_bus_message_new_signal(connection.get(), &raw, "/t", "t.T", "T"), "new");
        const sdbus::Message message(raw);
        const shellbus::Property& rows = *shellbus::propertyNamed("Rows");
        sdbus::check(rows.append(message.get(), written), "append");
        sdbus::check(sd_bus_message_seal(message.get(), 1, 0), "seal");
        sdbus::check(sd_bus_message_rewind(message.get(), 1), "rewind");
        return rows.read(message.get(), read);
    };
    ShellStatus written;
    UploadRow bare;
    bare.directoryName = "1b4e28ba-2fa1-41d2-883f-0016d3cca427-0";
    UploadRow full{"1b4e28ba-2fa1-41d2-883f-0016d3cca427-1",
                   ArtifactState::retryWait,
                   QueueStage::retryWait,
                   "0123abcd-0000-4000-8000-000000000000",
                   5,
                   Date::fromUnix(1'796'000'000.5),
                   "io(\"send\", 104) — ünïcode",
                   true,
                   16'777'216,
                   40'000'000,
                   // Not on the bus: the window reads them from the model.
                   {},
                   Date{},
                   0};
    written.rows = {bare, full};
    ShellStatus read;
    ASSERT_GE(roundTrip(written, read), 0);
    ASSERT_EQ(read.rows.size(), 2u);
    EXPECT_EQ(read.rows[0], bare);
    EXPECT_EQ(read.rows[1], full);
    EXPECT_EQ(shellbus::changedProperties(written, read), std::vector<const char*>{});

    // A state word from a newer zoq: the whole value is refused.
    sd_bus_message* raw = nullptr;
    sdbus::check(sd_bus_message_new_signal(connection.get(), &raw, "/t", "t.T", "T"), "new");
    const sdbus::Message message(raw);
    sdbus::check(sd_bus_message_open_container(message.get(), 'a', shellbus::rowSignature), "open");
    sdbus::check(sd_bus_message_append(message.get(), shellbus::rowSignature, "d-0", "FLOATING",
                                       "READY_TO_UPLOAD", "", std::int64_t{0}, 0.0, "", 0, std::int64_t{0},
                                       std::int64_t{0}, ""),
                 "append");
    sdbus::check(sd_bus_message_close_container(message.get()), "close");
    sdbus::check(sd_bus_message_seal(message.get(), 2, 0), "seal");
    sdbus::check(sd_bus_message_rewind(message.get(), 1), "rewind");
    EXPECT_EQ(shellbus::propertyNamed("Rows")->read(message.get(), read), -EBADMSG);
}

} // namespace
} // namespace zoq
