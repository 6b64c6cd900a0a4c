// The tray menu from snapshots of the model: its items in every state that
// changes them, its colours, and what each item does.

#include "ZoqShell/Messages/Translation.h"
#include "ZoqUI/TrayMenu.h"
#include "tests/ZoqUI/UITestSupport.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QWidgetAction>
#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>

namespace zoq {
namespace {

using Items = std::vector<std::string>;
using Status = RecorderPermissionContext::Status;

class RecordingActions final : public MenuActions {
public:
    void toggleRecorder() override { record("toggleRecorder"); }
    void togglePause() override { record("togglePause"); }
    void requestMicrophonePermission() override { record("requestMicrophonePermission"); }
    void uploadNow() override { record("uploadNow"); }
    void setChime(bool enabled) override { record(enabled ? "chime on" : "chime off"); }
    void setSystemAudioSource(SystemAudioSource source) override {
        record(source == SystemAudioSource::recordedApp ? "right app" : "right all");
    }
    void setTellNotAllowed(bool enabled) override { record(enabled ? "tell on" : "tell off"); }
    void setLoginItem(bool enabled) override { record(enabled ? "login on" : "login off"); }
    void openWindow(TrayWindow window) override { record("window " + std::string(identifier(window))); }
    void openSettings(ZoqDeepLink page) override {
        record(page == ZoqDeepLink::microphoneSettings   ? "settings microphone"
               : page == ZoqDeepLink::loginItemsSettings ? "settings login items"
                                                         : "settings sound");
    }
    void quit() override { record("quit"); }

    void record(const std::string& call) {
        calls.push_back(call);
        if (onCall) {
            onCall();
        }
    }
    Items calls;
    std::function<void()> onCall;
};

UploadRow row(int number, ArtifactState state = ArtifactState::ready, std::int64_t failures = 0,
              bool stuck = false) {
    UploadRow made;
    made.directoryName = "session-" + std::to_string(number);
    made.state = state;
    made.recordingId = std::to_string(number) + "abcdefghijklmnop";
    made.failures = failures;
    made.stuck = stuck;
    return made;
}

MenuSnapshot snapshot(RecorderUIState state, bool running = false) {
    MenuSnapshot made;
    made.status = statusLine(StatusInputs{false, state, "Talk", std::nullopt, {}});
    made.running = running;
    made.paused = state == RecorderUIState::paused;
    return made;
}

Items tail(bool chime, bool login, bool approve = false) {
    Items items{"Upload now",
                "Recordings…",
                "---",
                "Allowlist…",
                "Pairing…",
                "Hotkey…",
                std::string(chime ? "[x] " : "[ ] ") + "Chime on record start/stop",
                "Right channel",
                "[x] Tell me about apps that are not allowed",
                std::string(login ? "[x] " : "[ ] ") + "Launch at login"};
    if (approve) {
        items.emplace_back("Approve in Startup Applications…");
    }
    for (const char* item : {"---", "Sound settings…", "Microphone settings…", "---", "Quit zoq"}) {
        items.emplace_back(item);
    }
    return items;
}

Items joined(Items head, const Items& rest) {
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

class TrayMenuTest : public ::testing::Test {
protected:
    Items shown(const MenuSnapshot& state) {
        trayMenu.show(state);
        return test::menuItems(menu);
    }

    QApplication& application = test::qtApplication(); // before any widget
    QMenu menu;
    RecordingActions actions;
    TrayMenu trayMenu{menu, actions};
};

TEST_F(TrayMenuTest, ItemsForEachKindOfState) {
    MenuSnapshot blocked = snapshot(RecorderUIState::paused, true);
    blocked.status = statusLine(StatusInputs{true, RecorderUIState::paused, {}, {}, {}});
    blocked.blockedAuth = true;
    for (int number = 1; number <= 12; ++number) {
        blocked.rows.push_back(number == 9 ? row(9, ArtifactState::retryWait, 5, true) : row(number));
    }
    blocked.chimeEnabled = false;
    blocked.loginItemState = LoginItemState::registered;

    MenuSnapshot pending = snapshot(RecorderUIState::permissionNotGranted);
    pending.permission =
        permissionPresentation(RecorderPermissionContext{RecorderPermissionContext::Service::microphone,
                                                         "microphone", Status::notDetermined, ""},
                               false, true);
    pending.status =
        statusLine(StatusInputs{false, RecorderUIState::permissionNotGranted, {}, {}, pending.permission});
    pending.loginItemState = LoginItemState::requiresApproval;

    MenuSnapshot denied = snapshot(RecorderUIState::permissionNotGranted);
    denied.permission = {"Microphone access denied", false, "", SettingsTarget::microphone};
    denied.status.text = denied.permission.statusLine;
    MenuSnapshot systemAudio = denied;
    systemAudio.permission.settingsTarget = SettingsTarget::systemAudio;

    MenuSnapshot oneRow = snapshot(RecorderUIState::recording, true);
    oneRow.rows = {row(1)};
    oneRow.rows[0].recordingId.reset();

    const Items emptySpool{"---", "(Last uploads)", "(No local recordings)"};
    const struct {
        const char* name;
        MenuSnapshot state;
        Items expected;
    } cases[] = {
        {"stopped", snapshot(RecorderUIState::stopped),
         joined(joined({"(Recorder stopped)", "---", "Start recording"}, emptySpool), tail(true, false))},
        {"recording, a row without recording id", oneRow,
         joined({"(Recording Talk)", "---", "Stop recording", "Pause", "---", "(Last uploads)", "(READY)"},
                tail(true, false))},
        {"blocked while paused, twelve rows, one stuck", blocked,
         joined({"(Blocked: re-pair required)", "---", "Stop recording", "Resume",
                 "(Blocked: device revoked or token rejected)", "Re-pair device…", "---", "(Last uploads)",
                 "(READY 12abcdef)", "(READY 11abcdef)", "(READY 10abcdef)",
                 "(RETRY_WAIT 9abcdefg ⚠ stuck (5 failures))", "(READY 8abcdefg)", "(READY 7abcdefg)",
                 "(⚠ An upload is stuck — check network and portal)"},
                tail(false, true))},
        {"microphone choice pending, login item needs approval", pending,
         joined(joined({"(Permission not granted — microphone access needs approval — your choice is still "
                        "pending)",
                        "Check microphone permission again…", "---", "Start recording"},
                       emptySpool),
                tail(true, false, true))},
        {"microphone denied", denied,
         joined(joined({"(Microphone access denied)", "(" + std::string(TrayMenu::microphoneHint) + ")",
                        "Open Microphone settings…", "---", "Start recording"},
                       emptySpool),
                tail(true, false))},
        {"system audio not allowed", systemAudio,
         joined(joined({"(Microphone access denied)", "(" + std::string(TrayMenu::systemAudioHint) + ")",
                        "Open Sound settings…", "---", "Start recording"},
                       emptySpool),
                tail(true, false))},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(shown(testCase.state), testCase.expected) << testCase.name;
    }
}

TEST_F(TrayMenuTest, TheStatusLineIsOrangeWhileBlockedAndTheStuckWarningAlways) {
    const auto colourOf = [this](const std::string& text) -> std::optional<QColor> {
        for (QAction* item : menu.actions()) {
            if (item->text().toStdString() == text) {
                if (auto* widget = qobject_cast<QWidgetAction*>(item)) {
                    return qobject_cast<QLabel*>(widget->defaultWidget())
                        ->palette()
                        .color(QPalette::WindowText);
                }
                return std::nullopt;
            }
        }
        ADD_FAILURE() << "no item " << text;
        return std::nullopt;
    };
    MenuSnapshot state = snapshot(RecorderUIState::recording, true);
    state.rows = {row(1, ArtifactState::uploading, 4, true)};
    trayMenu.show(state);
    EXPECT_EQ(colourOf("Recording Talk"), menu.palette().color(QPalette::Active, QPalette::WindowText));
    EXPECT_EQ(colourOf("⚠ An upload is stuck — check network and portal"), TrayMenu::warningColor);

    state.blockedAuth = true;
    state.status = statusLine(StatusInputs{true, RecorderUIState::recording, {}, {}, {}});
    trayMenu.show(state);
    EXPECT_EQ(colourOf("Blocked: re-pair required"), TrayMenu::warningColor);
}

TEST_F(TrayMenuTest, EveryItemCallsItsOperation) {
    MenuSnapshot state = snapshot(RecorderUIState::recording, true);
    state.blockedAuth = true;
    state.permission = {"x", true, "Request microphone access…", SettingsTarget::microphone};
    state.loginItemState = LoginItemState::requiresApproval;
    trayMenu.show(state);
    const struct {
        const char* item;
        const char* call;
    } cases[] = {
        {"Request microphone access…", "requestMicrophonePermission"},
        {"Open Microphone settings…", "settings microphone"},
        {"Stop recording", "toggleRecorder"},
        {"Pause", "togglePause"},
        {"Re-pair device…", "window pairing"},
        {"Upload now", "uploadNow"},
        {"Recordings…", "window recordings"},
        {"Allowlist…", "window allowlist"},
        {"Pairing…", "window pairing"},
        {"Hotkey…", "window hotkey"},
        {"Chime on record start/stop", "chime off"},
        {"Tell me about apps that are not allowed", "tell off"},
        {"Launch at login", "login on"},
        {"Approve in Startup Applications…", "settings login items"},
        {"Sound settings…", "settings sound"},
        {"Microphone settings…", "settings microphone"},
        {"Quit zoq", "quit"},
    };
    for (const auto& testCase : cases) {
        actions.calls.clear();
        if (QAction* item = test::action(menu, testCase.item)) {
            item->trigger();
        }
        EXPECT_EQ(actions.calls, Items{testCase.call}) << testCase.item;
    }
}

// The right channel's two choices show the stored one and ask for the other;
// under the administrator's policy they are shown and cannot be chosen.
TEST_F(TrayMenuTest, TheRightChannelSubmenuShowsTheStoredChoice) {
    MenuSnapshot state = snapshot(RecorderUIState::recording, true);
    state.systemAudioSource = SystemAudioSource::recordedApp;
    trayMenu.show(state);
    QAction* right = test::action(menu, "Right channel");
    ASSERT_TRUE(right != nullptr && right->menu() != nullptr);
    EXPECT_EQ(test::menuItems(*right->menu()),
              (Items{"[ ] Everything the computer plays", "[x] Only the recorded application"}));
    for (const auto& [item, call] : {std::pair{"Everything the computer plays", "right all"},
                                     std::pair{"Only the recorded application", "right app"}}) {
        actions.calls.clear();
        if (QAction* choice = test::action(*right->menu(), item)) {
            choice->trigger();
        }
        EXPECT_EQ(actions.calls, Items{call}) << item;
    }
    EXPECT_EQ(test::menuItems(*right->menu()),
              (Items{"[ ] Everything the computer plays", "[x] Only the recorded application"}))
        << "the tick shows what is stored until the model answers";

    state.systemAudioSourceLocked = true;
    trayMenu.show(state);
    const Items items = test::menuItems(menu);
    const auto locked = std::find_if(items.begin(), items.end(), [](const std::string& item) {
        return item.starts_with("Right channel — ");
    });
    ASSERT_NE(locked, items.end());
    for (QAction* choice : test::action(menu, *locked)->menu()->actions()) {
        EXPECT_FALSE(choice->isEnabled());
    }
}

TEST_F(TrayMenuTest, AnActionThatChangesTheModelRebuildsTheMenuSafely) {
    // The model reports back from inside the action: the menu is rebuilt while
    // the triggered item is still on the stack.
    actions.onCall = [this] { trayMenu.show(snapshot(RecorderUIState::armed, true)); };
    trayMenu.show(snapshot(RecorderUIState::stopped));
    test::action(menu, "Start recording")->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const Items items = test::menuItems(menu);
    ASSERT_GE(items.size(), 4u);
    EXPECT_EQ(Items(items.begin(), items.begin() + 4),
              (Items{"(Armed — waiting for an allowed app)", "---", "Stop recording", "Pause"}));
    EXPECT_EQ(actions.calls, Items{"toggleRecorder"});
}

/// The menu in the language the environment chose, and in English again once
/// it chooses none: the texts are looked up each time the menu is built.
TEST(TrayMenuLanguage, FollowsTheEnvironment) {
    (void)test::qtApplication();
    const std::string messages = std::setlocale(LC_MESSAGES, nullptr);
    const char* language = std::getenv("LANGUAGE");
    const std::optional<std::string> saved = language ? std::optional<std::string>(language) : std::nullopt;
    const auto build = [] {
        QMenu menu;
        RecordingActions actions;
        TrayMenu tray(menu, actions);
        tray.show(snapshot(RecorderUIState::stopped));
        const Items items = test::menuItems(menu);
        return Items(items.begin(), items.begin() + 3);
    };

    ::setenv("LANGUAGE", "de", 1);
    // Setting the locale again is also what makes gettext read LANGUAGE anew.
    ASSERT_NE(std::setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
    setUpTranslations();
    const Items german = build();
    // gettext keeps what it found per locale name: back to English through
    // another locale (the separate programs of tests/l10n check LANGUAGE
    // unset under C.UTF-8).
    ::unsetenv("LANGUAGE");
    std::setlocale(LC_MESSAGES, "C");
    const Items english = build();
    if (saved) {
        ::setenv("LANGUAGE", saved->c_str(), 1);
    }
    std::setlocale(LC_MESSAGES, messages.c_str());

    EXPECT_EQ(german, (Items{"(Aufnahme ausgeschaltet)", "---", "Aufnahme einschalten"}));
    EXPECT_EQ(english, (Items{"(Recorder stopped)", "---", "Start recording"}));
}
} // namespace
} // namespace zoq
