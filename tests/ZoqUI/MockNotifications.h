#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zoq::test {

/// One Notify call as python3-dbusmock's notification server received it.
struct ReceivedNotification {
    std::string application;
    std::string summary;
    std::string body;
    /// The "urgency" hint; -1 when there was none.
    int urgency = -1;
    friend bool operator==(const ReceivedNotification&, const ReceivedNotification&) = default;
};

std::ostream& operator<<(std::ostream& out, const ReceivedNotification& received);

/// Every Notify call the mock notification server on the bus at `address`
/// has logged, in order (see `PrivateBus::startMock("notification_daemon", ...)`).
std::vector<ReceivedNotification> receivedNotifications(const std::string& address);

/// Clicks the action `key` of the notification with `id` as a notification
/// server does: the mock on the bus at `address` emits ActionInvoked.
void clickAction(const std::string& address, std::uint32_t id, const char* key);

} // namespace zoq::test
