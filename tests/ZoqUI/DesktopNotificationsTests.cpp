// Desktop notifications against python3-dbusmock's notification server on a
// private bus.

#include "ZoqUI/DesktopNotifications.h"
#include "ZoqUI/RecordingNotices.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/ZoqUI/MockNotifications.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace zoq {
namespace {

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
    EXPECT_EQ(test::receivedNotifications(bus.address()),
              (std::vector<test::ReceivedNotification>{
                  {"zoq", "Recording started — Talk", "", 1},
                  {"zoq", RecordingNotices::blocked, RecordingNotices::blockedBody, 2}}));
}

// A name from another program shows as written: the summary is plain text by
// the protocol, and the body is escaped for a server that reads markup in it
// (and only for one).
TEST(DesktopNotifications, OutsideNamesAreNeverReadAsMarkup) {
    const std::vector<std::string> names = {
        R"(<b>CallApp</b><br><span style="color:#00aa00">Recorder stopped</span>)",
        R"(<a href="https://portal.example/">Click</a> & 'more')",
        "<img src=file:///etc/hostname>",
        std::string(10'240, 'x') + "<b>&amp;",
    };
    const auto unescaped = [](std::string text) {
        // What a server that reads markup shows for an escaped body.
        for (const auto& [entity, character] : std::vector<std::pair<std::string, std::string>>{
                 {"&lt;", "<"}, {"&gt;", ">"}, {"&apos;", "'"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
            for (std::size_t at = text.find(entity); at != std::string::npos;
                 at = text.find(entity, at + character.size())) {
                text.replace(at, entity.size(), character);
            }
        }
        return text;
    };
    {
        test::PrivateBus bus;
        const auto server = bus.startMock("notification_daemon", "org.freedesktop.Notifications");
        DesktopNotifications notifications(bus.address());
        for (const std::string& name : names) {
            notifications.show(RecordingNotices::startedText(name), name);
        }
        notifications.flush();
        const std::vector<test::ReceivedNotification> received = test::receivedNotifications(bus.address());
        ASSERT_EQ(received.size(), names.size());
        for (std::size_t index = 0; index < names.size(); ++index) {
            EXPECT_EQ(received[index].summary, "Recording started — " + names[index]);
            EXPECT_EQ(received[index].body.find('<'), std::string::npos) << received[index].body;
            EXPECT_EQ(unescaped(received[index].body), names[index]);
        }
    }
    test::PrivateBus bus;
    const auto server = bus.startService(
        {"-m", "dbusmock", "--template", "notification_daemon", "-p", R"({"capabilities": "body"})"},
        "org.freedesktop.Notifications");
    DesktopNotifications notifications(bus.address());
    notifications.show("zoq", names[0]);
    notifications.flush();
    const std::vector<test::ReceivedNotification> received = test::receivedNotifications(bus.address());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].body, names[0]) << "a server without markup shows the body as sent";
}

} // namespace
} // namespace zoq
