#pragma once

// A shell model over the development portal, with a fake engine, the manual
// hotkey and an in-memory login item, on a main loop driven by the test.

#include "tools/dev-portal/DevPortal.h"

#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Recorder/MainLoop.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/MemorySecrets.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/ManualGlobalHotKey.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/System/RecordingLinkOpener.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "tests/TestSupport/TempDirectory.h"

#include <condition_variable>
#include <gtest/gtest.h>

namespace zoq::test {

using namespace std::chrono_literals;

/// Records the calls it gets; starting, pausing and resuming report the
/// engine's events as a real engine does (one that boots `paused` when the
/// person's pause is stored), each command against the state the one
/// before left.
class FakeEngine final : public RecordingEngine {
public:
    FakeEngine(EngineConfiguration configuration, std::shared_ptr<EventSinking> events, bool bootPaused)
        : config(std::move(configuration)), sink(std::move(events)), paused(bootPaused) {}
    void start() override {
        calls.push_back("start");
        emit(paused ? "paused" : "armed");
    }
    void stop() override {
        calls.push_back("stop");
        const std::lock_guard guard(lock);
        ended = true;
        changed.notify_all();
    }
    void pause() override {
        calls.push_back("pause");
        paused = true;
        emit("paused");
    }
    void resume() override {
        calls.push_back("resume");
        if (paused) {
            paused = false;
            emit("resumed");
        }
    }
    void togglePause() override {
        calls.push_back("togglePause");
        paused = !paused;
        emit(paused ? "paused" : "resumed");
    }
    void afterCommands(std::function<void()> done) override { done(); }
    EngineTermination wait() override {
        std::unique_lock guard(lock);
        changed.wait(guard, [this] { return ended; });
        return outcome;
    }
    /// Ends the run by itself (a failure), as the engine's queue would.
    void end(EngineTermination how) {
        const std::lock_guard guard(lock);
        outcome = std::move(how);
        ended = true;
        changed.notify_all();
    }
    /// Plays an event as the engine's queue would report it.
    void emit(const std::string& name, EngineEvent::Fields fields = {}) {
        sink->emit(EngineEvent{name, 0, Date{}, std::move(fields)});
    }
    /// Main thread only, like the controller that calls the engine.
    const EngineConfiguration config;
    const std::shared_ptr<EventSinking> sink;
    std::vector<std::string> calls;
    bool paused;
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;                                       // guarded by lock
    EngineTermination outcome = EngineTermination::stopped(); // guarded by lock
};

class ShellModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        portal::PortalOptions options;
        options.dataDirectory = temp / "portal";
        portal = std::make_unique<portal::DevPortal>(options, clock);
        settings.setAPIBaseURLString(portal->url());
    }
    void TearDown() override {
        model.reset();
        for (const auto& engine : engines) {
            engine->stop();
        }
    }

    void create(WireTransport& via, RecorderController::SoundServerProbe soundServerProbe = {}) {
        model = std::make_unique<ShellModel>(ShellModel::Dependencies{
            settings, loop, via, persistence, temp / "spool", network,
            [] { return std::make_unique<FFmpegFLACEncoder>(); },
            [this](const EngineConfiguration& config, std::shared_ptr<EventSinking> events) {
                engines.push_back(std::make_shared<FakeEngine>(config, std::move(events), enginesBootPaused));
                return engines.back();
            },
            [] { return MicrophonePermissionResult{}; },
            [this](GlobalHotKey::Callback pressed) {
                auto made = std::make_unique<ManualGlobalHotKey>(std::move(pressed));
                hotKey = made.get();
                return made;
            },
            loginItems, links, "Test computer", clock, 50ms, std::move(soundServerProbe)});
        settle([this] { return model->ready(); });
    }
    void settle(const std::function<bool()>& done) { ASSERT_TRUE(loop.runUntil(done, 20s)); }
    void pair(const std::string& code) {
        bool done = false;
        model->pair(code, [&](const ShellModel::PairingOutcome&) { done = true; });
        settle([&] { return done; });
    }

    test::TempDirectory temp;
    HostClock clock;
    std::unique_ptr<portal::DevPortal> portal;
    ShellSettings settings{temp / "settings.json"};
    MainLoop loop;
    CurlWireTransport curl;
    KeychainCredentialPersistence persistence{std::make_unique<MemorySecrets>()};
    NullNetwork network;
    MemoryLoginItem loginItems;
    RecordingLinkOpener links;
    ManualGlobalHotKey* hotKey = nullptr;
    std::vector<std::shared_ptr<FakeEngine>> engines;
    /// Whether the next engines start paused (the stored pause of an earlier run).
    bool enginesBootPaused = false;
    std::unique_ptr<ShellModel> model;
};

} // namespace zoq::test
