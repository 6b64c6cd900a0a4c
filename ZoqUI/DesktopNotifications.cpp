#include "ZoqUI/DesktopNotifications.h"

#include "ZoqShell/Settings/ShellIdentity.h"

#include <exception>
#include <iostream>
#include <stdexcept>

namespace zoq {

DesktopNotifications::DesktopNotifications(std::string busAddress)
    : busAddress_(std::move(busAddress)), queue_("zoq-notify") {}

DesktopNotifications::~DesktopNotifications() {
    flush();
    // The connection belongs to the queue's thread: close it there.
    queue_.sync([this] { bus_.reset(); });
}

void DesktopNotifications::show(std::string summary, std::string body, Urgency urgency) {
    queue_.async([this, summary = std::move(summary), body = std::move(body), urgency] {
        try {
            deliver(summary, body, urgency);
        } catch (const std::exception& error) {
            bus_.reset(); // connect afresh next time
            std::cerr << "zoq: desktop notification \"" << summary << "\" not shown: " << error.what()
                      << '\n';
        }
    });
}

void DesktopNotifications::flush() {
    queue_.sync([] {});
}

void DesktopNotifications::deliver(const std::string& summary, const std::string& body, Urgency urgency) {
    if (!bus_) {
        bus_ = sdbus::open(sdbus::Kind::user, busAddress_);
    }
    sd_bus* bus = bus_.get();
    sd_bus_message* raw = nullptr;
    sdbus::check(sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.Notifications",
                                                "/org/freedesktop/Notifications",
                                                "org.freedesktop.Notifications", "Notify"),
                 "Notify");
    const sdbus::Message call(raw);
    sdbus::check(
        sd_bus_message_append(raw, "susss", applicationName, 0U, iconName, summary.c_str(), body.c_str()),
        "Notify");
    sdbus::check(sd_bus_message_append(raw, "as", 0), "Notify");
    sdbus::check(sd_bus_message_append(raw, "a{sv}", 2, "urgency", "y", static_cast<std::uint8_t>(urgency),
                                       "desktop-entry", "s", ShellIdentity::bundleID),
                 "Notify");
    sdbus::check(sd_bus_message_append(raw, "i", -1), "Notify");
    sdbus::Error error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call(bus, raw, deliveryTimeoutMicroseconds, error.get(), &reply);
    const sdbus::Message owned(reply);
    if (result < 0) {
        throw std::runtime_error(error.describe(result));
    }
}

} // namespace zoq
