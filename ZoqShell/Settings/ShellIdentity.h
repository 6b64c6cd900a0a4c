#pragma once

namespace zoq {

/// Fixed names under which zoq presents itself to the desktop and the keyring.
struct ShellIdentity {
    ShellIdentity() = delete;

    /// The application identifier (desktop file, D-Bus and portal name).
    static constexpr const char* bundleID = "org.zoq.Zoq";
    /// The keyring item holding the device credentials.
    static constexpr const char* keychainService = "org.zoq.Zoq.credentials";
    static constexpr const char* keychainAccount = "device-credentials";
};

} // namespace zoq
