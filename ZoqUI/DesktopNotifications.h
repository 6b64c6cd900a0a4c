#pragma once

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCaptureEngine/SerialQueue.h"

#include <string>

namespace zoq {

/// Desktop notifications through the session's notification server
/// (org.freedesktop.Notifications), so they look like every other
/// application's and reach a person on any desktop, with or without a tray.
///
/// `show` may be called from any thread and never waits: each notification
/// is sent from the object's own thread with its own connection, under a
/// deadline, so a slow or missing server never stalls the UI. A notification
/// that cannot be delivered is reported on stderr and dropped; the next one
/// connects again.
///
/// `busAddress` names the bus; empty for the session bus
/// (DBUS_SESSION_BUS_ADDRESS). The destructor waits for the notifications
/// already queued.
class DesktopNotifications {
public:
    static constexpr const char* applicationName = "zoq";
    static constexpr const char* iconName = "media-record";
    /// How long one delivery may take before it is given up.
    static constexpr std::uint64_t deliveryTimeoutMicroseconds = 5'000'000;

    enum class Urgency : unsigned char { low = 0, normal = 1, critical = 2 };

    explicit DesktopNotifications(std::string busAddress = {});
    ~DesktopNotifications();
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    void show(std::string summary, std::string body = {}, Urgency urgency = Urgency::normal);

    /// Waits until every notification queued before the call was delivered or
    /// dropped. For tests and an orderly exit.
    void flush();

private:
    /// On the queue's thread. Throws `CoreError::io` when it fails.
    void deliver(const std::string& summary, const std::string& body, Urgency urgency);

    const std::string busAddress_;
    sdbus::Bus bus_; // only touched on queue_'s thread
    SerialQueue queue_;
};

} // namespace zoq
