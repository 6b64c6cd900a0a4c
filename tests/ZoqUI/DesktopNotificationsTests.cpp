// Desktop notifications against python3-dbusmock's notification server on a
// private bus.

#include "ZoqUI/DesktopNotifications.h"
#include "ZoqUI/RecordingNotices.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/ZoqUI/MockNotifications.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace zoq
