// The shell model against the development portal, with a fake engine, the
// manual hotkey and an in-memory login item, on a main loop driven by the test.

#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "tests/DevPortal/ShellModelFixture.h"

namespace zoq {
namespace {

using test::ShellModelTest;
using namespace std::chrono_literals;

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
    EXPECT_EQ(model->pairingMessage(), "Pairing failed: rejected(\"invalid_pairing_code\")\n" +
                                           plain::words(PairingError::rejected("invalid_pairing_code")));
    EXPECT_FALSE(model->paired());
    const std::string installation = ShellPaths::installUUID(settings);

    pair(portal->pairingCode());
    ASSERT_TRUE(model->paired());
    const std::optional<std::string> device = model->currentDeviceId();
    ASSERT_TRUE(device);
    EXPECT_EQ(model->pairingMessage(), "Paired device " + *device);
    EXPECT_EQ(ShellPaths::installUUID(settings), installation) << "the installation keeps its identifier";

    // Pairing is how a person starts: recording comes on by itself.
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_TRUE(model->recorder().isRunning());
    EXPECT_EQ(engines[0]->config.deviceId, *device);
    model->toggleRecorder();
    EXPECT_FALSE(model->recorder().isRunning());
    EXPECT_FALSE(settings.recorderEnabled());
}

TEST_F(ShellModelTest, StartUpRearmsSettingsRestartAndTheHotkeyPauses) {
    create(curl);
    // Switched off before pairing: the pairing leaves it off.
    settings.setRecorderEnabled(false);
    pair(portal->pairingCode());
    ASSERT_TRUE(model->paired());
    EXPECT_FALSE(model->recorder().isRunning());
    EXPECT_TRUE(engines.empty());
    settings.setRecorderEnabled(true);
    model.reset();
    create(curl); // the next start: paired, recording was on
    model->startUp();
    settle([this] { return model->hotkeyRegistered() && model->recorder().isRunning(); });
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_EQ(hotKey->held(), HotkeyConfiguration::standard);

    // Each restart starts the next engine once the last one has ended.
    model->updateAllowlist({"org.example.Call"});
    settle([this] { return engines.size() == 2; });
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines[1]->config.allowed, std::set<std::string>{"org.example.Call"});
    model->setChime(false);
    settle([this] { return engines.size() == 3; });
    ASSERT_EQ(engines.size(), 3u);
    EXPECT_EQ(engines[2]->config.alertFrequency, 0);

    ASSERT_TRUE(hotKey->press());
    settle([this] { return engines[2]->calls.size() == 2; });
    EXPECT_EQ(engines[2]->calls.back(), "togglePause");

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
    model->pair("ABCD-EFGH-JKMN", [&](const ShellModel::PairingOutcome&) { pairingDone = true; });
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
    ASSERT_TRUE(model->pairingMessage());
    EXPECT_TRUE(model->pairingMessage()->starts_with("Pairing failed: network\n"))
        << *model->pairingMessage();
}

} // namespace
} // namespace zoq
