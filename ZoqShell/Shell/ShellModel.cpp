#include "ZoqShell/Shell/ShellModel.h"

#include "ZoqShell/Auth/PairingClient.h"
#include "ZoqShell/Auth/PairingError.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Secrets/SecretsError.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/System/ZoqDeepLink.h"

#include <algorithm>
#include <cctype>

namespace zoq {
namespace {

std::string trimmed(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), std::make_reverse_iterator(first), blank).base();
    return std::string(first, last);
}

} // namespace

ShellModel::ShellModel(Dependencies dependencies)
    : settings_(dependencies.settings), executor_(dependencies.executor), transport_(dependencies.transport),
      persistence_(dependencies.persistence), spoolRoot_(std::move(dependencies.spoolRoot)),
      network_(dependencies.network), encoder_(std::move(dependencies.encoder)),
      makeHotKey_(std::move(dependencies.makeHotKey)), loginItems_(dependencies.loginItems),
      links_(dependencies.links), deviceName_(std::move(dependencies.deviceName)), clock_(dependencies.clock),
      tickInterval_(dependencies.tickInterval), history_(spoolRoot_.parent_path() / UploadHistory::fileName),
      recorder_(std::make_unique<RecorderController>(
          settings_, executor_, spoolRoot_, std::move(dependencies.engineFactory),
          std::move(dependencies.microphoneRequester), std::move(dependencies.soundServerProbe))),
      worker_(std::make_unique<SerialWorker>()), uploadWaiter_(std::make_unique<SerialWorker>()) {
    recorder_->onChange([this] {
        if (const std::optional<Notice> notice =
                attention_.recorder(recorder_->uiState(), recorder_->terminationInfo(),
                                    recorder_->awaitingSoundServer(), spoolRoot_)) {
            notify(*notice);
        }
        changed();
    });
    recorder_->onIgnoredApp([this](const std::string& bundleID) { ignoredApp(bundleID); });
    const ShellSettings::PortalCheck stored = ShellSettings::checkPortalURL(settings_.apiBaseURLString());
    if (stored.url) {
        openCredentials(*stored.url, [] {});
    } else {
        // An address edited by hand that zoq would refuse is not used: it
        // could hand the credentials to anyone. Said, and kept for the
        // person to correct.
        portalProblem_ = stored.reason;
        pairingMessage_ = portalRefused;
        ready_ = true;
    }
    if (dependencies.desktopEntries) {
        // After the credentials (the same worker): until the entries are
        // read, identifiers are the names.
        offMain<std::shared_ptr<const DesktopEntryIndex>>(
            *worker_, std::move(dependencies.desktopEntries),
            [this](std::shared_ptr<const DesktopEntryIndex> index) {
                names_.update(std::move(index));
                changed();
            });
    }
    scheduleTick();
}

ShellModel::~ShellModel() {
    alive_.reset();
    // The recording first, before anything that may wait: its open part ends
    // here and is finalised (the controller waits for that).
    recorder_.reset();
    if (hotKey_) {
        hotKey_->unregister();
    }
    // A pass or a pairing under way is given up, not awaited: its requests
    // end now, and what it committed is where the next start resumes.
    if (uploader_) {
        uploader_->abandon();
    }
    transport_.cancel();
    // The workers finish the job under way (ending quickly now) and drop the
    // rest before anything they use goes.
    uploadWaiter_.reset();
    worker_.reset();
}

template <typename Result>
void ShellModel::offMain(SerialWorker& worker, std::function<Result()> work,
                         std::function<void(Result)> then) {
    (void)worker.submit([alive = std::weak_ptr<bool>(alive_), &executor = executor_, work = std::move(work),
                         then = std::move(then)]() mutable {
        auto result = std::make_shared<Result>(work());
        executor.post([alive, then = std::move(then), result] {
            if (alive.lock()) {
                then(std::move(*result));
            }
        });
    });
}

void ShellModel::changed() {
    for (const auto& observer : observers_) {
        observer();
    }
}

void ShellModel::notify(const Notice& notice) {
    for (const auto& observer : noticeObservers_) {
        observer(notice);
    }
}

void ShellModel::ignoredApp(const std::string& bundleID) {
    if (!tellsAboutNotAllowedApps()) {
        return;
    }
    if (std::optional<Notice> notice =
            attention_.ignoredApp(bundleID, clock_.wallDate(), applicationName(bundleID))) {
        if (settings_.isLocked(ShellSettings::allowedBundleIDsKey)) {
            // Only the administrator can allow it: no "Always record".
            notice->alwaysRecord.reset();
        }
        notify(*notice);
    }
}

bool ShellModel::tellsAboutNotAllowedApps() const {
    const std::optional<JSONValue> stored = settings_.value(notifyNotAllowedKey);
    const std::optional<bool> on = stored ? stored->boolean() : std::nullopt;
    return on.value_or(true);
}

void ShellModel::setTellAboutNotAllowedApps(bool enabled) {
    try {
        (void)settings_.update(notifyNotAllowedKey,
                               [enabled](const JSONValue*) { return std::optional<JSONValue>(enabled); });
    } catch (const std::exception&) {
    }
    changed();
}

void ShellModel::alwaysRecord(const std::string& bundleID) {
    std::set<std::string> allowed = settings_.allowedBundleIDs();
    if (allowed.insert(bundleID).second) {
        updateAllowlist(allowed);
    }
}

void ShellModel::setPairingCode(std::string code) {
    pairingCode_ = std::move(code);
    changed();
}

// MARK: Credentials and the uploader

void ShellModel::openCredentials(const std::string& portal, std::function<void()> then) {
    // Opening the credentials reads the keyring: never on the main thread.
    offMain<std::shared_ptr<DeviceAuth>>(
        *worker_,
        [this, portal] { return std::make_shared<DeviceAuth>(transport_, persistence_, portal, clock_); },
        [this, then = std::move(then)](std::shared_ptr<DeviceAuth> auth) {
            if (!auth_) {
                auth_ = std::move(auth);
                refreshPortalState();
                blockedAuth_ = auth_->isBlocked();
                attachUploader();
            }
            ready_ = true;
            changed();
            if (startUpPending_) {
                startUpPending_ = false;
                startUp();
            }
            then();
        });
}

void ShellModel::attachUploader() {
    if (uploader_ || !auth_) {
        return;
    }
    uploader_ = std::make_unique<SpoolUploader>(
        spoolRoot_, SpoolUploader::Dependencies{*auth_, transport_, network_, encoder_, &settings_}, clock_);
    uploader_->onRows([alive = std::weak_ptr<bool>(alive_), &executor = executor_,
                       this](const std::vector<UploadRow>& rows, bool blocked) {
        executor.post([alive, rows, blocked, this] {
            if (alive.lock()) {
                rows_ = rows;
                blockedAuth_ = blocked;
                if (history_.record(rows_, clock_.wallDate(), recorder_->partSources())) {
                    saveHistory();
                }
                if (const std::optional<Notice> notice = attention_.uploads(rows_, clock_.wallDate())) {
                    notify(*notice);
                }
                changed();
            }
        });
    });
    uploader_->setBaseURL(settings_.apiBaseURL());
}

void ShellModel::saveHistory() {
    // The worker is serial, so the saves land in the order they were made.
    (void)worker_->submit([file = history_.file(), entries = history_.entries()] {
        try {
            UploadHistory::save(file, entries);
        } catch (const std::exception&) {
            // Kept in memory for this run; the next upload tries again.
        }
    });
}

void ShellModel::scheduleTick() {
    executor_.postAfter(tickInterval_, [alive = std::weak_ptr<bool>(alive_), this] {
        if (alive.lock()) {
            tick();
        }
    });
}

void ShellModel::tick() {
    // One pass at a time: the next is scheduled when this one has ended.
    SpoolUploader* uploader = uploader_.get();
    offMain<LoginItemState>(
        *uploadWaiter_,
        [uploader, this] {
            if (uploader != nullptr) {
                try {
                    (void)uploader->tickOnce().get();
                } catch (const std::exception&) {
                    // The pass tries again at the next tick.
                }
            }
            return loginItems_.currentState();
        },
        [this](LoginItemState state) {
            if (auth_) {
                refreshPortalState();
                blockedAuth_ = auth_->isBlocked();
            }
            loginItemState_ = state;
            changed();
            scheduleTick();
        });
}

void ShellModel::uploadNow(std::function<void()> done) {
    SpoolUploader* uploader = uploader_.get();
    offMain<bool>(
        *uploadWaiter_,
        [uploader] {
            if (uploader != nullptr) {
                try {
                    (void)uploader->tickOnce().get();
                } catch (const std::exception&) {
                }
            }
            return true;
        },
        [done = std::move(done)](bool) {
            if (done) {
                done();
            }
        });
}

// MARK: Portal and pairing

void ShellModel::refreshPortalState() {
    const bool held = auth_ && auth_->hasCredentials();
    paired_ = held && auth_->servesConfiguredPortal();
    portalChanged_ = held && !paired_;
}

bool ShellModel::lockedAgainst(const std::string& portal) const {
    return settings_.isLocked(ShellSettings::apiBaseURLKey) && settings_.apiBaseURL() != portal;
}

bool ShellModel::applyPortalURL(const std::string& text) {
    const ShellSettings::PortalCheck check = ShellSettings::checkPortalURL(trimmed(text));
    if (!check.url) {
        portalProblem_ = check.reason;
        pairingMessage_ = portalRefused;
        changed();
        return false;
    }
    if (lockedAgainst(*check.url)) {
        // The credentials stay with the administrator's portal.
        portalProblem_ = setByAdministrator;
        pairingMessage_ = portalLocked;
        changed();
        return false;
    }
    portalProblem_.clear();
    const std::string& portal = *check.url;
    try {
        settings_.setAPIBaseURLString(portal);
    } catch (const std::exception&) {
        // Used for this run even when it cannot be kept.
    }
    if (auth_) {
        auth_->configure(portal);
    } else {
        openCredentials(portal, [] {});
    }
    if (uploader_) {
        uploader_->setBaseURL(portal);
    }
    refreshPortalState();
    // The message follows this action: an earlier refusal no longer holds.
    pairingMessage_ = portalChanged_ ? std::optional<std::string>(portalChangedMessage) : std::nullopt;
    changed();
    return true;
}

void ShellModel::pair(std::string code, PairingDone done) {
    pairWithPortal(settings_.apiBaseURLString(), std::move(code), std::move(done));
}

void ShellModel::pairWithPortal(std::string portalText, std::string code, PairingDone done) {
    const auto finish = [](const PairingDone& callback, const PairingOutcome& outcome) {
        if (callback) {
            callback(outcome);
        }
    };
    const ShellSettings::PortalCheck check = ShellSettings::checkPortalURL(trimmed(portalText));
    if (!check.url) {
        portalProblem_ = check.reason;
        pairingMessage_ = portalRefused;
        changed();
        finish(done, {PairingOutcome::Kind::portalRefused, portalRefused, check.reason});
        return;
    }
    const std::string portal = *check.url;
    if (lockedAgainst(portal)) {
        // Never pair elsewhere: the credentials would go to another portal.
        portalProblem_ = setByAdministrator;
        pairingMessage_ = portalLocked;
        changed();
        finish(done, {PairingOutcome::Kind::portalRefused, portalLocked, setByAdministrator});
        return;
    }
    if (!auth_) {
        // The credentials are still being opened: pair once they are. They
        // are opened for the stored address (binding credentials saved
        // before origins were kept to it), never for the one being tried.
        openCredentials(settings_.apiBaseURL().value_or(""),
                        [this, portal, code = std::move(code), done = std::move(done), finish] {
                            if (auth_) {
                                pairWithPortal(portal, code, done);
                            } else {
                                pairingMessage_ = portalMissing;
                                changed();
                                finish(done, {PairingOutcome::Kind::portalRefused, portalMissing, {}});
                            }
                        });
        return;
    }
    pairingMessage_ = pairingInProgress;
    changed();
    struct Outcome {
        std::optional<std::string> deviceId;
        std::string failure;
        /// What the failure means for the person, on a line after the fixed text.
        std::string explanation;
        /// The credential store refused: another pairing would fail alike.
        bool keyring = false;
    };
    offMain<Outcome>(
        *worker_,
        [auth = auth_, this, code, portal] {
            try {
                const PairingClient client(*auth, ShellPaths::installUUID(settings_), deviceName_, portal);
                return Outcome{client.pair(code).deviceId(), {}, {}};
            } catch (const PairingError& error) {
                return Outcome{std::nullopt, error.what(), plain::words(error)};
            } catch (const SecretsError& error) {
                return Outcome{std::nullopt, error.what(), plain::words(error), true};
            } catch (const std::exception& error) {
                return Outcome{std::nullopt, error.what(), {}};
            }
        },
        [this, portal, done = std::move(done), finish](Outcome outcome) {
            if (!outcome.deviceId) {
                // untranslated: the fixed text of the pairing vocabulary, which the bus carries
                const std::string message = "Pairing failed: " + outcome.failure +
                                            (outcome.explanation.empty() ? "" : "\n" + outcome.explanation);
                pairingMessage_ = message;
                keyringUnusable_ = outcome.keyring;
                changed();
                finish(done, {PairingOutcome::Kind::failed, message, {}});
                return;
            }
            // The credentials are bound to `portal` and device
            // authentication uses it already; now it becomes the address.
            try {
                settings_.setAPIBaseURLString(portal);
            } catch (const std::exception&) {
                // Used for this run even when it cannot be kept.
            }
            portalProblem_.clear();
            attachUploader();
            if (uploader_) {
                uploader_->setBaseURL(portal);
            }
            refreshPortalState();
            blockedAuth_ = false;
            keyringUnusable_ = false;
            // untranslated: the bus answers with it, and the pairing window looks for it
            const std::string message = "Paired device " + *outcome.deviceId;
            pairingMessage_ = message;
            changed();
            if (recorder_->isRunning()) {
                restartRecorder();
            } else if (!settings_.value(ShellSettings::recorderEnabledKey) || settings_.recorderEnabled()) {
                // Pairing is what a person does to start recording: it
                // switches recording on, unless they switched it off before
                // (the key is written by every start and stop).
                recorder_->start(*outcome.deviceId);
            }
            finish(done, {PairingOutcome::Kind::paired, message, {}});
            SpoolUploader* uploader = uploader_.get();
            offMain<bool>(
                *uploadWaiter_,
                [uploader, device = *outcome.deviceId] {
                    try {
                        (void)uploader->resumeAfterPair(device).get();
                        (void)uploader->tickOnce().get();
                    } catch (const std::exception&) {
                    }
                    return true;
                },
                [](bool) {});
        });
}

std::string ShellModel::applicationName(const std::string& id) const {
    if (id.empty()) {
        return id;
    }
    std::string name = names_.nameOf(id);
    return name.empty() ? id : name;
}

std::optional<std::string> ShellModel::currentDeviceId() const {
    // Also while the address names another portal: recording goes on and
    // its uploads wait, as they do for blocked credentials.
    if (!auth_) {
        return std::nullopt;
    }
    const std::optional<CredentialSnapshot> snapshot = auth_->snapshot();
    if (!snapshot) {
        return std::nullopt;
    }
    return snapshot->credentials.deviceId();
}

// MARK: Recording

void ShellModel::startUp() {
    if (!ready_) {
        startUpPending_ = true;
        return;
    }
    installHotkey();
    refreshLoginItemState();
    if (settings_.recorderEnabled() && (paired_ || portalChanged_)) {
        if (const std::optional<std::string> device = currentDeviceId()) {
            recorder_->start(*device);
        }
    }
}

void ShellModel::toggleRecorder() {
    if (recorder_->isRunning()) {
        recorder_->stop();
        return;
    }
    if (const std::optional<std::string> device = currentDeviceId()) {
        recorder_->start(*device);
    } else {
        pairingMessage_ = pairFirst;
        changed();
    }
}

void ShellModel::togglePause(std::function<void()> done) {
    recorder_->togglePause(std::move(done));
}

void ShellModel::pause(std::function<void()> done) {
    recorder_->pause(std::move(done));
}

void ShellModel::resume(std::function<void()> done) {
    recorder_->resume(std::move(done));
}

void ShellModel::requestMicrophonePermission() {
    recorder_->requestMicrophonePermission();
}

void ShellModel::restartRecorder() {
    if (const std::optional<std::string> device = currentDeviceId(); device && recorder_->isRunning()) {
        recorder_->stop();
        recorder_->start(*device);
    }
}

bool ShellModel::updateAllowlist(const std::set<std::string>& bundleIDs) {
    if (settings_.isLocked(ShellSettings::allowedBundleIDsKey)) {
        changed();
        return false;
    }
    try {
        settings_.setAllowedBundleIDs(bundleIDs);
    } catch (const std::exception&) {
    }
    restartRecorder();
    changed();
    return true;
}

bool ShellModel::setChime(bool enabled) {
    if (settings_.isLocked(ShellSettings::chimeEnabledKey)) {
        changed();
        return false;
    }
    try {
        settings_.setChimeEnabled(enabled);
    } catch (const std::exception&) {
    }
    restartRecorder();
    changed();
    return true;
}

bool ShellModel::setSystemAudioSource(SystemAudioSource source) {
    if (settings_.isLocked(ShellSettings::systemAudioSourceKey)) {
        changed();
        return false;
    }
    try {
        settings_.setSystemAudioSource(source);
    } catch (const std::exception&) {
    }
    restartRecorder();
    changed();
    return true;
}

// MARK: Hotkey and login item

void ShellModel::installHotkey() {
    if (hotKey_) {
        hotKey_->unregister();
        hotKey_.reset();
    }
    if (!makeHotKey_) {
        return;
    }
    // The press arrives on the hotkey's own thread.
    std::shared_ptr<GlobalHotKey> hotKey =
        makeHotKey_([alive = std::weak_ptr<bool>(alive_), &executor = executor_, this] {
            executor.post([alive, this] {
                if (alive.lock()) {
                    // The icon alone is easy to miss: the hotkey's effect is
                    // also said, once the engine has applied it.
                    togglePause([alive, this] {
                        if (!alive.lock() || !recorder_->hasEngine()) {
                            return;
                        }
                        const bool paused = recorder_->uiState() == RecorderUIState::paused;
                        notify(Notice{
                            i18n(paused ? AttentionNotices::pausedSummary : AttentionNotices::resumedSummary),
                            paused ? i18n(AttentionNotices::pausedBody) : "", false, true, std::nullopt});
                    });
                }
            });
        });
    hotKey_ = hotKey;
    hotkeyRegistered_ = false;
    hotkeyWaiting_ = true;
    changed();
    const HotkeyConfiguration combination = settings_.hotkey();
    // The desktop may ask the person first (the portal), or not answer at
    // all: off the main thread, which learns the outcome when it comes.
    offMain<bool>(
        *worker_,
        [hotKey, combination] {
            return hotKey->registerHotKey(static_cast<std::uint32_t>(combination.keyCode),
                                          combination.carbonModifiers);
        },
        [this, hotKey](bool registered) {
            if (hotKey_ == hotKey) {
                hotkeyRegistered_ = registered;
                hotkeyWaiting_ = false;
                changed();
            }
        });
}

void ShellModel::refreshLoginItemState() {
    offMain<LoginItemState>(
        *worker_, [this] { return loginItems_.currentState(); },
        [this](LoginItemState state) {
            loginItemState_ = state;
            changed();
        });
}

void ShellModel::setLoginItem(bool enabled) {
    offMain<LoginItemState>(
        *worker_, [this, enabled] { return loginItems_.toggle(enabled); },
        [this, enabled](LoginItemState state) {
            loginItemState_ = state;
            const bool took =
                enabled ? state == LoginItemState::registered || state == LoginItemState::requiresApproval
                        : state == LoginItemState::notRegistered;
            if (took) {
                loginItemProblem_.reset();
            } else {
                loginItemProblem_ = enabled ? loginItemNotOn : loginItemNotOff;
            }
            changed();
            if (state == LoginItemState::requiresApproval) {
                open(ZoqDeepLink::loginItemsSettings, links_);
            }
        });
}

} // namespace zoq
