#pragma once

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCaptureEngine/SerialQueue.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
    /// zoq's own icon, installed with its desktop entry.
    static constexpr const char* iconName = "org.zoq.Zoq";
    /// How often the connection is read for a click on a notification's
    /// action, while one that offers an action may still be clicked.
    static constexpr std::chrono::milliseconds actionPollInterval{200};
    /// Notifications whose action is still awaited, at most; the oldest is
    /// forgotten first.
    static constexpr std::size_t maximumAwaited = 32;
    /// How long one delivery may take before it is given up.
    static constexpr std::uint64_t deliveryTimeoutMicroseconds = 5'000'000;

    enum class Urgency : unsigned char { low = 0, normal = 1, critical = 2 };

    explicit DesktopNotifications(std::string busAddress = {});
    ~DesktopNotifications();
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    /// A button on the notification. `invoked` runs on the object's own
    /// thread when the person clicks it (post to the main thread from there).
    struct Action {
        std::string key;
        std::string label;
        std::function<void()> invoked;
    };

    void show(std::string summary, std::string body = {}, Urgency urgency = Urgency::normal);
    /// As above; a `transient` notification is not kept in the server's
    /// history. The action is offered only when the server lists "actions"
    /// among its capabilities (else the notification goes without it).
    void show(std::string summary, std::string body, Urgency urgency, bool transient,
              std::optional<Action> action);

    /// Waits until every notification queued before the call was delivered or
    /// dropped. For tests and an orderly exit.
    void flush();

    /// `text` with "&", "<", ">", "'" and '"' written as entities, which a
    /// server that reads markup shows as the characters themselves.
    static std::string escapedMarkup(const std::string& text);

private:
    /// On the queue's thread. Throws `CoreError::io` when it fails.
    void deliver(const std::string& summary, const std::string& body, Urgency urgency, bool transient,
                 const std::optional<Action>& action);
    /// The server's capabilities, asked once per connection (empty when it
    /// does not answer).
    const std::set<std::string>& capabilities(sd_bus* bus);
    /// Reads what arrived on the connection (clicks, closes); on the queue's thread.
    void pump() noexcept;
    static int signalled(sd_bus_message* message, void* self, sd_bus_error* error) noexcept;

    const std::string busAddress_;
    void forget() noexcept;

    // Only touched on queue_'s thread. The capabilities are asked again on
    // each new connection, because the server may have changed.
    sdbus::Bus bus_;
    std::optional<std::set<std::string>> capabilities_;
    sdbus::Slot signals_;
    // Notification id -> what its action does, for those still awaited.
    std::map<std::uint32_t, std::function<void()>> awaited_;
    std::unique_ptr<SerialQueue::Timer> pumping_;
    SerialQueue queue_;
};

} // namespace zoq
