#pragma once

#include "ZoqCore/Spool/FLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Upload/CredentialPersistence.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/System/NetworkObserving.h"
#include "ZoqShell/Transport/WireTransport.h"
#include "ZoqShell/Uploader/SpoolUploader.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace zoq::cli {

/// A command's refusal: the text to print after "zoq: " and the exit code.
class CommandFailure : public std::exception {
public:
    CommandFailure(int exitCode, std::string message) : exitCode_(exitCode), message_(std::move(message)) {}
    int exitCode() const noexcept { return exitCode_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    int exitCode_;
    std::string message_;
};

/// The keyring cannot be used (`exitNoCredentialStore`): `words()` says why
/// in a sentence, without the settings-file instructions the full message
/// adds, for a window that offers the file store itself.
class KeyringUnusable : public CommandFailure {
public:
    KeyringUnusable(int exitCode, std::string message, std::string words)
        : CommandFailure(exitCode, std::move(message)), words_(std::move(words)) {}
    const std::string& words() const noexcept { return words_; }

private:
    std::string words_;
};

/// What the pairing, upload and status commands share: the settings, the
/// credential store the user chose, the HTTP transport and device
/// authentication for the stored portal address, and an uploader over the
/// spool. One per command run, used from the command's thread (the uploader
/// runs its passes on its own worker).
class ShellSession {
public:
    /// Opens the settings and the credential store and checks that the store
    /// can be read. Throws `KeyringUnusable` when the keyring cannot be used,
    /// naming the opt-in file store; and when the
    /// stored portal address is refused (`exitFailure`), unless
    /// `storedPortalRequired` is false: then a refused address is not used
    /// (`portal()` is empty and device authentication has no address) and the
    /// caller names the portal itself (a pairing with --portal).
    explicit ShellSession(bool storedPortalRequired = true);
    ~ShellSession();
    ShellSession(const ShellSession&) = delete;
    ShellSession& operator=(const ShellSession&) = delete;

    ShellSettings& settings() noexcept { return *settings_; }
    WireTransport& transport() noexcept { return *transport_; }
    /// The credential store every zoq process of the user shares.
    CredentialPersistence& persistence() noexcept { return *persistence_; }
    const NetworkObserving& network() const noexcept { return *network_; }
    DeviceAuth& auth() noexcept { return *auth_; }
    const CoreClock& clock() const noexcept { return *clock_; }
    /// The portal address in force (normalised).
    const std::string& portal() const noexcept { return portal_; }
    /// Where the credentials are kept, for people: "keyring" or the file's path.
    const std::string& credentialStore() const noexcept { return storeName_; }

    /// Points device authentication (and later uploaders) at `portal`.
    void usePortal(const std::string& portal);

    /// A new uploader over `spoolRoot` (the default spool when none).
    std::unique_ptr<SpoolUploader> uploader(const std::optional<std::filesystem::path>& spoolRoot);

private:
    std::unique_ptr<ShellSettings> settings_;
    std::unique_ptr<CoreClock> clock_;
    std::unique_ptr<WireTransport> transport_;
    std::unique_ptr<CredentialPersistence> persistence_;
    std::unique_ptr<DeviceAuth> auth_;
    std::unique_ptr<NetworkObserving> network_;
    std::string portal_;
    std::string storeName_;
};

/// The paired device's identifier, read without side effects; none when the
/// device is not paired or the credential store cannot be used.
std::optional<std::string> pairedDeviceId();

/// "2026-12-07T09:40:00Z" for a date (whole seconds, UTC).
std::string isoText(Date date);

/// One line for people: name, state, stage, bytes sent, then what applies of
/// recording id, failures, retry time, last error and "STUCK".
std::string rowLine(const UploadRow& row);
/// The row as a JSON object (fields named as in `UploadRow`, dates ISO 8601).
JSONValue rowJSON(const UploadRow& row);

} // namespace zoq::cli
