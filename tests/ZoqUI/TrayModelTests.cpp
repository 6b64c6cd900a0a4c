// The tray's menu, windows and notices over a real shell model, paired
// against the development portal, with a fake engine whose events the test
// plays, the manual hotkey and an in-memory login item, under Qt's loop.

#include "tools/dev-portal/DevPortal.h"

#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/KeychainSecrets.h"
#include "ZoqShell/Secrets/LibsecretItemStore.h"
#include "ZoqShell/Secrets/MemorySecrets.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/MenuPresentation.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/ManualGlobalHotKey.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/System/RecordingLinkOpener.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqUI/DesktopNotifications.h"
#include "ZoqUI/FileStoreChoice.h"
#include "ZoqUI/QtMainExecutor.h"
#include "ZoqUI/RecordingNotices.h"
#include "ZoqUI/RecordingsWindow.h"
#include "ZoqUI/TrayIcon.h"
#include "ZoqUI/TrayWindows.h"
#include "tests/DevPortal/ShellModelFixture.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"
#include "tests/ZoqUI/MockNotifications.h"
#include "tests/ZoqUI/UITestSupport.h"

#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <condition_variable>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>

namespace zoq {
namespace {

using namespace std::chrono_literals;
using Items = std::vector<std::string>;

using test::FakeEngine;

/// A desktop that, while held, answers hotkey registrations only once told to.
class SlowDesktop {
public:
    void hold() {
        const std::lock_guard guard(lock_);
        answers_ = false;
    }
    void answer() {
        {
            const std::lock_guard guard(lock_);
            answers_ = true;
        }
        answered_.notify_all();
    }
    void wait() {
        std::unique_lock guard(lock_);
        answered_.wait(guard, [this] { return answers_; });
    }

private:
    std::mutex lock_;
    std::condition_variable answered_;
    bool answers_ = true; // guarded by lock_
};

class SlowHotKey final : public GlobalHotKey {
public:
    SlowHotKey(std::unique_ptr<ManualGlobalHotKey> inner, SlowDesktop& desktop)
        : inner_(std::move(inner)), desktop_(desktop) {}
    bool registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) override {
        desktop_.wait();
        return inner_->registerHotKey(keyCode, carbonModifiers);
    }
    void unregister() noexcept override { inner_->unregister(); }

private:
    std::unique_ptr<ManualGlobalHotKey> inner_;
    SlowDesktop& desktop_;
};

class TrayModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        (void)test::qtApplication();
        portal::PortalOptions options;
        options.dataDirectory = temp / "portal";
        // Stored at the first status poll: the views are under test here,
        // not the queue's patience with a portal that verifies.
        options.verifyingPolls = 0;
        portal = std::make_unique<portal::DevPortal>(options, clock);
        settings.setAPIBaseURLString(portal->url());
        persistence = std::make_unique<KeychainCredentialPersistence>(makeSecrets());
        makeModel(*persistence);
        windows = std::make_unique<TrayWindows>(*model, links, [this] { return running; });
    }
    virtual std::unique_ptr<SecretsStoring> makeSecrets() { return std::make_unique<MemorySecrets>(); }
    void makeModel(CredentialPersistence& store) {
        model = std::make_unique<ShellModel>(ShellModel::Dependencies{
            settings,
            executor,
            curl,
            store,
            temp / "spool",
            network,
            [] { return std::make_unique<FFmpegFLACEncoder>(); },
            [this](const EngineConfiguration& config, std::shared_ptr<EventSinking> events) {
                engines.push_back(std::make_shared<FakeEngine>(config, std::move(events), false));
                return engines.back();
            },
            [] { return MicrophonePermissionResult{}; },
            [this](GlobalHotKey::Callback pressed) {
                auto made = std::make_unique<ManualGlobalHotKey>(std::move(pressed));
                made->markTaken(taken.keyCode, taken.carbonModifiers);
                hotKey = made.get();
                return std::make_unique<SlowHotKey>(std::move(made), desktop);
            },
            loginItems,
            links,
            "Test computer",
            clock,
            50ms,
            {},
            [this] {
                // An installed application: what names it everywhere.
                std::filesystem::create_directories(temp / "applications");
                std::ofstream(temp / "applications/com.example.Call.desktop")
                    << "[Desktop Entry]\nType=Application\nName=Example Call\nExec=true\n";
                return std::make_shared<const DesktopEntryIndex>(
                    DesktopEntryIndex::load({temp / "applications"}, {}));
            }});
        ASSERT_TRUE(test::waitFor([this] {
            return model->ready() && model->applicationName("com.example.Call") == "Example Call";
        }));
    }
    void TearDown() override {
        windows.reset();
        model.reset();
    }
    void pair() {
        bool done = false;
        model->pair(portal->pairingCode(), [&](const ShellModel::PairingOutcome&) { done = true; });
        ASSERT_TRUE(test::waitFor([&] { return done && model->paired(); }));
    }
    static void retype(QLineEdit& field, const std::string& text) {
        field.clear();
        QTest::keyClicks(&field, QString::fromStdString(text));
    }

    test::TempDirectory temp;
    HostClock clock;
    std::unique_ptr<portal::DevPortal> portal;
    /// The administrator's policy, absent until a test writes it.
    ShellSettings settings{temp / "settings.json", ShellSettings::SystemLayers{{}, {temp / "policy.json"}}};
    QtMainExecutor executor;
    CurlWireTransport curl;
    std::unique_ptr<KeychainCredentialPersistence> persistence;
    NullNetwork network;
    MemoryLoginItem loginItems;
    RecordingLinkOpener links;
    ManualGlobalHotKey* hotKey = nullptr;
    SlowDesktop desktop;
    std::vector<std::shared_ptr<FakeEngine>> engines;
    std::vector<AllowlistApp> running;
    /// Held by "another application".
    HotkeyConfiguration taken{0x26, HotkeyConfiguration::control | HotkeyConfiguration::option};
    std::unique_ptr<ShellModel> model;
    std::unique_ptr<TrayWindows> windows;
};

TEST_F(TrayModelTest, TheMenuAndTheNoticesFollowTheModelThroughACall) {
    bool quit = false;
    ModelMenuActions actions(
        *model, links, [this](TrayWindow window) { windows->open(window); }, [&quit] { quit = true; });
    TrayIcon icon(*model, actions, {});
    std::vector<std::string> notices;
    RecordingNotices notifier(
        [&notices](const std::string& summary, const std::string&, bool) { notices.push_back(summary); });
    notifier.watch(*model);
    QMenu& menu = icon.menu();
    const auto first = [&menu](std::size_t count) {
        const Items items = test::menuItems(menu);
        return Items(items.begin(),
                     items.begin() + static_cast<std::ptrdiff_t>(std::min(count, items.size())));
    };
    EXPECT_EQ(first(3), (Items{"(Recorder stopped)", "---", "Start recording"}));

    test::action(menu, "Start recording")->trigger();
    EXPECT_EQ(model->pairingMessage(), ShellModel::pairFirst) << "an unpaired device does not record";
    EXPECT_TRUE(engines.empty());

    pair();
    // The first pairing switches recording on.
    ASSERT_EQ(engines.size(), 1u);
    engines[0]->emit("armed");
    ASSERT_TRUE(test::waitFor([&] { return first(1) == Items{"(Armed — waiting for an allowed app)"}; }));
    engines[0]->emit("recording_started", {{"app", "Talk"}});
    ASSERT_TRUE(test::waitFor([&] {
        return first(4) == Items{"(Recording Talk)", "---", "Stop recording", "Pause"};
    }));
    EXPECT_TRUE(model->recorder().showsRedIndicator());
    // The call pauses and resumes within the grace period: one recording.
    engines[0]->emit("idle_grace");
    engines[0]->emit("recording_started", {{"app", "Talk"}});
    engines[0]->emit("finalized", {{"directory", (temp / "spool" / "s-0").string()}});
    ASSERT_TRUE(test::waitFor([&] { return notices.size() == 2; }));
    EXPECT_EQ(notices, (Items{"Recording started — Talk", RecordingNotices::saved}));

    test::action(menu, "Pause")->trigger();
    ASSERT_TRUE(test::waitFor([&] { return engines[0]->calls.back() == "togglePause"; }));
    test::action(menu, "Chime on record start/stop")->trigger();
    EXPECT_FALSE(settings.chimeEnabled());
    test::action(menu, "Hotkey…")->trigger();
    ASSERT_NE(windows->existing(TrayWindow::hotkey), nullptr);
    EXPECT_TRUE(windows->existing(TrayWindow::hotkey)->isVisible());
    test::action(menu, "Quit zoq")->trigger();
    EXPECT_TRUE(quit);
}

TEST_F(TrayModelTest, PairingWindowKeepsItsDraftAndPairsOnlyAtAUsableAddress) {
    auto& window = static_cast<PairingWindow&>(windows->open(TrayWindow::pairing));
    EXPECT_EQ(window.portalField().text().toStdString(), settings.apiBaseURLString());
    EXPECT_FALSE(window.pairButton().isEnabled()) << "no code yet";
    EXPECT_TRUE(window.portalLink().text().contains(QString::fromStdString(portal->url())));

    QTest::keyClicks(&window.codeField(), QString::fromStdString(portal->pairingCode()));
    EXPECT_EQ(model->pairingCode(), portal->pairingCode());
    EXPECT_TRUE(window.pairButton().isEnabled());

    retype(window.portalField(), "not a url");
    QTest::mouseClick(&window.pairButton(), Qt::LeftButton);
    EXPECT_EQ(window.message().text().toStdString(), ShellModel::portalRefused);
    EXPECT_FALSE(model->paired());

    // Closing keeps the draft and the code for correction.
    window.close();
    windows->open(TrayWindow::pairing);
    EXPECT_EQ(window.portalField().text().toStdString(), "not a url");
    EXPECT_EQ(window.codeField().text().toStdString(), portal->pairingCode());

    retype(window.portalField(), portal->url());
    QTest::mouseClick(&window.pairButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([this] { return model->paired(); }));
    ASSERT_TRUE(test::waitFor([&] {
        return window.message().text().toStdString() == "Paired device " + *model->currentDeviceId();
    }));

    window.portalLink().linkActivated(QString::fromStdString(portal->url() + "/"));
    ASSERT_EQ(links.history().size(), 1u);
    EXPECT_EQ(links.history()[0], DesktopLink::url(portal->url() + "/"));
}

TEST_F(TrayModelTest, PairingWindowMessageFollowsTheLastActionAndReturnPairs) {
    auto& window = static_cast<PairingWindow&>(windows->open(TrayWindow::pairing));
    retype(window.portalField(), "ftp://x");
    QTest::mouseClick(&window.applyButton(), Qt::LeftButton);
    EXPECT_EQ(window.message().text().toStdString(), ShellModel::portalRefused);
    retype(window.portalField(), portal->url());
    QTest::keyClick(&window.portalField(), Qt::Key_Return);
    EXPECT_EQ(settings.apiBaseURLString(), portal->url() + "/");
    EXPECT_FALSE(window.message().isVisibleTo(&window)) << window.message().text().toStdString();

    // A pairing that fails at a mistyped address leaves the address in force.
    retype(window.portalField(), "http://127.0.0.1:1");
    QTest::keyClicks(&window.codeField(), QString::fromStdString(portal->pairingCode()));
    QTest::keyClick(&window.codeField(), Qt::Key_Return);
    ASSERT_TRUE(test::waitFor([&] { return window.message().text().startsWith("Pairing failed"); }));
    EXPECT_EQ(settings.apiBaseURLString(), portal->url() + "/");
    EXPECT_FALSE(model->paired());

    retype(window.portalField(), portal->url());
    QTest::keyClick(&window.codeField(), Qt::Key_Return);
    ASSERT_TRUE(test::waitFor([this] { return model->paired(); }));
    EXPECT_EQ(window.message().textFormat(), Qt::PlainText) << "it quotes the portal's replies";
}

/// The tray's credential store is the desktop keyring, and none answers:
/// the test's session bus leads nowhere.
class AbsentKeyringTest : public TrayModelTest {
protected:
    std::unique_ptr<SecretsStoring> makeSecrets() override {
        return std::make_unique<KeychainSecrets>("org.zoq.Zoq.credentials.test", "device-credentials",
                                                 std::make_unique<LibsecretItemStore>());
    }
};

TEST_F(AbsentKeyringTest, APairingTheKeyringRefusesOffersThePrivateFileWhichPairsAgain) {
    std::optional<std::pair<std::string, std::string>> reopened;
    windows = std::make_unique<TrayWindows>(
        *model, links, [this] { return running; },
        [&](const std::string& at, const std::string& code) { reopened.emplace(at, code); });
    auto& window = static_cast<PairingWindow&>(windows->open(TrayWindow::pairing));
    EXPECT_FALSE(window.fileStoreChoice().isVisibleTo(&window)) << "nothing failed yet";

    QTest::keyClicks(&window.codeField(), QString::fromStdString(portal->pairingCode()));
    QTest::mouseClick(&window.pairButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([&] { return window.message().text().startsWith("Pairing failed"); }));
    EXPECT_TRUE(window.message().text().contains("the desktop keyring is not running or is locked"))
        << window.message().text().toStdString();
    ASSERT_TRUE(window.fileStoreChoice().isVisibleTo(&window));
    EXPECT_EQ(window.fileStoreChoice().button().text().toStdString(), plain::fileStoreButton);
    EXPECT_EQ(window.fileStoreChoice().meaning().text().toStdString(), plain::fileStoreMeaning);

    // While the administrator's policy keeps the credentials in the keyring
    // there is nothing to choose.
    std::ofstream(temp / "policy.json") << R"({"credentialStore": "keyring"})";
    QTest::mouseClick(&window.fileStoreChoice().button(), Qt::LeftButton);
    EXPECT_FALSE(reopened);
    EXPECT_FALSE(settings.credentialsInFile());
    std::filesystem::remove(temp / "policy.json");

    QTest::mouseClick(&window.fileStoreChoice().button(), Qt::LeftButton);
    EXPECT_TRUE(settings.credentialsInFile()) << "stored, no file to edit by hand";
    EXPECT_TRUE(settings.warnings().empty());
    ASSERT_TRUE(reopened) << "the tray is asked to reopen its credential store";
    EXPECT_EQ(reopened->first, portal->url());
    EXPECT_EQ(reopened->second, portal->pairingCode());

    // What the tray builds next: the store the settings now name, and the
    // same pairing again.
    windows.reset();
    model.reset();
    std::filesystem::create_directories(temp / "data");
    KeychainCredentialPersistence file(std::make_unique<FileSecrets>(temp / "data"));
    makeModel(file);
    // The model's uploader reads `file` on its own thread: the model ends
    // before it, as the tray's session outlives its model.
    struct EndModelFirst {
        std::unique_ptr<ShellModel>& model;
        ~EndModelFirst() { model.reset(); }
    } endModelFirst{model};
    bool done = false;
    model->pairWithPortal(reopened->first, reopened->second,
                          [&](const ShellModel::PairingOutcome&) { done = true; });
    ASSERT_TRUE(test::waitFor([&] { return done; }));
    EXPECT_TRUE(model->paired()) << model->pairingMessage().value_or("");
    EXPECT_FALSE(model->keyringUnusable());
    EXPECT_TRUE(std::filesystem::exists(FileSecrets(temp / "data").path()));

    // Where the tray cannot start at all, its window says why and offers the same.
    bool chosen = false;
    KeyringProblemWindow problem("the desktop keyring is not running or is locked", settings,
                                 [&] { chosen = true; });
    EXPECT_EQ(problem.windowTitle().toStdString(), KeyringProblemWindow::title);
    EXPECT_TRUE(problem.choice().offered());
    QTest::keyClick(&problem.choice().button(), Qt::Key_Space);
    EXPECT_TRUE(chosen);
}

// Names and identifiers come from any local program: whatever they hold is
// shown as the characters they are, never as markup.
TEST_F(TrayModelTest, NamesFromOtherProgramsAreShownAsWritten) {
    const std::vector<std::string> names = {
        R"(<b>CallApp</b><br><span style="color:#00aa00">Recorder stopped</span>)",
        R"(<a href="https://portal.example/">Click</a>)",
        "<img src=file:///etc/hostname>",
        std::string(10'240, 'x') + "<b>&amp;",
    };
    ModelMenuActions actions(
        *model, links, [this](TrayWindow window) { windows->open(window); }, [] {});
    TrayIcon icon(*model, actions, {});
    pair();
    ASSERT_EQ(engines.size(), 1u);
    for (const std::string& name : names) {
        engines[0]->emit("armed");
        engines[0]->emit("recording_started", {{"app", name}});
        const QLabel* status = nullptr;
        ASSERT_TRUE(test::waitFor([&] {
            status = test::statusLabel(icon.menu());
            return status != nullptr && status->text().toStdString() == "Recording " + name;
        }));
        EXPECT_EQ(status->textFormat(), Qt::PlainText);
    }

    running.clear();
    for (const std::string& name : names) {
        running.push_back({name, name, ""});
    }
    auto& window = static_cast<AllowlistWindow&>(windows->open(TrayWindow::allowlist));
    ASSERT_TRUE(test::waitFor([&window] { return !window.reloading(); }));
    ASSERT_EQ(window.list().count(), static_cast<int>(names.size()));
    std::set<std::string> labels;
    std::set<std::string> tips;
    for (int index = 0; index < window.list().count(); ++index) {
        labels.insert(window.list().item(index)->text().toStdString());
        tips.insert(test::shownToolTip(window.list().item(index)->toolTip()));
    }
    EXPECT_EQ(labels, std::set<std::string>(names.begin(), names.end()));
    EXPECT_EQ(tips, std::set<std::string>(names.begin(), names.end()));
}

TEST_F(TrayModelTest, AllowlistListsRunningThenInstalledAppsAndStoresEachSwitch) {
    settings.setAllowedBundleIDs({"org.example.Gone"});
    // Running (a process of the application found twice), then installed
    // call software, one of which runs too.
    running = {{"Talk", "org.example.Talk", "phone"},       {"Talk helper", "org.example.Talk", ""},
               {"alpha", "org.example.alpha", ""},          {"Zed", "org.example.Zed", ""},
               {"Chat", "org.example.Chat", "chat", false}, {"Zed", "org.example.Zed", "zed", false},
               {"Bell", "org.example.Bell", "", false}};
    auto& window = static_cast<AllowlistWindow&>(windows->open(TrayWindow::allowlist));
    ASSERT_TRUE(test::waitFor([&window] { return !window.reloading(); }));
    const auto listed = [&window] {
        Items items;
        for (int index = 0; index < window.list().count(); ++index) {
            const QListWidgetItem* item = window.list().item(index);
            items.push_back((item->checkState() == Qt::Checked ? "[x] " : "[ ] ") +
                            item->text().toStdString() + " " + test::shownToolTip(item->toolTip()));
        }
        return items;
    };
    // Each group in plain byte order: upper case before lower case.
    EXPECT_EQ(listed(), (Items{"[ ] Talk org.example.Talk", "[ ] Zed org.example.Zed",
                               "[ ] alpha org.example.alpha", "[ ] Bell org.example.Bell",
                               "[ ] Chat org.example.Chat", "[x] org.example.Gone org.example.Gone"}));

    // The box, and the name: both switch.
    window.list().item(5)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{});
    window.list().item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"org.example.Talk"});
    QListWidget& list = window.list();
    const QRect chat = list.visualItemRect(list.item(4));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, chat.center() + QPoint(chat.width() / 4, 0));
    EXPECT_EQ(settings.allowedBundleIDs(), (std::set<std::string>{"org.example.Chat", "org.example.Talk"}));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, chat.center() + QPoint(chat.width() / 4, 0));
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"org.example.Talk"});

    // Typed in: a mistake is said and kept for correction; an identifier is allowed.
    window.show();
    retype(window.addField(), "org.example Call");
    QTest::keyClick(&window.addField(), Qt::Key_Return);
    EXPECT_TRUE(window.message().isVisible());
    EXPECT_EQ(window.message().text(), AllowlistWindow::badIdentifier);
    EXPECT_EQ(window.addField().text(), "org.example Call");
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"org.example.Talk"});
    retype(window.addField(), " com.example.Call ");
    QTest::keyClick(&window.addField(), Qt::Key_Return);
    EXPECT_FALSE(window.message().isVisible());
    EXPECT_EQ(settings.allowedBundleIDs(), (std::set<std::string>{"com.example.Call", "org.example.Talk"}));
    EXPECT_TRUE(window.addField().text().isEmpty());

    running.clear();
    window.refreshAction().trigger();
    ASSERT_TRUE(test::waitFor([&window] { return !window.reloading(); }));
    EXPECT_EQ(listed(),
              (Items{"[x] com.example.Call com.example.Call", "[x] org.example.Talk org.example.Talk"}))
        << "an allowed application that stopped stays listed under its identifier";
}

TEST_F(TrayModelTest, WhatThePolicySetsIsShownSoAndNeverChanged) {
    settings.setAllowedBundleIDs({"org.example.Mine"});
    running = {{"Talk", "org.example.Talk", ""}, {"Other", "org.example.Other", ""}};
    auto& allowlist = static_cast<AllowlistWindow&>(windows->open(TrayWindow::allowlist));
    ASSERT_TRUE(test::waitFor([&allowlist] { return !allowlist.reloading(); }));
    EXPECT_FALSE(allowlist.lockedLine().isVisible());
    std::ofstream(temp / "policy.json")
        << R"({"apiBaseURL": ")" << portal->url()
        << R"(", "allowedBundleIDs": ["org.example.Talk"], "chimeEnabled": false})";
    const std::string fixed = portal->url() + "/";
    ASSERT_EQ(settings.apiBaseURL(), fixed);

    // The model: another address is refused before anything uses it, for
    // the address itself and for a pairing; the switches change nothing.
    const std::string elsewhere = "http://127.0.0.1:9";
    EXPECT_FALSE(model->applyPortalURL(elsewhere));
    EXPECT_EQ(model->pairingMessage(), ShellModel::portalLocked);
    EXPECT_EQ(model->portalProblem(), ShellModel::setByAdministrator);
    std::optional<ShellModel::PairingOutcome> outcome;
    model->pairWithPortal(elsewhere, portal->pairingCode(),
                          [&](const ShellModel::PairingOutcome& ended) { outcome = ended; });
    ASSERT_TRUE(outcome) << "refused at once, without asking any portal";
    EXPECT_EQ(outcome->kind, ShellModel::PairingOutcome::Kind::portalRefused);
    EXPECT_EQ(outcome->reason, ShellModel::setByAdministrator);
    EXPECT_FALSE(model->paired());
    EXPECT_FALSE(model->updateAllowlist({"org.example.Other"}));
    EXPECT_FALSE(model->setChime(true));
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"org.example.Talk"});
    EXPECT_FALSE(settings.chimeEnabled());
    EXPECT_EQ(settings.apiBaseURL(), fixed);

    // The windows and the menu show each as the administrator's.
    auto& pairing = static_cast<PairingWindow&>(windows->open(TrayWindow::pairing));
    EXPECT_TRUE(pairing.lockedLine().isVisible());
    EXPECT_EQ(pairing.lockedLine().text(), ShellModel::setByAdministrator);
    EXPECT_FALSE(pairing.portalField().isEnabled());
    EXPECT_FALSE(pairing.applyButton().isEnabled());
    EXPECT_EQ(pairing.portalField().text().toStdString(), fixed);
    // A switch in a window opened before the policy came is refused, and
    // the window then shows what holds.
    ASSERT_EQ(allowlist.list().item(0)->text(), "Other");
    allowlist.list().item(0)->setCheckState(Qt::Checked);
    ASSERT_TRUE(test::waitFor([&allowlist] { return allowlist.lockedLine().isVisible(); }));
    EXPECT_EQ(settings.allowedBundleIDs(), std::set<std::string>{"org.example.Talk"});
    EXPECT_FALSE(allowlist.addField().isEnabled());
    ASSERT_EQ(allowlist.list().count(), 2);
    for (int index = 0; index < allowlist.list().count(); ++index) {
        const QListWidgetItem* item = allowlist.list().item(index);
        EXPECT_FALSE(item->flags() & Qt::ItemIsEnabled) << item->text().toStdString();
        EXPECT_EQ(item->checkState(), item->text() == "Talk" ? Qt::Checked : Qt::Unchecked);
    }
    ModelMenuActions actions(
        *model, links, [this](TrayWindow window) { windows->open(window); }, [] {});
    TrayIcon icon(*model, actions, {});
    const Items items = test::menuItems(icon.menu());
    EXPECT_NE(
        std::find(items.begin(), items.end(), "(Chime on record start/stop — Set by your administrator)"),
        items.end());

    // The administrator's own portal pairs; a notice about an application
    // that is not allowed offers no "Always record".
    std::vector<Notice> notices;
    model->onNotice([&notices](const Notice& notice) { notices.push_back(notice); });
    pair();
    ASSERT_EQ(engines.size(), 1u);
    engines[0]->emit("mic_ignored",
                     {{"bundleID", "com.example.Call"}, {"pid", "7"}, {"reason", "not_allowlisted"}});
    ASSERT_TRUE(test::waitFor([&] { return !notices.empty(); }));
    EXPECT_EQ(notices[0].alwaysRecord, std::nullopt) << notices[0].summary;
}

TEST_F(TrayModelTest, HotkeyWindowStoresWhatIsPressedAndRefusesWhatCannotBeStored) {
    settings.setHotkey({35, HotkeyConfiguration::standard.carbonModifiers | 1U | 0x8000U});
    auto& window = static_cast<HotkeyWindow&>(windows->open(TrayWindow::hotkey));
    EXPECT_EQ(window.editor().keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::META | Qt::Key_P))
        << "unknown modifier bits are ignored";
    // One way of naming keys in the whole window.
    EXPECT_EQ(window.shownKeys(), "Ctrl+Alt+Super+P");
    ASSERT_TRUE(window.apply());
    EXPECT_EQ(settings.hotkey(), HotkeyConfiguration::standard) << "and dropped when applied";

    window.editor().clear();
    QTest::keyClick(&window.editor(), Qt::Key_K, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(window.shownKeys(), "Ctrl+Super+K");
    ASSERT_TRUE(window.apply());
    const HotkeyConfiguration ctrlSuperK{0x28, HotkeyConfiguration::control | HotkeyConfiguration::command};
    EXPECT_EQ(settings.hotkey(), ctrlSuperK);
    ASSERT_TRUE(test::waitFor([&] { return hotKey != nullptr && hotKey->held() == ctrlSuperK; }))
        << "the model registered it at once";

    for (const QKeyCombination refused :
         {QKeyCombination(Qt::Key_A), QKeyCombination(Qt::ShiftModifier, Qt::Key_A),
          QKeyCombination(Qt::ControlModifier, Qt::Key_VolumeUp)}) {
        window.editor().setKeySequence(QKeySequence(refused));
        EXPECT_FALSE(window.apply()) << QKeySequence(refused).toString().toStdString();
        EXPECT_EQ(window.message().text().toStdString(), HotkeyWindow::refused);
        EXPECT_EQ(settings.hotkey(), ctrlSuperK);
    }
    EXPECT_TRUE(test::waitFor([&] { return window.status().text() == "Active: Ctrl+Super+K"; }));
    window.close();
    windows->open(TrayWindow::hotkey);
    EXPECT_EQ(window.editor().keySequence(), QKeySequence(Qt::CTRL | Qt::META | Qt::Key_K))
        << "reopening shows what is stored";

    window.editor().setKeySequence(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_J));
    ASSERT_TRUE(window.apply());
    EXPECT_TRUE(test::waitFor([&] { return window.status().text() == HotkeyWindow::notActive; }))
        << "a combination another application holds is stored but not active";
}

TEST_F(TrayModelTest, HotkeyWindowSaysItWaitsForTheDesktopUntilItAnswers) {
    auto& window = static_cast<HotkeyWindow&>(windows->open(TrayWindow::hotkey));
    desktop.hold();
    window.editor().setKeySequence(QKeySequence(Qt::CTRL | Qt::META | Qt::Key_K));
    ASSERT_TRUE(window.apply()) << "applying returns before the desktop answers";
    EXPECT_EQ(window.status().text().toStdString(), HotkeyWindow::waiting);
    test::waitFor([] { return false; }, 200ms); // the event loop runs on meanwhile
    EXPECT_EQ(window.status().text().toStdString(), HotkeyWindow::waiting);
    desktop.answer();
    EXPECT_TRUE(test::waitFor([&] { return window.status().text() == "Active: Ctrl+Super+K"; }));
}

// "Launch at login" shows what is stored after every click. A registration
// that fails from a state that was unknown already (nothing else in the menu
// changes) leaves it unticked and says why; one that works ticks it.
TEST_F(TrayModelTest, LaunchAtLoginShowsTheStoredTruthAfterEveryClick) {
    ModelMenuActions actions(
        *model, links, [](TrayWindow) {}, [] {});
    TrayIcon icon(*model, actions, {});
    QMenu& menu = icon.menu();
    const auto shown = [&menu](const std::string& item) {
        const Items items = test::menuItems(menu);
        return std::find(items.begin(), items.end(), item) != items.end();
    };
    loginItems.set(LoginItemState::unknown);
    loginItems.setRegisterOutcome(LoginItemState::unknown);
    model->refreshLoginItemState();
    ASSERT_TRUE(test::waitFor([&] { return model->loginItemState() == LoginItemState::unknown; }));

    test::action(menu, "Launch at login")->trigger();
    const std::string problem = "(" + std::string(ShellModel::loginItemNotOn) + ")";
    ASSERT_TRUE(test::waitFor([&] { return shown(problem); })) << "the failure is said";
    EXPECT_TRUE(shown("[ ] Launch at login")) << "and the item is not left ticked";

    loginItems.setRegisterOutcome(LoginItemState::registered);
    test::action(menu, "Launch at login")->trigger();
    ASSERT_TRUE(test::waitFor([&] { return shown("[x] Launch at login"); }));
    EXPECT_FALSE(shown(problem));
    test::action(menu, "Launch at login")->trigger();
    ASSERT_TRUE(test::waitFor([&] { return shown("[ ] Launch at login"); }));
    EXPECT_EQ(loginItems.currentState(), LoginItemState::notRegistered);
}

TEST(RecordingNotices, AnnounceStartsSavesAndBlocking) {
    std::vector<std::string> notices;
    RecordingNotices notifier([&notices](const std::string& summary, const std::string&, bool urgent) {
        notices.push_back(summary + (urgent ? " !" : ""));
    });
    const auto state = [](RecorderUIState recorder, std::optional<std::string> app = {},
                          std::optional<std::string> finalized = {}, bool blocked = false) {
        return NoticeState{recorder, std::move(app),
                           finalized ? std::optional<std::filesystem::path>(*finalized) : std::nullopt,
                           blocked};
    };
    const struct {
        NoticeState state;
        Items expected;
    } steps[] = {
        {state(RecorderUIState::armed), {}},
        {state(RecorderUIState::recording, "Talk"), {"Recording started — Talk"}},
        {state(RecorderUIState::idleGrace, "Talk"), {}},
        {state(RecorderUIState::recording, "Talk"), {}},
        {state(RecorderUIState::finalising, "Talk"), {}},
        {state(RecorderUIState::armed, {}, "a"), {RecordingNotices::saved}},
        {state(RecorderUIState::recording, {}, "a"), {"Recording started"}},
        {state(RecorderUIState::armed, {}, "b", true),
         {RecordingNotices::saved, "Blocked: re-pair required !"}},
        {state(RecorderUIState::armed, {}, "b", true), {}},
    };
    for (const auto& step : steps) {
        notices.clear();
        notifier.update(step.state);
        EXPECT_EQ(notices, step.expected) << rawValue(step.state.recorder);
    }
}

// What needs the person reaches the notification server through the model:
// an application that is not allowed (once, with an action that allows it),
// pause and resume by the hotkey; and the Recordings window lists the
// uploaded parts newest first and keeps them in the history.
TEST_F(TrayModelTest, NoticesAndTheRecordingsWindowFollowACall) {
    test::PrivateBus bus;
    const auto server = bus.startService(
        {"-m", "dbusmock", "--template", "notification_daemon", "-p", R"({"capabilities": "body actions"})"},
        "org.freedesktop.Notifications");
    DesktopNotifications notifications(bus.address());
    std::vector<std::string> actions;
    model->onNotice([&](const Notice& notice) {
        std::optional<DesktopNotifications::Action> action;
        if (notice.alwaysRecord) {
            actions.push_back(*notice.alwaysRecord);
            action = DesktopNotifications::Action{
                "always-record", "Always record " + *notice.alwaysRecord, [this, app = *notice.alwaysRecord] {
                    executor.post([this, app] { model->alwaysRecord(app); });
                }};
        }
        notifications.show(notice.summary, notice.body,
                           notice.urgent ? DesktopNotifications::Urgency::critical
                                         : DesktopNotifications::Urgency::normal,
                           notice.transient, std::move(action));
    });
    const auto summaries = [&] {
        notifications.flush();
        Items shown;
        for (const test::ReceivedNotification& received : test::receivedNotifications(bus.address())) {
            shown.push_back(received.summary);
        }
        return shown;
    };

    settings.setAllowedBundleIDs({"org.example.Talk"});
    pair();
    model->installHotkey();
    ASSERT_TRUE(test::waitFor([&] { return model->hotkeyRegistered(); }));
    ASSERT_EQ(engines.size(), 1u);
    engines[0]->emit("armed");
    // Every view calls an application by its installed name.
    const std::string ignored = "Example Call is using the microphone — not recorded (not on your allowlist)";
    engines[0]->emit("mic_ignored",
                     {{"bundleID", "com.example.Call"}, {"pid", "4242"}, {"reason", "not_allowlisted"}});
    engines[0]->emit("mic_ignored",
                     {{"bundleID", "com.example.Call"}, {"pid", "4243"}, {"reason", "not_allowlisted"}});
    ASSERT_TRUE(test::waitFor([&] { return summaries() == Items{ignored}; }));

    // The person switches the toggle off: another application goes untold.
    model->setTellAboutNotAllowedApps(false);
    engines[0]->emit("mic_ignored",
                     {{"bundleID", "com.example.Other"}, {"pid", "1"}, {"reason", "not_allowlisted"}});
    // The hotkey pauses and resumes, each said in a short notice.
    hotKey->press();
    ASSERT_TRUE(test::waitFor([&] { return summaries().size() == 2; }));
    hotKey->press();
    ASSERT_TRUE(test::waitFor([&] { return summaries().size() == 3; }));
    EXPECT_EQ(summaries(),
              (Items{ignored, AttentionNotices::pausedSummary, AttentionNotices::resumedSummary}));
    EXPECT_FALSE(settings.value(ShellModel::notifyNotAllowedKey)->boolean().value_or(true));

    // "Always record com.example.Call" on the first notice (the server's id 1).
    test::clickAction(bus.address(), 1, "always-record");
    ASSERT_TRUE(test::waitFor([&] { return settings.allowedBundleIDs().count("com.example.Call") == 1; }));
    EXPECT_EQ(settings.allowedBundleIDs(), (std::set<std::string>{"com.example.Call", "org.example.Talk"}));
    ASSERT_TRUE(test::waitFor([&] { return engines.size() == 2; }))
        << "the recorder re-arms with the application allowed";
    engines[1]->emit("armed");
    // The newer part below: recorded with only the call's own playback on
    // the right, until the call played nothing for 5 s.
    const std::filesystem::path callPart = temp / "spool" / "aaaaaaaa-2fa1-41d2-883f-0016d3cca427-0";
    engines[1]->emit(
        "recording_started",
        {{"app", "com.example.Call"}, {"system_source", "recordedApp"}, {"directory", callPart.string()}});
    ASSERT_TRUE(test::waitFor([&] { return model->recorder().uiState() == RecorderUIState::recording; }));
    EXPECT_EQ(statusLine(statusInputs(*model)), (StatusLine{"Recording Example Call", false}));
    engines[1]->emit("system_audio_source", {{"source", "all"},
                                             {"reason", "no_app_playback"},
                                             {"seconds", "5.0"},
                                             {"directory", callPart.string()}});
    const StatusLine fellBack{
        "Recording Example Call — no sound from it, so the right channel has everything the computer plays",
        true};
    ASSERT_TRUE(test::waitFor([&] { return statusLine(statusInputs(*model)) == fellBack; }));

    // Two parts in the spool, their directory names in the reverse order of
    // their start; the portal stores both.
    const std::string device = *model->currentDeviceId();
    const Date now = clock.wallDate();
    const struct {
        const char* session;
        double ago;
        const char* app;
    } parts[] = {{"ffffffff-2fa1-41d2-883f-0016d3cca427", 600, "org.example.Talk"},
                 {"aaaaaaaa-2fa1-41d2-883f-0016d3cca427", 120, "com.example.Call"}};
    const FFmpegFLACEncoder encoder;
    for (const auto& part : parts) {
        const CaptureSegment segment{part.session, 0, part.app, now - part.ago, 0};
        auto artifact = Artifact::create(temp / "spool" / (std::string(part.session) + "-0"), segment, device,
                                         clock, std::make_shared<DurableIO>());
        // Different audio each: the portal knows a recording by its content.
        artifact->append(test::syntheticPCM(pcm::minimumPartFrames, static_cast<std::uint32_t>(part.ago)));
        artifact->finalise(encoder, segment.startedAt + 20.0, false);
    }
    ASSERT_TRUE(test::waitFor([&] { return model->uploaded().size() == 2; }, 30s)) << [&] {
        std::string shown;
        for (const UploadRow& row : model->rows()) {
            shown += rowLabel(row) + " " + row.lastError.value_or("") + "; ";
        }
        return shown;
    }();

    auto& window = static_cast<RecordingsWindow&>(windows->open(TrayWindow::recordings));
    const auto table = [&window] {
        Items rows;
        for (int row = 0; row < window.table().rowCount(); ++row) {
            std::string line;
            for (int column = 0; column < RecordingsWindow::actionsColumn; ++column) {
                line += (column ? " | " : "") + window.table().item(row, column)->text().toStdString();
            }
            rows.push_back(line);
        }
        return rows;
    };
    ASSERT_TRUE(test::waitFor([&] {
        const Items rows = table();
        return rows.size() == 2 && rows[0].find("Uploaded at") != std::string::npos &&
               rows[1].find("Uploaded at") != std::string::npos;
    }));
    const Items rows = table();
    EXPECT_NE(rows[0].find(" | Example Call | 0:20 | Uploaded at "), std::string::npos) << rows[0];
    EXPECT_NE(rows[0].find(std::string(" — ") + fallbackNote), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find(" | org.example.Talk | 0:20 | Uploaded at "), std::string::npos) << rows[1];
    EXPECT_EQ(rows[1].find(fallbackNote), std::string::npos) << rows[1];
    EXPECT_EQ(rows[0].rfind("Today ", 0), 0u) << rows[0];
    EXPECT_EQ(window.findChild<QTableWidget*>("recordings"), &window.table());

    const std::filesystem::path artifacts =
        std::filesystem::path(std::getenv("ZOQ_BINARY_DIR") ? std::getenv("ZOQ_BINARY_DIR") : ".") /
        "test-artifacts";
    std::filesystem::create_directories(artifacts);
    window.resize(720, 320);
    EXPECT_TRUE(window.grab().save(QString::fromStdString((artifacts / "recordings-window.png").string())));

    // The history outlives the spool: a new model over the same files lists both.
    ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(temp / UploadHistory::fileName); }));
    ASSERT_TRUE(
        test::waitFor([&] { return UploadHistory(temp / UploadHistory::fileName).entries().size() == 2; }));
    EXPECT_EQ(UploadHistory(temp / UploadHistory::fileName).entries().back().app, "com.example.Call");
    EXPECT_EQ(UploadHistory(temp / UploadHistory::fileName).entries().back().systemSource, "fallback");
    EXPECT_EQ(UploadHistory(temp / UploadHistory::fileName).entries().front().systemSource, "");
}

TEST_F(TrayModelTest, EveryControlOfTheWindowsAndTheMenuIsNamed) {
    // Each window with what it can hold: an application in the allowlist, a
    // recording (and its buttons) in the recordings window, the pairing
    // window's next step after a pairing.
    running = {AllowlistApp{"Talk", "org.example.Talk", "", true}};
    settings.setAllowedBundleIDs({"org.example.Talk"});
    pair();
    const CaptureSegment segment{"bbbbbbbb-2fa1-41d2-883f-0016d3cca427", 0, "org.example.Talk",
                                 clock.wallDate() - 60, 0};
    auto artifact = Artifact::create(temp / "spool" / "bbbbbbbb-2fa1-41d2-883f-0016d3cca427-0", segment,
                                     *model->currentDeviceId(), clock, std::make_shared<DurableIO>());
    artifact->append(test::syntheticPCM(pcm::minimumPartFrames, 7));
    artifact->finalise(FFmpegFLACEncoder(), segment.startedAt + 20.0, false);

    for (const TrayWindow which :
         {TrayWindow::pairing, TrayWindow::allowlist, TrayWindow::hotkey, TrayWindow::recordings}) {
        QWidget& window = windows->open(which);
        if (which == TrayWindow::allowlist) {
            ASSERT_TRUE(
                test::waitFor([&] { return static_cast<AllowlistWindow&>(window).list().count() == 1; }));
        }
        if (which == TrayWindow::recordings) {
            ASSERT_TRUE(test::waitFor([&] { return !window.findChildren<QPushButton*>().isEmpty(); }));
        }
        EXPECT_EQ(test::unnamedControls(window), Items{}) << window.windowTitle().toStdString();
    }

    bool quit = false;
    ModelMenuActions actions(
        *model, links, [this](TrayWindow window) { windows->open(window); }, [&quit] { quit = true; });
    TrayIcon icon(*model, actions, {});
    for (const QAction* item : icon.menu().actions()) {
        EXPECT_TRUE(item->isSeparator() || !item->text().trimmed().isEmpty()) << "a menu item without text";
    }
}
} // namespace
} // namespace zoq
