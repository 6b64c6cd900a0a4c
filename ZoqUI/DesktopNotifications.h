#pragma once

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCaptureEngine/SerialQueue.h"

#include <optional>
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
/// Texts are plain: the summary is sent as it is (the protocol defines it as
/// plain text), and the body, which a server may read as markup, is escaped
/// when the server lists "body-markup" among its capabilities (asked once
/// per connection), so a name from another program always shows literally.
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

    /// `text` with "&", "<", ">", "'" and '"' written as entities, which a
    /// server that reads markup shows as the characters themselves.
    static std::string escapedMarkup(const std::string& text);

private:
    /// On the queue's thread. Throws `CoreError::io` when it fails.
    void deliver(const std::string& summary, const std::string& body, Urgency urgency);

    const std::string busAddress_;
    /// Whether the server reads the body as markup; asked on each new
    /// connection, because the server may have changed.
    bool bodyMarkup(sd_bus* bus);

    sdbus::Bus bus_;                 // only touched on queue_'s thread
    std::optional<bool> bodyMarkup_; // only touched on queue_'s thread; none: not asked yet
    SerialQueue queue_;
};

} // namespace zoq
