#pragma once

#include "ZoqCore/Wire/DeviceCredentialsResponse.h"
#include "ZoqShell/Auth/DeviceAuth.h"

#include <optional>
#include <string>
#include <string_view>

namespace zoq {

/// Binds this device to a portal account by redeeming a pairing code the user
/// created in the portal, and installs the credentials it yields.
///
/// A value with no state of its own: the shell makes a fresh one per attempt.
/// `pair` blocks while the request is sent; call it off the UI thread. Nothing
/// is retried automatically: the user retries from the pairing window.
class PairingClient {
public:
    /// The 32 symbols of a pairing code: digits and upper-case letters without
    /// I, L, O and U, which are too easily read as other symbols.
    static constexpr std::string_view alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    static constexpr std::size_t codeLength = 12;
    /// The platform the portal knows this client as.
    static constexpr std::string_view platform = "mac";

    /// `auth` is borrowed and must outlive the client. `installationId` is the
    /// installation's lower-case UUID; `deviceName` the name the portal shows.
    /// `portalBase`: the portal to pair with; none for the address `auth` is
    /// configured with. The credentials are bound to that portal's origin,
    /// and a given `portalBase` becomes `auth`'s address only once the
    /// pairing succeeded.
    PairingClient(DeviceAuth& auth, std::string installationId, std::string deviceName,
                  std::optional<std::string> portalBase = std::nullopt);

    /// Redeems `code`: normalises it, POSTs a `pairingRedeemRequest` to
    /// "/api/v1/devices/pair" without credentials, and installs the
    /// credentials of a 200 reply through `DeviceAuth::install`.
    /// Throws `PairingError::invalidCode` (nothing sent); the request
    /// document's validation `CoreError` (for example an installation
    /// identifier that is not a UUID); `PairingError::network` when the
    /// request was not sent or not answered; `PairingError::rejected` with the
    /// portal's error code, or "HTTP <status>" when the reply carries no
    /// usable error envelope (a 200 without valid credentials included); and
    /// the error of `install` unchanged, in which case the device stays as it
    /// was; and `CoreError::deadline` when another process's refresh kept the
    /// credentials busy too long (nothing sent). Refreshes wait while it runs.
    DeviceCredentialsResponse pair(std::string_view code) const;

    /// The code as sent: every "-" removed, blanks and line breaks trimmed at
    /// both ends, ASCII letters in upper case. Throws
    /// `PairingError::invalidCode` unless exactly `codeLength` symbols of
    /// `alphabet` remain (so inner spaces and non-ASCII look-alikes fail).
    static std::string normalisedCode(std::string_view code);

    /// A fresh nonce: 32 secure random bytes in unpadded base64url (43
    /// characters). Throws `CoreError::io` if the generator fails.
    static std::string redemptionNonce();

private:
    DeviceAuth& auth_;
    std::string installationId_;
    std::string deviceName_;
    std::optional<std::string> portalBase_;
};

} // namespace zoq
