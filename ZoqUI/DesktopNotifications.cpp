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
    queue_.sync([this] { forget(); });
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

const std::set<std::string>& DesktopNotifications::capabilities(sd_bus* bus) {
    if (capabilities_) {
        return *capabilities_;
    }
    capabilities_.emplace();
    sdbus::Error error;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "GetCapabilities", error.get(), &reply, "");
    const sdbus::Message owned(reply);
    char** listed = nullptr;
    if (result >= 0 && sd_bus_message_read_strv(reply, &listed) >= 0 && listed != nullptr) {
        for (char** entry = listed; *entry != nullptr; ++entry) {
            capabilities_->insert(*entry);
            std::free(*entry);
        }
        std::free(listed);
    } else {
        // Not known: the body is escaped (the safe reading: at worst a
        // server that shows bodies as they are shows an entity), and asked
        // again with the next notification.
        capabilities_.reset();
        static const std::set<std::string> unknown{"body-markup"};
        return unknown;
    }
    return *capabilities_;
}

void DesktopNotifications::show(std::string summary, std::string body, Urgency urgency) {
    show(std::move(summary), std::move(body), urgency, false, std::nullopt);
}

void DesktopNotifications::show(std::string summary, std::string body, Urgency urgency, bool transient,
                                std::optional<Action> action) {
    queue_.async([this, summary = std::move(summary), body = std::move(body), urgency, transient,
                  action = std::move(action)] {
        try {
            deliver(summary, body, urgency, transient, action);
        } catch (const std::exception& error) {
            forget(); // connect afresh next time
            // untranslated: a log line
            std::cerr << "zoq: desktop notification \"" << summary << "\" not shown: " << error.what()
                      << '\n';
        }
    });
}

void DesktopNotifications::flush() {
    queue_.sync([] {});
}

void DesktopNotifications::forget() noexcept {
    pumping_.reset();
    awaited_.clear();
    signals_.reset();
    bus_.reset();
    capabilities_.reset();
}

int DesktopNotifications::signalled(sd_bus_message* message, void* self, sd_bus_error*) noexcept {
    auto& notifications = *static_cast<DesktopNotifications*>(self);
    std::uint32_t id = 0;
    if (sd_bus_message_is_signal(message, "org.freedesktop.Notifications", "ActionInvoked") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(message, "us", &id, &key) < 0) {
            return 0;
        }
        const auto found = notifications.awaited_.find(id);
        if (found != notifications.awaited_.end()) {
            const std::function<void()> invoked = std::move(found->second);
            notifications.awaited_.erase(found);
            try {
                invoked();
            } catch (const std::exception& error) {
                // untranslated: a log line
                std::cerr << "zoq: a notification's action failed: " << error.what() << '\n';
            }
        }
    } else if (sd_bus_message_is_signal(message, "org.freedesktop.Notifications", "NotificationClosed") > 0) {
        if (sd_bus_message_read(message, "u", &id) >= 0) {
            notifications.awaited_.erase(id);
        }
    }
    return 0;
}

void DesktopNotifications::pump() noexcept {
    if (!bus_) {
        return;
    }
    while (sd_bus_process(bus_.get(), nullptr) > 0) {
    }
    if (awaited_.empty()) {
        pumping_.reset();
    }
}

void DesktopNotifications::deliver(const std::string& summary, const std::string& body, Urgency urgency,
                                   bool transient, const std::optional<Action>& action) {
    if (!bus_) {
        bus_ = sdbus::open(sdbus::Kind::user, busAddress_);
    }
    sd_bus* bus = bus_.get();
    const std::set<std::string>& offered = capabilities(bus);
    const std::string shownBody = offered.count("body-markup") != 0 ? escapedMarkup(body) : body;
    const bool withAction = action && offered.count("actions") != 0;
    sd_bus_message* raw = nullptr;
    sdbus::check(sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.Notifications",
                                                "/org/freedesktop/Notifications",
                                                "org.freedesktop.Notifications", "Notify"),
                 "Notify");
    const sdbus::Message call(raw);
    sdbus::check(sd_bus_message_append(raw, "susss", applicationName, 0U, iconName, summary.c_str(),
                                       shownBody.c_str()),
                 "Notify");
    if (withAction) {
        sdbus::check(sd_bus_message_append(raw, "as", 2, action->key.c_str(), action->label.c_str()),
                     "Notify");
    } else {
        sdbus::check(sd_bus_message_append(raw, "as", 0), "Notify");
    }
    sdbus::check(sd_bus_message_open_container(raw, 'a', "{sv}"), "Notify");
    sdbus::check(sd_bus_message_append(raw, "{sv}", "urgency", "y", static_cast<std::uint8_t>(urgency)),
                 "Notify");
    sdbus::check(sd_bus_message_append(raw, "{sv}", "desktop-entry", "s", ShellIdentity::bundleID), "Notify");
    if (transient) {
        sdbus::check(sd_bus_message_append(raw, "{sv}", "transient", "b", 1), "Notify");
    }
    sdbus::check(sd_bus_message_close_container(raw), "Notify");
    sdbus::check(sd_bus_message_append(raw, "i", -1), "Notify");
    if (withAction && !signals_) {
        // Before the call, so a click that comes at once is not missed. No
        // sender in the rule: sd-bus matches the sender locally against the
        // unique name, never a well-known one.
        sd_bus_slot* slot = nullptr;
        sdbus::check(sd_bus_add_match(bus, &slot,
                                      "type='signal',interface='org.freedesktop.Notifications',"
                                      "path='/org/freedesktop/Notifications'",
                                      &DesktopNotifications::signalled, this),
                     "AddMatch");
        signals_.reset(slot);
    }
    sdbus::Error error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call(bus, raw, deliveryTimeoutMicroseconds, error.get(), &reply);
    const sdbus::Message owned(reply);
    if (result < 0) {
        throw std::runtime_error(error.describe(result));
    }
    if (!withAction) {
        return;
    }
    std::uint32_t id = 0;
    // untranslated: names the bus call in an error for the log
    sdbus::check(sd_bus_message_read(reply, "u", &id), "Notify reply");
    if (awaited_.size() >= maximumAwaited) {
        awaited_.erase(awaited_.begin());
    }
    awaited_[id] = action->invoked;
    if (!pumping_) {
        pumping_ = queue_.repeating(actionPollInterval, [this] { pump(); });
    }
}

} // namespace zoq
