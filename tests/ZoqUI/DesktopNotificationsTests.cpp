// Desktop notifications against python3-dbusmock's notification server on a
// private bus.

#include "ZoqUI/DesktopNotifications.h"
#include "ZoqUI/RecordingNotices.h"
#include "tests/TestSupport/PrivateBus.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

/// One Notify call as the server received it.
struct Received {
    std::string application;
    std::string summary;
    std::string body;
    int urgency = -1;
    friend bool operator==(const Received&, const Received&) = default;
};

std::ostream& operator<<(std::ostream& out, const Received& received) {
    return out << received.application << " | " << received.summary << " | " << received.body << " | "
               << received.urgency;
}

void must(int result, const char* what) {
    ASSERT_GE(result, 0) << what << ": " << -result;
}

/// Reads one variant argument; strings are kept, the hints searched for
/// "urgency", anything else skipped.
void readArgument(sd_bus_message* message, Received& received, int index) {
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

/// Every Notify call the mock server logged.
std::vector<Received> notifyCalls(const std::string& address) {
    std::vector<Received> calls;
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
        Received received;
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

TEST(DesktopNotifications, ReachTheNotificationServerAndSurviveItsAbsence) {
    test::PrivateBus bus;
    DesktopNotifications notifications(bus.address());
    // No server yet: the notice is dropped (and said so on stderr), nothing waits.
    notifications.show("lost");
    notifications.flush();

    const auto server = bus.startMock("notification_daemon", "org.freedesktop.Notifications");
    notifications.show(RecordingNotices::startedText("Talk"));
    notifications.show(RecordingNotices::blocked, RecordingNotices::blockedBody,
                       DesktopNotifications::Urgency::critical);
    notifications.flush();
    EXPECT_EQ(notifyCalls(bus.address()),
              (std::vector<Received>{{"zoq", "Recording started — Talk", "", 1},
                                     {"zoq", RecordingNotices::blocked, RecordingNotices::blockedBody, 2}}));
}

} // namespace
} // namespace zoq
