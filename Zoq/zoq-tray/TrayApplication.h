#pragma once

#include "Zoq/zoq/ShellSession.h"
#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/SystemProcessTree.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqShell/Service/ShellBusService.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/LoginItemManager.h"
#include "ZoqShell/System/XdgLinkOpener.h"
#include "ZoqShell/Uploader/SerialWorker.h"
#include "ZoqUI/AllowlistApps.h"
#include "ZoqUI/DesktopNotifications.h"
#include "ZoqUI/MenuActions.h"
#include "ZoqUI/QtMainExecutor.h"
#include "ZoqUI/RecordingNotices.h"
#include "ZoqUI/TrayIcon.h"
#include "ZoqUI/TrayWindows.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zoq {

/// The tray application assembled: the shell model under Qt's event loop
/// with the production services (as `zoq daemon` assembles it), the tray
/// icon and menu, the windows and the desktop notifications.
///
/// Lives on the main thread inside a QApplication. Destroying it destroys
/// the model last among its parts, which stops the recorder and finalises an
/// open part, so quitting never leaves a recording behind.
class TrayApplication {
public:
    /// Builds zoq around `bus`, the service that owns `org.zoq.Zoq` (claimed
    /// first, with `cli::claimService`, so that a second zoq builds nothing;
    /// none without a session bus: zoq then runs on without the commands
    /// that talk to it). `executor` is the main thread's, the one the bus was
    /// claimed with; it must outlive the application. `session` holds the
    /// settings and the credential store, opened (see `ShellSession`).
    /// `reopen` is called (main thread) when the person chose the private
    /// credential file after the keyring refused a pairing: the caller then
    /// ends this application, takes its bus back (`releaseBus`) and builds a
    /// new one over a new session, pairing with `Retry`.
    struct Retry {
        std::string portal;
        std::string code;
    };
    TrayApplication(QtMainExecutor& executor, std::unique_ptr<ShellBusService> bus,
                    std::unique_ptr<cli::ShellSession> session, std::function<void(const Retry&)> reopen);
    ~TrayApplication();
    TrayApplication(const TrayApplication&) = delete;
    TrayApplication& operator=(const TrayApplication&) = delete;

    /// Registers the hotkey, re-arms recording as it was, and, unless
    /// `background`, opens the pairing window once the credentials are open
    /// and the device turns out not to be paired.
    void start(bool background);
    /// Pairs with `retry` once the credentials are open (after `start`).
    void pairOnceReady(Retry retry);

    /// Stops serving the bus and hands it back, for the application built
    /// next; main thread, before destruction.
    std::unique_ptr<ShellBusService> releaseBus();

    /// Brings zoq to the person: the pairing window while the device is not
    /// paired, else the menu at the pointer.
    void show();

    ShellModel& model() noexcept { return *model_; }

private:
    /// Tells (stderr and a notification) each settings warning that is new
    /// since the last look.
    void noticeSettings();
    /// Shows one of the model's notices, with its action when it has one.
    void showNotice(const Notice& notice);

    QtMainExecutor& executor_;
    std::unique_ptr<ShellBusService> bus_;
    std::unique_ptr<cli::ShellSession> session_;
    HostClock clock_;
    LoginItemManager loginItems_;
    XdgLinkOpener links_;
    std::shared_ptr<SystemProcessTree> processes_ = std::make_shared<SystemProcessTree>();
    // Kept between reloads of the allowlist: it remembers the processes that still run.
    AttributionResolver resolver_{processes_};
    DesktopNotifications notifications_;
    std::unique_ptr<ShellModel> model_;
    std::unique_ptr<RecordingNotices> notices_;
    std::unique_ptr<TrayWindows> windows_;
    std::unique_ptr<ModelMenuActions> actions_;
    std::unique_ptr<TrayIcon> icon_;
    std::unique_ptr<ModelObserver> firstShow_;
    std::unique_ptr<ModelObserver> settingsNotices_;
    std::unique_ptr<ModelObserver> retryPairing_;
    bool retried_ = false;
    std::vector<std::string> noticed_;
    bool firstShown_ = false;
    // Clicks on a notification's action check this before touching the model.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace zoq
