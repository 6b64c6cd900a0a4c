#pragma once

#include "ZoqCore/Spool/FLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Upload/CredentialPersistence.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/MainExecutor.h"
#include "ZoqShell/Recorder/RecorderController.h"
#include "ZoqShell/Shell/ApplicationNames.h"
#include "ZoqShell/Shell/AttentionNotices.h"
#include "ZoqShell/Shell/UploadHistory.h"
#include "ZoqShell/System/GlobalHotKey.h"
#include "ZoqShell/System/LinkOpening.h"
#include "ZoqShell/System/LoginItemManaging.h"
#include "ZoqShell/System/NetworkObserving.h"
#include "ZoqShell/Transport/CancellableTransport.h"
#include "ZoqShell/Transport/WireTransport.h"
#include "ZoqShell/Uploader/SerialWorker.h"
#include "ZoqShell/Uploader/SpoolUploader.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zoq {

class DesktopEntryIndex;
class ShellSettings;

/// The application's one top-level object: it owns the recorder controller,
/// device authentication, the spool uploader, the global hotkey and a ticker,
/// publishes what the menu and the windows show, and offers the operations
/// they invoke. The tray application and the headless service both run it.
///
/// Threads. Every member is called on the main thread (the executor's), and
/// every change is announced there. Nothing here blocks the main thread on the
/// network, the keyring or a child process: that work runs on the model's own
/// workers and its outcome is posted back. Operations that finish later take
/// an optional completion, called on the main thread.
///
/// Start-up: the constructor wires everything and, off the main thread,
/// opens the stored credentials and the uploader; `startUp()` then registers
/// the hotkey and re-arms recording when it was on at the last run and the
/// device is paired. Everything in `Dependencies` is borrowed and must
/// outlive the model.
///
/// Quitting (destroying the model) stops the recorder first, at once, so an
/// open part ends where the quit came and is finalised; then it gives up the
/// upload pass or pairing in flight instead of waiting for the portal (the
/// pass's steps are committed and the next start resumes them), so it
/// returns within seconds whatever the network does.
class ShellModel {
public:
    struct Dependencies {
        ShellSettings& settings;
        MainExecutor& executor;
        WireTransport& transport;
        CredentialPersistence& persistence;
        std::filesystem::path spoolRoot;
        const NetworkObserving& network;
        std::function<std::unique_ptr<FLACEncoder>()> encoder;
        RecorderController::EngineFactory engineFactory;
        RecorderController::MicrophoneRequester microphoneRequester;
        std::function<std::unique_ptr<GlobalHotKey>(GlobalHotKey::Callback)> makeHotKey;
        LoginItemManaging& loginItems;
        LinkOpening& links;
        /// Shown in the portal for this device.
        std::string deviceName;
        const CoreClock& clock;
        /// How often the uploader runs a pass.
        std::chrono::milliseconds tickInterval{5'000};
        /// Re-arms recording after the sound server restarts (none: never).
        RecorderController::SoundServerProbe soundServerProbe = {};
        /// Reads the installed applications' desktop entries, which name the
        /// applications (see `applicationName`); called once, off the main
        /// thread, as the model starts. None: identifiers are the names.
        std::function<std::shared_ptr<const DesktopEntryIndex>()> desktopEntries = {};
    };

    // The model's pairing messages and problems stay English (the bus and
    // the command line carry them); the windows and the menu translate them
    // where they show them.
    static constexpr const char* portalRefused = I18N_NOOP("Portal URL invalid — not applied");
    static constexpr const char* portalMissing = I18N_NOOP("Set the zoq API URL first");
    static constexpr const char* pairingInProgress = I18N_NOOP("Pairing…");
    static constexpr const char* pairFirst = I18N_NOOP("Pair your device before recording");
    static constexpr const char* loginItemNotOn = I18N_NOOP("Launch at login could not be switched on");
    static constexpr const char* loginItemNotOff = I18N_NOOP("Launch at login could not be switched off");
    /// A setting the administrator's policy fixes: the windows show it so,
    /// and the model changes nothing.
    static constexpr const char* setByAdministrator = I18N_NOOP("Set by your administrator");
    static constexpr const char* portalLocked =
        I18N_NOOP("Portal URL set by your administrator — not applied");
    static constexpr const char* portalChangedMessage =
        I18N_NOOP("Portal changed — pair this device with the new portal");

    /// How one pairing ended, told to the caller that asked for it alone
    /// (the shared `pairingMessage` shows the latest of all of them).
    struct PairingOutcome {
        enum class Kind { paired, portalRefused, failed };
        Kind kind = Kind::failed;
        /// "Paired device <id>", `portalRefused`, `portalMissing` or
        /// "Pairing failed: <reason>", then on a second line what it means
        /// and what to do (`plain::words`).
        std::string message;
        /// Why the address was refused (`portalRefused` only).
        std::string reason;
    };
    using PairingDone = std::function<void(const PairingOutcome&)>;

    explicit ShellModel(Dependencies dependencies);
    ~ShellModel();
    ShellModel(const ShellModel&) = delete;
    ShellModel& operator=(const ShellModel&) = delete;

    /// Adds an observer, called on the main thread after every change of what
    /// the model shows, the recorder's included. Observers (a view, the
    /// session-bus service, a log) are called in the order they were added
    /// and must outlive the model.
    void onChange(std::function<void()> observer) { observers_.push_back(std::move(observer)); }
    /// Adds an observer of the notices the person should see (see
    /// `AttentionNotices`), called on the main thread; same rules as `onChange`.
    void onNotice(std::function<void(const Notice&)> observer) {
        noticeObservers_.push_back(std::move(observer));
    }

    /// The settings key of "Tell me about apps that are not allowed" (a
    /// boolean, on when absent or not a boolean).
    static constexpr const char* notifyNotAllowedKey = "notifyNotAllowedApps";

    /// The stored credentials have been opened (the values below are known).
    bool ready() const noexcept { return ready_; }
    /// The device holds credentials for the portal the address names.
    bool paired() const noexcept { return paired_; }
    /// The device holds credentials, but for another portal than the address
    /// names: nothing is sent until it pairs with this one or the address is
    /// set back.
    bool portalChanged() const noexcept { return portalChanged_; }
    /// Why the last portal address (applied, paired with, or found in the
    /// settings at start) was refused; empty when it was not.
    const std::string& portalProblem() const noexcept { return portalProblem_; }
    bool blockedAuth() const noexcept { return blockedAuth_; }
    /// One per spool directory, oldest first by the part's start time.
    const std::vector<UploadRow>& rows() const noexcept { return rows_; }
    /// The recordings the portal confirmed, oldest first, also after their
    /// local files were cleaned (`UploadHistory`, kept beside the spool).
    const std::vector<UploadedRecording>& uploaded() const noexcept { return history_.entries(); }
    /// Where the spool directories live (a row's folder is this / its name).
    const std::filesystem::path& spoolRoot() const noexcept { return spoolRoot_; }
    const std::string& pairingCode() const noexcept { return pairingCode_; }
    void setPairingCode(std::string code);
    const std::optional<std::string>& pairingMessage() const noexcept { return pairingMessage_; }
    /// The last pairing failed because the credential store (the desktop
    /// keyring) could not be used: not running, locked, or refusing. The
    /// views then offer the private credential file instead.
    bool keyringUnusable() const noexcept { return keyringUnusable_; }
    LoginItemState loginItemState() const noexcept { return loginItemState_; }
    /// Why the last change of the login item did not take (none when it did).
    const std::optional<std::string>& loginItemProblem() const noexcept { return loginItemProblem_; }
    /// Whether a global hotkey is held.
    bool hotkeyRegistered() const noexcept { return hotkeyRegistered_; }
    /// Whether the desktop has yet to answer the last hotkey registration.
    bool hotkeyWaiting() const noexcept { return hotkeyWaiting_; }
    RecorderController& recorder() noexcept { return *recorder_; }
    ShellSettings& settings() noexcept { return settings_; }

    /// Registers the hotkey and re-arms recording if it was on and the device
    /// is paired (once the credentials are open).
    void startUp();
    /// Pairs with the portal address in the settings. `done` gets this
    /// pairing's own outcome, on the main thread, as soon as the pairing has
    /// ended (the upload pass that follows a success runs on). A success
    /// switches recording on, unless the person switched it off before.
    void pair(std::string code, PairingDone done = {});
    /// Pairs with the portal at `portal` and applies that address only if the
    /// pairing succeeds; a refused address or a failed pairing leaves the
    /// address and the credentials as they were.
    void pairWithPortal(std::string portal, std::string code, PairingDone done = {});
    /// Validates and applies a portal address; false (with the message) when
    /// it is refused. An address of another portal than a paired device's
    /// is applied, and says `portalChangedMessage`; the same portal again
    /// changes nothing but the stored spelling. While the administrator's
    /// policy sets the address, any other is refused (`portalLocked`), here
    /// and for a pairing.
    bool applyPortalURL(const std::string& text);
    void toggleRecorder();
    /// Pause, resume or toggle the recorder (see `RecorderController`);
    /// `done` runs once the recorder has applied the command.
    void togglePause(std::function<void()> done = {});
    void pause(std::function<void()> done = {});
    void resume(std::function<void()> done = {});
    void requestMicrophonePermission();
    void installHotkey();
    /// Store the allowlist or the chime and restart a running recorder;
    /// false, changing nothing, while the administrator's policy sets it.
    bool updateAllowlist(const std::set<std::string>& bundleIDs);
    bool setChime(bool enabled);
    /// The same for what the right channel records.
    bool setSystemAudioSource(SystemAudioSource source);
    /// Whether an application using the microphone without being allowed is
    /// announced (stored in the settings).
    bool tellsAboutNotAllowedApps() const;
    void setTellAboutNotAllowedApps(bool enabled);
    /// Adds `bundleID` to the allowlist (the notice's "Always record APP"):
    /// the recorder restarts and records the call under way.
    void alwaysRecord(const std::string& bundleID);
    /// Hands `notice` to the notice observers (a view's own news, such as a
    /// settings page that could not be opened).
    void tell(const Notice& notice) { notify(notice); }
    /// The one name every view shows for the application `id` (the
    /// installed application's name, else `id`); empty stays empty.
    std::string applicationName(const std::string& id) const;
    /// Names the applications after `index` from now on (desktop entries
    /// read again, when a view lists the installed applications); any
    /// thread. The views show the names at the model's next change.
    void useDesktopEntries(std::shared_ptr<const DesktopEntryIndex> index) {
        names_.update(std::move(index));
    }
    /// The paired device's identifier, from the credentials in force.
    std::optional<std::string> currentDeviceId() const;
    void uploadNow(std::function<void()> done = {});
    void refreshLoginItemState();
    void setLoginItem(bool enabled);

private:
    void changed();
    /// Runs `work` on `worker`, then `then` on the main thread while the model lives.
    template <typename Result>
    void offMain(SerialWorker& worker, std::function<Result()> work, std::function<void(Result)> then);
    void openCredentials(const std::string& portal, std::function<void()> then);
    void attachUploader();
    void saveHistory();
    void notify(const Notice& notice);
    void ignoredApp(const std::string& bundleID);
    void scheduleTick();
    void tick();
    void restartRecorder();
    // Derives `paired_` and `portalChanged_` from the credentials and the
    // configured address.
    void refreshPortalState();
    /// Whether `portal` (as checked) differs from the address the
    /// administrator's policy sets, when it sets one.
    bool lockedAgainst(const std::string& portal) const;

    ShellSettings& settings_;
    MainExecutor& executor_;
    // Every request of the model's uploader and device authentication goes
    // through it, so quitting can end them at once.
    CancellableTransport transport_;
    CredentialPersistence& persistence_;
    const std::filesystem::path spoolRoot_;
    const NetworkObserving& network_;
    std::function<std::unique_ptr<FLACEncoder>()> encoder_;
    std::function<std::unique_ptr<GlobalHotKey>(GlobalHotKey::Callback)> makeHotKey_;
    LoginItemManaging& loginItems_;
    LinkOpening& links_;
    const std::string deviceName_;
    const CoreClock& clock_;
    const std::chrono::milliseconds tickInterval_;
    ApplicationNames names_;
    std::vector<std::function<void()>> observers_;
    std::vector<std::function<void(const Notice&)>> noticeObservers_;
    AttentionNotices attention_;

    bool ready_ = false;
    bool paired_ = false;
    bool portalChanged_ = false;
    std::string portalProblem_;
    bool blockedAuth_ = false;
    std::vector<UploadRow> rows_;
    UploadHistory history_;
    std::string pairingCode_;
    std::optional<std::string> pairingMessage_;
    bool keyringUnusable_ = false;
    LoginItemState loginItemState_ = LoginItemState::notRegistered;
    std::optional<std::string> loginItemProblem_;
    bool hotkeyRegistered_ = false;
    bool hotkeyWaiting_ = false;
    bool startUpPending_ = false;
    bool ticking_ = false;

    std::unique_ptr<RecorderController> recorder_;
    std::shared_ptr<DeviceAuth> auth_;
    std::unique_ptr<SpoolUploader> uploader_;
    std::shared_ptr<GlobalHotKey> hotKey_;

    // Posted work checks this before touching the model.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // Keyring, pairing, hotkey and login-item work; and waiting for uploader
    // passes, which may take as long as an upload does.
    std::unique_ptr<SerialWorker> worker_;
    std::unique_ptr<SerialWorker> uploadWaiter_;
};

} // namespace zoq
