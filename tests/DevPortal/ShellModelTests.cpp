// The shell model against the development portal, with a fake engine, the
// manual hotkey and an in-memory login item, on a main loop driven by the test.

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
#include "ZoqShell/Transport/StubWireTransport.h"
#include "tests/TestSupport/TempDirectory.h"

#include <condition_variable>
#include <gtest/gtest.h>

namespace zoq {
namespace {

using namespace std::chrono_literals;

class FakeEngine final : public RecordingEngine {
public:
    explicit FakeEngine(EngineConfiguration configuration) : config(std::move(configuration)) {}
    void start() override { calls.push_back("start"); }
    void stop() override {
        calls.push_back("stop");
        const std::lock_guard guard(lock);
        ended = true;
        changed.notify_all();
    }
    void pause() override { calls.push_back("pause"); }
    void resume() override { calls.push_back("resume"); }
    EngineTermination wait() override {
        std::unique_lock guard(lock);
        changed.wait(guard, [this] { return ended; });
        return EngineTermination::stopped();
    }
    const EngineConfiguration config;
    std::vector<std::string> calls;
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
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

    void create(WireTransport& via) {
        model = std::make_unique<ShellModel>(ShellModel::Dependencies{
            settings, loop, via, persistence, temp / "spool", network,
            [] { return std::make_unique<FFmpegFLACEncoder>(); },
            [this](const EngineConfiguration& config, std::shared_ptr<EventSinking>) {
                engines.push_back(std::make_shared<FakeEngine>(config));
                return engines.back();
            },
            [] { return MicrophonePermissionResult{}; },
            [this](GlobalHotKey::Callback pressed) {
                auto made = std::make_unique<ManualGlobalHotKey>(std::move(pressed));
                hotKey = made.get();
                return made;
            },
            loginItems, links, "Test computer", clock, 50ms});
        settle([this] { return model->ready(); });
    }
    void settle(const std::function<bool()>& done) { ASSERT_TRUE(loop.runUntil(done, 20s)); }
    void pair(const std::string& code) {
        bool done = false;
        model->pair(code, [&] { done = true; });
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
    std::unique_ptr<ShellModel> model;
};

TEST_F(ShellModelTest, PortalAddressesPairingAndRecordingThatNeedsAPairedDevice) {
    create(curl);
    EXPECT_FALSE(model->paired());
    model->toggleRecorder();
    EXPECT_EQ(model->pairingMessage(), ShellModel::pairFirst);
    EXPECT_TRUE(engines.empty());

    for (const char* refused : {"ftp://example.org", "http://", "not a url", ""}) {
        EXPECT_FALSE(model->applyPortalURL(refused)) << refused;
        EXPECT_EQ(model->pairingMessage(), ShellModel::portalRefused);
    }
    EXPECT_TRUE(model->applyPortalURL("  " + portal->url() + "/  \n"));
    EXPECT_EQ(settings.apiBaseURLString(), portal->url() + "/");

    pair("0000-0000-0000");
    EXPECT_EQ(model->pairingMessage(), "Pairing failed: rejected(\"invalid_pairing_code\")");
    EXPECT_FALSE(model->paired());
    const std::string installation = ShellPaths::installUUID(settings);

    pair(portal->pairingCode());
    ASSERT_TRUE(model->paired());
    const std::optional<std::string> device = model->currentDeviceId();
    ASSERT_TRUE(device);
    EXPECT_EQ(model->pairingMessage(), "Paired device " + *device);
    EXPECT_EQ(ShellPaths::installUUID(settings), installation) << "the installation keeps its identifier";

    model->toggleRecorder();
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_EQ(engines[0]->config.deviceId, *device);
    model->toggleRecorder();
    EXPECT_FALSE(model->recorder().isRunning());
}

TEST_F(ShellModelTest, StartUpRearmsSettingsRestartAndTheHotkeyPauses) {
    create(curl);
    pair(portal->pairingCode());
    settings.setRecorderEnabled(true);
    model.reset();
    create(curl); // the next start: paired, recording was on
    model->startUp();
    settle([this] { return model->hotkeyRegistered() && model->recorder().isRunning(); });
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_EQ(hotKey->held(), HotkeyConfiguration::standard);

    model->updateAllowlist({"org.example.Call"});
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines[1]->config.allowed, std::set<std::string>{"org.example.Call"});
    model->setChime(false);
    ASSERT_EQ(engines.size(), 3u);
    EXPECT_EQ(engines[2]->config.alertFrequency, 0);

    ASSERT_TRUE(hotKey->press());
    settle([this] { return engines[2]->calls.size() == 2; });
    EXPECT_EQ(engines[2]->calls.back(), "pause");

    model->setLoginItem(true);
    settle([this] { return model->loginItemState() == LoginItemState::registered; });
    loginItems.setRegisterOutcome(LoginItemState::requiresApproval);
    model->setLoginItem(true);
    settle([this] { return model->loginItemState() == LoginItemState::requiresApproval; });
    EXPECT_EQ(links.history().size(), 1u) << "the desktop's startup settings were opened";
}

TEST_F(ShellModelTest, AStalledPortalNeverStallsTheMainLoop) {
    std::mutex lock;
    std::condition_variable released;
    bool release = false;
    StubWireTransport stalled([&](const TransportRequest&) -> TransportResponse {
        std::unique_lock guard(lock);
        released.wait_for(guard, 30s, [&] { return release; });
        throw std::runtime_error("stalled");
    });
    create(stalled);
    bool pairingDone = false;
    model->pair("ABCD-EFGH-JKMN", [&] { pairingDone = true; });
    // While the pairing waits for the portal, the main loop answers.
    for (int i = 0; i < 20; ++i) {
        bool answered = false;
        loop.post([&] { answered = true; });
        settle([&] { return answered; });
    }
    EXPECT_EQ(model->pairingMessage(), ShellModel::pairingInProgress);
    EXPECT_FALSE(pairingDone);
    {
        const std::lock_guard guard(lock);
        release = true;
    }
    released.notify_all();
    settle([&] { return pairingDone; });
    EXPECT_EQ(model->pairingMessage(), "Pairing failed: network");
}

} // namespace
} // namespace zoq
