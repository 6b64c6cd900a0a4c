#include "tests/ZoqUI/MockNotifications.h"

#include "ZoqCaptureEngine/SdBus.h"

#include <gtest/gtest.h>

namespace zoq::test {
namespace {

void must(int result, const char* what) {
    ASSERT_GE(result, 0) << what << ": " << -result;
}

/// Reads one variant argument; strings are kept, the hints searched for
/// "urgency", anything else skipped.
void readArgument(sd_bus_message* message, ReceivedNotification& received, int index) {
    char type = 0;
    const char* contents = nullptr;
    must(sd_bus_message_peek_type(message, &type, &contents), "peek");
    must(sd_bus_message_enter_container(message, 'v', contents), "enter variant");
    const std::string signature = contents;
    if (signature == "s") {
        const char* text = nullptr;
        must(sd_bus_message_read(message, "s", &text), "read s");
        if (index == 0) {
            received.application = text;
        } else if (index == 3) {
            received.summary = text;
        } else if (index == 4) {
            received.body = text;
        }
    } else if (signature == "a{sv}") {
        must(sd_bus_message_enter_container(message, 'a', "{sv}"), "enter hints");
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* key = nullptr;
            must(sd_bus_message_read(message, "s", &key), "read key");
            if (std::string(key) == "urgency") {
                std::uint8_t urgency = 0;
                must(sd_bus_message_read(message, "v", "y", &urgency), "read urgency");
                received.urgency = urgency;
            } else {
                must(sd_bus_message_skip(message, "v"), "skip hint");
            }
            must(sd_bus_message_exit_container(message), "exit entry");
        }
        must(sd_bus_message_exit_container(message), "exit hints");
    } else {
        must(sd_bus_message_skip(message, contents), "skip");
    }
    must(sd_bus_message_exit_container(message), "exit variant");
}

} // namespace

std::ostream& operator<<(std::ostream& out, const ReceivedNotification& received) {
    return out << received.application << " | " << received.summary << " | " << received.body << " | "
               << received.urgency;
}

std::vector<ReceivedNotification> receivedNotifications(const std::string& address) {
    std::vector<ReceivedNotification> calls;
    sdbus::Bus bus = sdbus::open(sdbus::Kind::user, address);
    sdbus::Error error;
    sd_bus_message* raw = nullptr;
    const int result =
        sd_bus_call_method(bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.DBus.Mock", "GetCalls", error.get(), &raw, "");
    const sdbus::Message reply(raw);
    EXPECT_GE(result, 0) << error.describe(result);
    if (result < 0) {
        return calls;
    }
    must(sd_bus_message_enter_container(raw, 'a', "(tsav)"), "enter calls");
    while (sd_bus_message_enter_container(raw, 'r', "tsav") > 0) {
        std::uint64_t time = 0;
        const char* method = nullptr;
        must(sd_bus_message_read(raw, "ts", &time, &method), "read call");
        must(sd_bus_message_enter_container(raw, 'a', "v"), "enter arguments");
        ReceivedNotification received;
        for (int index = 0; sd_bus_message_at_end(raw, 0) == 0; ++index) {
            readArgument(raw, received, index);
        }
        must(sd_bus_message_exit_container(raw), "exit arguments");
        must(sd_bus_message_exit_container(raw), "exit call");
        if (std::string(method) == "Notify") {
            calls.push_back(received);
        }
    }
    return calls;
}

void clickAction(const std::string& address, std::uint32_t id, const char* key) {
    sdbus::Bus bus = sdbus::open(sdbus::Kind::user, address);
    sdbus::Error error;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.DBus.Mock", "EmitSignal", error.get(), &reply, "sssav",
                           "org.freedesktop.Notifications", "ActionInvoked", "us", 2, "u", id, "s", key);
    const sdbus::Message owned(reply);
    ASSERT_GE(result, 0) << error.describe(result);
}

} // namespace zoq::test
