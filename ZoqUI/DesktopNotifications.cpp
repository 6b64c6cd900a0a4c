#include "ZoqUI/DesktopNotifications.h"

#include "ZoqShell/Settings/ShellIdentity.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string_view>

namespace zoq {

DesktopNotifications::DesktopNotifications(std::string busAddress)
    : busAddress_(std::move(busAddress)), queue_("zoq-notify") {}

DesktopNotifications::~DesktopNotifications() {
    flush();
    // The connection belongs to the queue's thread: close it there.
    queue_.sync([this] { bus_.reset(); });
}

std::string DesktopNotifications::escapedMarkup(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

bool DesktopNotifications::bodyMarkup(sd_bus* bus) {
    if (bodyMarkup_) {
        return *bodyMarkup_;
    }
    sdbus::Error error;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "GetCapabilities", error.get(), &reply, "");
    const sdbus::Message owned(reply);
    if (result < 0) {
        // Not known: escaping is the safe reading (at worst a server that
        // shows bodies as they are shows an entity).
        return true;
    }
    char** capabilities = nullptr;
    bool markup = false;
    if (sd_bus_message_read_strv(reply, &capabilities) >= 0 && capabilities != nullptr) {
        for (char** entry = capabilities; *entry != nullptr; ++entry) {
            markup = markup || std::string_view(*entry) == "body-markup";
            std::free(*entry);
        }
        std::free(capabilities);
    } else {
        return true;
    }
    bodyMarkup_ = markup;
    return markup;
}

void DesktopNotifications::show(std::string summary, std::string body, Urgency urgency) {
    queue_.async([this, summary = std::move(summary), body = std::move(body), urgency] {
        try {
            deliver(summary, body, urgency);
        } catch (const std::exception& error) {
            bus_.reset(); // connect afresh next time
            bodyMarkup_.reset();
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
    const std::string shownBody = bodyMarkup(bus) ? escapedMarkup(body) : body;
    sd_bus_message* raw = nullptr;
    sdbus::check(sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.Notifications",
                                                "/org/freedesktop/Notifications",
                                                "org.freedesktop.Notifications", "Notify"),
                 "Notify");
    const sdbus::Message call(raw);
    sdbus::check(sd_bus_message_append(raw, "susss", applicationName, 0U, iconName, summary.c_str(),
                                       shownBody.c_str()),
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
