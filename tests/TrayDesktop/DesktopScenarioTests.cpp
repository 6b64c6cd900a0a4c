// One person's afternoon with zoq on a private desktop, every part real: an
// Xvfb display, the private sound server tests/with-sound-server starts, the
// test call application, the development portal (verifying each upload for
// several polls), a portal behind a self-signed certificate, the dbusmock
// notification server, and a spool on a small tmpfs that fills up during a
// call. The shell model runs in this process with the tray's windows and
// notices, so the windows are read by their object names. Screenshots of each
// window in its states are left in test-artifacts/.

#include "tools/dev-portal/DevPortal.h"

#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Recorder/SystemRecording.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/System/RecordingLinkOpener.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqUI/DesktopNotifications.h"
#include "ZoqUI/QtMainExecutor.h"
#include "ZoqUI/RecordingNotices.h"
#include "ZoqUI/RecordingsWindow.h"
#include "ZoqUI/TrayWindows.h"
#include "tests/EngineEndToEnd/CallAudio.h"
#include "tests/SoundServer/SoundServerSupport.h"
#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/XvfbDisplay.h"
#include "tests/ZoqShell/LoopbackHttpServer.h"
#include "tests/ZoqUI/MockNotifications.h"
#include "tests/ZoqUI/UITestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>

namespace zoq {
namespace {

using namespace std::chrono_literals;
using Items = std::vector<std::string>;

constexpr const char* allowedApp = "org.example.Call";
constexpr const char* otherApp = "org.example.Other";

std::filesystem::path artifacts() {
    const char* binary = std::getenv("ZOQ_BINARY_DIR");
    const std::filesystem::path directory =
        std::filesystem::path(binary != nullptr ? binary : ".") / "test-artifacts";
    std::filesystem::create_directories(directory);
    return directory;
}

void keepScreenshot(QWidget& window, const std::string& name) {
    test::waitFor([] { return false; }, 300ms); // let it paint
    EXPECT_TRUE(window.grab().save(QString::fromStdString((artifacts() / name).string())));
}

/// A tmpfs of `megabytes` mounted at `where` for the test's life.
class SmallDisk {
public:
    SmallDisk(std::filesystem::path where, int megabytes) : where_(std::move(where)) {
        std::filesystem::create_directories(where_);
        const std::string options = "size=" + std::to_string(megabytes) + "m,mode=0700";
        mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(where_.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const noexcept { return mounted_; }
    /// Fills the disk until `leftBytes` remain free.
    void fill(std::uintmax_t leftBytes) const {
        const std::filesystem::space_info space = std::filesystem::space(where_);
        std::ofstream ballast(where_ / "ballast", std::ios::binary);
        const std::string block(64 * 1024, 'x');
        for (std::uintmax_t written = 0; written + leftBytes + block.size() < space.available;
             written += block.size()) {
            ballast.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    void empty() const { std::filesystem::remove(where_ / "ballast"); }

private:
    std::filesystem::path where_;
    bool mounted_ = false;
};

TEST(DesktopScenario, CallsFailuresAndTheirWordsAsAPersonSeesThem) {
    ASSERT_FALSE(test::soundServerKind().empty()) << "run under tests/with-sound-server";
    const test::XvfbDisplay display;
    qputenv("DISPLAY", QByteArray::fromStdString(display.name()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    int argc = 1;
    char name[] = "zoq-desktop-scenario";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);

    const test::TempDirectory temp;
    const SmallDisk disk(temp / "disk", 16);
    ASSERT_TRUE(disk.mounted()) << "mounting a tmpfs needs root (CAP_SYS_ADMIN)";
    test::PrivateBus bus;
    const auto server = bus.startService(
        {"-m", "dbusmock", "--template", "notification_daemon", "-p", R"({"capabilities": "body actions"})"},
        "org.freedesktop.Notifications");

    const HostClock clock;
    portal::PortalOptions options;
    options.dataDirectory = temp / "portal";
    // The portal takes its time to confirm: three "verifying" answers, a
    // second apart, before "stored".
    options.verifyingPolls = 3;
    options.verifyingDelaySeconds = 1;
    portal::DevPortal portal(options, clock);
    std::filesystem::create_directories(temp / "tls");
    test::LoopbackHttpServer untrusted(test::writeSelfSignedCertificate(temp / "tls"));

    std::filesystem::create_directories(temp / "applications");
    std::ofstream(temp / "applications" / (std::string(allowedApp) + ".desktop"))
        << "[Desktop Entry]\nType=Application\nName=Example Call\nExec=true\n";
    ShellSettings settings(temp / "settings.json");
    settings.setAllowedBundleIDs({allowedApp});
    QtMainExecutor executor;
    CurlWireTransport curl;
    std::filesystem::create_directories(temp / "data");
    KeychainCredentialPersistence persistence(std::make_unique<FileSecrets>(temp / "data"));
    const NullNetwork network;
    MemoryLoginItem loginItems;
    RecordingLinkOpener links;
    const std::filesystem::path spool = temp / "disk" / "spool";
    ShellModel model(ShellModel::Dependencies{settings,
                                              executor,
                                              curl,
                                              persistence,
                                              spool,
                                              network,
                                              [] { return std::make_unique<FFmpegFLACEncoder>(); },
                                              SystemRecording::engineFactory(),
                                              SystemRecording::microphoneRequester(),
                                              {},
                                              loginItems,
                                              links,
                                              "Test computer",
                                              clock,
                                              500ms,
                                              SystemRecording::soundServerProbe(),
                                              [&temp] {
                                                  return std::make_shared<const DesktopEntryIndex>(
                                                      DesktopEntryIndex::load({temp / "applications"}, {}));
                                              }});

    // The notices as the tray shows them.
    DesktopNotifications notifications(bus.address());
    RecordingNotices notices([&](const std::string& summary, const std::string& body, bool urgent) {
        notifications.show(summary, body,
                           urgent ? DesktopNotifications::Urgency::critical
                                  : DesktopNotifications::Urgency::normal);
    });
    notices.watch(model);
    model.onNotice([&](const Notice& notice) {
        std::optional<DesktopNotifications::Action> action;
        if (notice.alwaysRecord) {
            action = DesktopNotifications::Action{
                "always-record", "Always record " + model.applicationName(*notice.alwaysRecord),
                [&executor, &model, app = *notice.alwaysRecord] {
                    executor.post([&model, app] { model.alwaysRecord(app); });
                }};
        }
        notifications.show(notice.summary, notice.body,
                           notice.urgent ? DesktopNotifications::Urgency::critical
                                         : DesktopNotifications::Urgency::normal,
                           notice.transient, std::move(action));
    });
    const auto received = [&] {
        notifications.flush();
        return test::receivedNotifications(bus.address());
    };
    // The server's id of the first notification whose summary starts so; 0 when none.
    const auto noticed = [&](const std::string& start) -> std::uint32_t {
        const auto all = received();
        for (std::size_t at = 0; at < all.size(); ++at) {
            if (all[at].summary.rfind(start, 0) == 0) {
                return static_cast<std::uint32_t>(at + 1);
            }
        }
        return 0;
    };
    const auto shown = [&] {
        std::string text;
        for (const auto& notification : received()) {
            text += notification.summary + " / " + notification.body + "\n";
        }
        return text;
    };
    TrayWindows windows(model, links, [] { return std::vector<AllowlistApp>{}; });
    ASSERT_TRUE(test::waitFor([&] { return model.ready(); }));

    // A portal behind a certificate nobody trusts: said plainly, nothing paired.
    auto& pairing = static_cast<PairingWindow&>(windows.open(TrayWindow::pairing));
    pairing.portalField().setText(QString::fromStdString(untrusted.url("")));
    QTest::keyClicks(&pairing.codeField(), QString::fromStdString(portal.pairingCode()));
    QTest::mouseClick(&pairing.pairButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([&] { return pairing.message().text().startsWith("Pairing failed"); }));
    EXPECT_TRUE(pairing.message().text().contains(
        "the portal's certificate is not trusted (self-signed certificate)"))
        << pairing.message().text().toStdString();
    EXPECT_FALSE(model.paired());
    keepScreenshot(pairing, "scenario-pairing-untrusted.png");

    pairing.portalField().setText(QString::fromStdString(portal.url()));
    QTest::mouseClick(&pairing.pairButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([&] { return model.paired() && model.recorder().isRunning(); }))
        << pairing.message().text().toStdString();
    EXPECT_TRUE(pairing.nextStepLine().isVisible());
    keepScreenshot(pairing, "scenario-pairing-paired.png");
    pairing.close();

    // An application that is not allowed takes the microphone: one notice,
    // with the action that allows it; choosing it records the rest of the call.
    {
        test::CallApp other("Other", otherApp);
        std::uint32_t id = 0;
        ASSERT_TRUE(
            test::waitFor([&] { return (id = noticed(std::string(otherApp) + " is using")) != 0; }, 30s))
            << shown();
        test::clickAction(bus.address(), id, "always-record");
        ASSERT_TRUE(test::waitFor([&] { return settings.allowedBundleIDs().count(otherApp) == 1; }));
        EXPECT_TRUE(test::waitFor(
            [&] { return model.recorder().recordingApp() == std::optional<std::string>(otherApp); }, 30s))
            << "the call under way is recorded now; " << shown();
        other.exit();
    }
    // Its part ends after the grace that follows a call (a call within it
    // would carry the part on).
    ASSERT_TRUE(test::waitFor([&] { return model.recorder().uiState() == RecorderUIState::armed; }, 60s))
        << rawValue(model.recorder().uiState());

    // An allowed call, long enough to keep: recorded, uploaded, verified
    // over several polls, with no failure counted.
    {
        const auto voice = test::play(60, "micfeed");
        test::CallApp call("Call", allowedApp);
        ASSERT_TRUE(test::waitFor([&] { return noticed("Recording started — Example Call") != 0; }, 30s))
            << shown();
        ASSERT_TRUE(test::waitFor(
            [&] {
                for (const test::Part& part : test::partsOf(spool)) {
                    if (part.manifest.capture.app == allowedApp &&
                        part.manifest.durableFrames >= 21 * 16'000) {
                        return true;
                    }
                }
                return false;
            },
            90s));
        auto& recordings = static_cast<RecordingsWindow&>(windows.open(TrayWindow::recordings));
        keepScreenshot(recordings, "scenario-recordings-recording.png");
        call.exit();
    }
    ASSERT_TRUE(test::waitFor([&] { return !model.uploaded().empty(); }, 90s)) << [&] {
        std::string rows;
        for (const UploadRow& row : model.rows()) {
            rows += row.directoryName + " " + std::string(rawValue(row.state)) + " " +
                    row.lastError.value_or("") + "; ";
        }
        return rows;
    }();
    for (const UploadRow& row : model.rows()) {
        EXPECT_EQ(row.failures, 0) << row.directoryName << " " << row.lastError.value_or("");
        EXPECT_FALSE(row.stuck) << row.directoryName;
    }

    auto& recordings = static_cast<RecordingsWindow&>(windows.open(TrayWindow::recordings));
    const auto table = [&recordings] {
        Items rows;
        for (int row = 0; row < recordings.table().rowCount(); ++row) {
            std::string line;
            for (int column = 0; column < RecordingsWindow::actionsColumn; ++column) {
                line += (column ? " | " : "") + recordings.table().item(row, column)->text().toStdString();
            }
            rows.push_back(line);
        }
        return rows;
    };
    const auto listed = [&](const std::string& app, const std::string& state) {
        for (const std::string& row : table()) {
            if (row.find(app) != std::string::npos && row.find(state) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(test::waitFor([&] { return listed("Example Call", "Uploaded at"); }))
        << ::testing::PrintToString(table());
    EXPECT_TRUE(listed(otherApp, "Too short — not kept")) << ::testing::PrintToString(table());
    keepScreenshot(recordings, "scenario-recordings-uploaded.png");

    // The disk fills up during the next call: the recording stops, and the
    // notice says why in words.
    disk.fill(256 * 1024);
    {
        test::CallApp call("Call", allowedApp);
        EXPECT_TRUE(test::waitFor([&] { return noticed("Recording stopped") != 0; }, 60s)) << shown();
        call.exit();
    }
    const auto all = received();
    const auto stopped = std::find_if(all.begin(), all.end(), [](const test::ReceivedNotification& n) {
        return n.summary.rfind("Recording stopped", 0) == 0;
    });
    ASSERT_NE(stopped, all.end()) << shown();
    EXPECT_NE((stopped->summary + " " + stopped->body).find("disk"), std::string::npos) << shown();
    EXPECT_TRUE(test::waitFor([&] { return listed("Example Call", interruptedText); }))
        << ::testing::PrintToString(table());
    keepScreenshot(recordings, "scenario-recordings-disk-full.png");
    disk.empty();
    std::printf("notifications:\n%s", shown().c_str());
}

} // namespace
} // namespace zoq
