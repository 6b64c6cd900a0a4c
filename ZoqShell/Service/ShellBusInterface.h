#pragma once

namespace zoq::shellbus {

// The names under which the running zoq service (the tray or `zoq daemon`)
// answers on the user's session bus. docs/session-bus.md describes the
// interface for people who script against it.

constexpr const char* busName = "org.zoq.Zoq";
constexpr const char* objectPath = "/org/zoq/Zoq";
constexpr const char* interfaceName = "org.zoq.Zoq";

// D-Bus errors the service replies with; the message is a sentence for people.
namespace error {
/// The service has not finished starting (its model is not attached or the
/// stored credentials are still being opened).
constexpr const char* notReady = "org.zoq.Zoq.Error.NotReady";
/// The operation needs a paired device.
constexpr const char* notPaired = "org.zoq.Zoq.Error.NotPaired";
/// Pause, resume or toggle while the recorder is off.
constexpr const char* notRunning = "org.zoq.Zoq.Error.NotRunning";
/// The portal refused the pairing code, or the portal could not be reached.
constexpr const char* pairingFailed = "org.zoq.Zoq.Error.PairingFailed";
/// The portal address is not an http(s) URL.
constexpr const char* invalidPortalURL = "org.zoq.Zoq.Error.InvalidPortalURL";
/// Anything else the service could not do; the message says what.
constexpr const char* failed = "org.zoq.Zoq.Error.Failed";
/// Never sent by the service: what a client reports when the service left
/// the bus (it quit or died) while a call waited for its answer.
constexpr const char* stopped = "org.zoq.Zoq.Error.Stopped";
constexpr const char* stoppedMessage = "zoq stopped while handling the request";
} // namespace error

} // namespace zoq::shellbus
