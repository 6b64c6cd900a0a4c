#include "Zoq/zoq/ShellSession.h"

#include "Zoq/zoq/CommandLine.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/KeychainSecrets.h"
#include "ZoqShell/Secrets/LibsecretItemStore.h"
#include "ZoqShell/Secrets/SecretsError.h"
#include "ZoqShell/Secrets/SharedCredentialPersistence.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/System/NetlinkNetwork.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/PortalOrigin.h"

#include <cmath>
#include <ctime>
#include <sys/stat.h>

namespace zoq::cli {
namespace {

constexpr const char* keychainService = "org.zoq.Zoq.credentials";
constexpr const char* keychainAccount = "device-credentials";

// A portal on this machine is reachable whatever the network state says
// (a host without a default route still has loopback).
bool isLoopback(const std::string& portal) {
    const std::optional<std::string> host = ShellSettings::portalHost(portal);
    return host && PortalOrigin::isLoopbackHost(*host);
}

std::unique_ptr<NetworkObserving> networkFor(const std::string& portal) {
    if (!isLoopback(portal)) {
        try {
            return std::make_unique<NetlinkNetwork>();
        } catch (const CoreError&) {
            // No netlink (a restricted container): let the transport decide.
        }
    }
    return std::make_unique<NullNetwork>();
}

} // namespace

ShellSession::ShellSession(bool storedPortalRequired)
    : settings_(std::make_unique<ShellSettings>(
          ShellPaths::settingsFile(), ShellSettings::systemLayersIn(ShellPaths::systemConfigRoots()))),
      clock_(std::make_unique<HostClock>()), transport_(std::make_unique<CurlWireTransport>()) {
    if (const auto problem = settings_->problem()) {
        throw CommandFailure(exitFailure,
                             substitute(i18n("the settings file {1} is damaged ({2}); fix or remove it"),
                                        {settings_->file().string(), *problem}));
    }
    const ShellSettings::PortalCheck portal = ShellSettings::checkPortalURL(settings_->apiBaseURLString());
    if (portal.url) {
        portal_ = *portal.url;
    } else if (storedPortalRequired) {
        throw CommandFailure(
            exitFailure,
            substitute(i18n("the portal address \"{1}\" in the settings is refused "
                            "({2}); run 'zoq pair CODE --portal URL'"),
                       {PortalOrigin::withoutUserInfo(settings_->apiBaseURLString()), portal.reason}));
    }

    // zoq's data directory holds the credential locks (and, when chosen, the
    // credential file): every zoq process of the user shares it.
    const std::filesystem::path root = ShellPaths::supportRoot();
    std::filesystem::create_directories(root);
    ::chmod(root.c_str(), 0700);
    std::unique_ptr<SecretsStoring> secrets;
    if (settings_->credentialsInFile()) {
        auto file = std::make_unique<FileSecrets>(root);
        storeName_ = file->path().string();
        secrets = std::move(file);
    } else {
        storeName_ = "keyring";
        secrets = std::make_unique<KeychainSecrets>(keychainService, keychainAccount,
                                                    std::make_unique<LibsecretItemStore>());
    }
    auto keyed = std::make_unique<KeychainCredentialPersistence>(std::move(secrets));
    SecretsStoring& store = keyed->secrets();
    auto persistence = std::make_unique<SharedCredentialPersistence>(std::move(keyed), root);
    // Device authentication treats any load failure as "not paired". A
    // keyring that cannot be reached must not look like that, or `pair`
    // would seem to work and nothing would ever be kept. (Under the decision
    // lock: reading may finish another process's interrupted store.)
    try {
        const auto deciding = persistence->lock(CredentialLockScope::decision);
        (void)store.retrieve();
    } catch (const SecretsError& error) {
        const std::string said = plain::words(error);
        throw KeyringUnusable(
            exitNoCredentialStore,
            said + "\n" + i18n("zoq keeps the device credentials in the desktop keyring (Secret Service).") +
                " " + plain::fileStoreChoice(settings_->file()),
            said);
    } catch (const CoreError& error) {
        throw CommandFailure(exitNoCredentialStore,
                             substitute(settings_->credentialsInFile()
                                            ? i18n("the credential file cannot be used: {1}")
                                            : i18n("the credential lock cannot be taken: {1}"),
                                        {error.reason()}));
    }
    persistence_ = std::move(persistence);
    auth_ = std::make_unique<DeviceAuth>(*transport_, *persistence_, portal_, *clock_);
    network_ = networkFor(portal_);
}

ShellSession::~ShellSession() = default;

void ShellSession::usePortal(const std::string& portal) {
    portal_ = portal;
    auth_->configure(portal);
    network_ = networkFor(portal_);
}

std::unique_ptr<SpoolUploader> ShellSession::uploader(const std::optional<std::filesystem::path>& spoolRoot) {
    const std::filesystem::path ffmpeg =
        settings_->ffmpegPath().value_or(FFmpegFLACEncoder::defaultExecutable);
    auto uploader = std::make_unique<SpoolUploader>(
        spoolRoot.value_or(ShellPaths::spoolRoot()),
        SpoolUploader::Dependencies{*auth_, *transport_, *network_,
                                    [ffmpeg] { return std::make_unique<FFmpegFLACEncoder>(ffmpeg); },
                                    settings_.get()},
        *clock_);
    uploader->setBaseURL(portal_);
    return uploader;
}

std::optional<std::string> pairedDeviceId() {
    try {
        ShellSession session;
        if (const auto snapshot = session.auth().snapshot()) {
            return snapshot->credentials.deviceId();
        }
    } catch (const std::exception&) {
        // No usable store or settings: the same as not paired here.
    }
    return std::nullopt;
}

std::string isoText(Date date) {
    const auto seconds = static_cast<std::time_t>(std::floor(date.unixSeconds()));
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string rowLine(const UploadRow& row) {
    // The state and stage are their stored names, English in every language.
    std::string line =
        row.directoryName + "  " + std::string(rawValue(row.state)) + "  " +
        std::string(rawValue(row.stage)) + "  " +
        substitute(i18n("sent {1}/{2} bytes"), {std::to_string(row.sentBytes), std::to_string(row.byteSize)});
    if (row.recordingId) {
        line += "  " + substitute(i18n("recording {1}"), {*row.recordingId});
    }
    if (row.failures > 0) {
        line += "  " + substitute(i18n("failures {1}"), {std::to_string(row.failures)});
    }
    if (row.retryAt) {
        line += "  " + substitute(i18n("retry at {1}"), {isoText(*row.retryAt)});
    }
    if (row.lastError) {
        line += "  " + substitute(i18n("error: {1}"), {*row.lastError});
    }
    if (row.stuck) {
        line += "  ";
        line += i18n("STUCK");
    }
    return line;
}

JSONValue rowJSON(const UploadRow& row) {
    JSONValue::Object object{
        {"directoryName", row.directoryName},
        {"state", std::string(rawValue(row.state))},
        {"stage", std::string(rawValue(row.stage))},
        {"recordingId", row.recordingId ? JSONValue(*row.recordingId) : JSONValue(nullptr)},
        {"failures", row.failures},
        {"retryAt", row.retryAt ? JSONValue(isoText(*row.retryAt)) : JSONValue(nullptr)},
        {"lastError", row.lastError ? JSONValue(*row.lastError) : JSONValue(nullptr)},
        {"stuck", row.stuck},
        {"sentBytes", row.sentBytes},
        {"byteSize", row.byteSize},
    };
    return JSONValue(std::move(object));
}

} // namespace zoq::cli
