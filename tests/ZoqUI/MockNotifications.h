#pragma once

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

} // namespace zoq::test
