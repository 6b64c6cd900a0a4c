#include "Zoq/zoq-tray/TrayApplication.h"

#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/SystemRecording.h"
#include "ZoqShell/Settings/DeviceName.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/System/DesktopGlobalHotKey.h"
#include "ZoqUI/AllowlistApps.h"

#include <QCoreApplication>
#include <QCursor>
#include <algorithm>
#include <iostream>
#include <unistd.h>

namespace zoq {
namespace {

std::filesystem::path ownProgram() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("/usr/bin/zoq-tray") : self;
}

} // namespace

TrayApplication::TrayApplication(QtMainExecutor& executor, std::unique_ptr<ShellBusService> bus,
                                 std::unique_ptr<cli::ShellSession> session,
                                 std::function<void(const Retry&)> reopen)
    : executor_(executor), bus_(std::move(bus)), session_(std::move(session)),
      loginItems_(ownProgram(), ShellPaths::autostartFile()) {
    session_->settings().storeDefaultAPIBaseURL();
    const std::filesystem::path ffmpeg =
        session_->settings().ffmpegPath().value_or(FFmpegFLACEncoder::defaultExecutable);
    model_ = std::make_unique<ShellModel>(ShellModel::Dependencies{
        session_->settings(), executor_, session_->transport(), session_->persistence(),
        ShellPaths::spoolRoot(), session_->network(),
        [ffmpeg] { return std::make_unique<FFmpegFLACEncoder>(ffmpeg); }, SystemRecording::engineFactory(),
        SystemRecording::microphoneRequester(),
        [](GlobalHotKey::Callback pressed) { return makeDesktopGlobalHotKey(std::move(pressed)); },
        loginItems_, links_, deviceName(), clock_, std::chrono::milliseconds(5'000),
        SystemRecording::soundServerProbe(),
        [processes = processes_] { return processes->desktopEntries(); }});

    notices_ = std::make_unique<RecordingNotices>(
        [this](const std::string& summary, const std::string& body, bool urgent) {
            notifications_.show(summary, body,
                                urgent ? DesktopNotifications::Urgency::critical
                                       : DesktopNotifications::Urgency::normal);
        });
    notices_->watch(*model_);
    model_->onNotice([this](const Notice& notice) { showNotice(notice); });
    windows_ = std::make_unique<TrayWindows>(
        *model_, links_,
        [this] {
            const std::shared_ptr<const DesktopEntryIndex> index = processes_->desktopEntries();
            model_->useDesktopEntries(index);
            std::vector<AllowlistApp> apps = runningApplications(resolver_, *index, ::getuid());
            try {
                LibpulseBackend sound;
                const std::vector<AllowlistApp> audio =
                    audioApplications(sound.graph(), sound.ownClientIndex(), resolver_, *index);
                apps.insert(apps.end(), audio.begin(), audio.end());
            } catch (const std::exception& error) {
                // Without a sound server the running applications are all there is.
                // untranslated: a log line
                std::cerr << "zoq: the sound server's clients are not listed: " << error.what() << '\n';
            }
            const std::vector<AllowlistApp> installed =
                installedApplications(*index, session_->settings().allowedBundleIDs());
            apps.insert(apps.end(), installed.begin(), installed.end());
            return apps;
        },
        [this, reopen = std::move(reopen)](const std::string& portal, const std::string& code) {
            // Called from the pairing window's button: the window (and this
            // whole application) is rebuilt, so not from inside its slot.
            executor_.post([alive = std::weak_ptr<bool>(alive_), reopen, retry = Retry{portal, code}] {
                if (alive.lock()) {
                    reopen(retry);
                }
            });
        });
    actions_ = std::make_unique<ModelMenuActions>(
        *model_, links_, [this](TrayWindow window) { windows_->open(window); },
        [] { QCoreApplication::quit(); });
    icon_ = std::make_unique<TrayIcon>(*model_, *actions_, [this](const std::string& text) {
        std::cerr << "zoq: " << text << '\n';
        notifications_.show("zoq", text);
    });
    // Each thing wrong with the settings is told once, when it first shows
    // (at start, or when the file changes while zoq runs); the menu shows it
    // for as long as it lasts.
    settingsNotices_ = std::make_unique<ModelObserver>(*model_, [this] { noticeSettings(); });
    noticeSettings();
}

void TrayApplication::showNotice(const Notice& notice) {
    std::optional<DesktopNotifications::Action> action;
    if (notice.alwaysRecord) {
        // The click arrives on the notifications' thread.
        action = DesktopNotifications::Action{
            "always-record",
            substitute(i18n("Always record {1}"), {model_->applicationName(*notice.alwaysRecord)}),
            [alive = std::weak_ptr<bool>(alive_), &executor = executor_, this, app = *notice.alwaysRecord] {
                executor.post([alive, this, app] {
                    if (alive.lock()) {
                        model_->alwaysRecord(app);
                    }
                });
            }};
    }
    notifications_.show(notice.summary, notice.body,
                        notice.urgent ? DesktopNotifications::Urgency::critical
                                      : DesktopNotifications::Urgency::normal,
                        notice.transient, std::move(action));
}

void TrayApplication::noticeSettings() {
    const std::vector<std::string> warnings = session_->settings().warnings();
    for (const std::string& warning : warnings) {
        if (std::find(noticed_.begin(), noticed_.end(), warning) == noticed_.end()) {
            std::cerr << "zoq: settings: " << warning << '\n';
            notifications_.show(i18n("zoq settings"), warning);
        }
    }
    noticed_ = warnings;
}

TrayApplication::~TrayApplication() {
    // The bus and the views first, then the model: destroying it stops the
    // recorder, which finalises an open part.
    alive_.reset();
    if (bus_) {
        bus_->detach();
    }
    firstShow_.reset();
    retryPairing_.reset();
    settingsNotices_.reset();
    icon_.reset();
    actions_.reset();
    windows_.reset();
    notices_.reset();
    model_.reset();
    notifications_.flush();
}

void TrayApplication::start(bool background) {
    if (bus_) {
        bus_->attach(*model_);
    }
    model_->startUp();
    if (background) {
        return;
    }
    // Whether the device is paired is known once the credentials are open.
    const auto decide = [this] {
        if (!model_->ready() || firstShown_) {
            return;
        }
        firstShown_ = true;
        if (!model_->paired()) {
            windows_->open(TrayWindow::pairing);
        }
    };
    firstShow_ = std::make_unique<ModelObserver>(*model_, decide);
    decide();
}

void TrayApplication::pairOnceReady(Retry retry) {
    retried_ = false;
    const auto pairNow = [this, retry] {
        if (!model_->ready() || retried_) {
            return;
        }
        retried_ = true;
        windows_->open(TrayWindow::pairing);
        if (!retry.code.empty()) {
            model_->setPairingCode(retry.code);
            model_->pairWithPortal(retry.portal, retry.code);
        }
    };
    retryPairing_ = std::make_unique<ModelObserver>(*model_, pairNow);
    pairNow();
}

std::unique_ptr<ShellBusService> TrayApplication::releaseBus() {
    if (bus_) {
        bus_->detach();
    }
    return std::move(bus_);
}

void TrayApplication::show() {
    if (model_->ready() && !model_->paired()) {
        windows_->open(TrayWindow::pairing);
        return;
    }
    icon_->menu().popup(QCursor::pos());
}

} // namespace zoq
