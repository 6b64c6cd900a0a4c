#pragma once

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqShell/Service/ShellStatus.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>

namespace zoq {

/// Talks to the running zoq service (`ShellBusService`) over the session bus,
/// for the command line. Every call has a deadline and never starts a
/// service that is not running (no D-Bus activation): only `activate` does,
/// for the one command that asks zoq to record. Used from one thread.
///
/// Every call throws `ShellBusError` on an error reply (its D-Bus name and
/// message), when the deadline passes (org.freedesktop.DBus.Error.NoReply or
/// .Timeout), when the service was gone before the call reached it
/// (org.freedesktop.DBus.Error.ServiceUnknown), or when it left the bus while
/// the call waited for its answer (`shellbus::error::stopped`, "zoq stopped
/// while handling the request").
class ShellBusClient {
public:
    /// Quick calls: the main thread of the service answers at once.
    static constexpr std::chrono::seconds callTimeout{25};
    /// A pairing waits for the portal (whose requests time out after 60 s of
    /// silence, and may be refreshed once).
    static constexpr std::chrono::minutes pairTimeout{5};
    /// An upload pass sends every recording that is due, possibly hundreds
    /// of megabytes: generous, but not unbounded.
    static constexpr std::chrono::minutes uploadTimeout{60};

    /// Connects to the session bus at `address` (empty: DBUS_SESSION_BUS_ADDRESS
    /// or the user's standard bus); none when there is no session bus or no
    /// zoq service on it. Never throws for either.
    static std::unique_ptr<ShellBusClient> connect(const std::string& address = {});

    /// Has the session bus at `address` start zoq through its activation file
    /// (the installed one hands it to the systemd user unit) and connects to
    /// it once it owns its name. None when there is no session bus; throws
    /// `ShellBusError` when zoq is not activatable here
    /// (org.freedesktop.DBus.Error.ServiceUnknown) or failed to start.
    static std::unique_ptr<ShellBusClient> activate(const std::string& address = {});

    /// Every property at once.
    ShellStatus status();
    void startRecording() { call("StartRecording", callTimeout); }
    void stopRecording() { call("StopRecording", callTimeout); }
    void togglePause() { call("TogglePause", callTimeout); }
    void pause() { call("Pause", callTimeout); }
    void resume() { call("Resume", callTimeout); }
    /// Returns when the pass has ended.
    void uploadNow() { call("UploadNow", uploadTimeout); }
    /// Returns "Paired device <id>"; a failed pairing throws
    /// org.zoq.Zoq.Error.PairingFailed with "Pairing failed: <reason>".
    std::string pair(const std::string& code);
    /// Pairs with the portal at `url` and applies it only when that pairing
    /// succeeds; replies and errors as `pair`, and
    /// org.zoq.Zoq.Error.InvalidPortalURL for a refused address.
    std::string pairWithPortal(const std::string& url, const std::string& code);
    /// Whether the address was applied, and the applied address or the refusal.
    std::pair<bool, std::string> applyPortalURL(const std::string& url);
    void show() { call("Show", callTimeout); }

private:
    explicit ShellBusClient(sdbus::Bus bus) : bus_(std::move(bus)) {}
    sdbus::Message call(const char* method, std::chrono::microseconds timeout, const char* argument = nullptr,
                        const char* second = nullptr);
    sdbus::Message call(const char* interface, const char* method, std::chrono::microseconds timeout,
                        const char* argument, const char* second = nullptr);
    static bool answeredByService(const char* errorName);
    /// Whether a process owns the service's name now (true when the bus
    /// cannot say).
    bool ownerPresent();

    sdbus::Bus bus_;
};

} // namespace zoq
