#pragma once

#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqShell/System/NetworkObserving.h"
#include "ZoqShell/System/NetworkSnapshot.h"

#include <atomic>
#include <filesystem>
#include <thread>

namespace zoq {

/// The network transport of this machine, followed through rtnetlink.
///
/// One background thread sleeps in poll(2) on a NETLINK_ROUTE socket
/// subscribed to IPv4 and IPv6 route changes and to link changes. Each wake-up
/// drains every pending notification and then judges the state afresh from a
/// netlink dump of all links and routes plus sysfs (`NetworkSnapshot`), so a
/// lost or overflowed notification costs nothing: the next dump is complete.
/// The answer lives in an atomic that `currentTransport` reads; the hot path
/// never touches the kernel.
///
/// The subscription is opened before the first dump, so a change that lands
/// while the constructor judges the initial state still wakes the thread.
/// When a dump fails (it should not), the last answer stays and the thread
/// tries again a second later until one succeeds.
///
/// Threads: `currentTransport` from any thread. Construction and destruction
/// from one owner; the destructor wakes the thread through an eventfd and
/// joins it.
class NetlinkNetwork final : public NetworkObserving {
public:
    /// Opens the sockets, judges the current state, starts the thread.
    /// `sysfsRoot` is where interface kinds are looked up ("/sys"; tests give a
    /// fake tree). Throws `CoreError::io(operation, errno)` when netlink is not
    /// available (the caller may fall back to `NullNetwork`).
    explicit NetlinkNetwork(std::filesystem::path sysfsRoot = "/sys");
    ~NetlinkNetwork() override;
    NetlinkNetwork(const NetlinkNetwork&) = delete;
    NetlinkNetwork& operator=(const NetlinkNetwork&) = delete;

    NetworkTransport currentTransport() const noexcept override;

    /// A fresh dump of the links and default routes of the calling thread's
    /// network namespace, with interface kinds from `sysfsRoot`. Blocks for
    /// the kernel's answer (bounded by a receive timeout). Throws
    /// `CoreError::io(operation, errno)` or `CoreError::corrupt("netlink reply")`.
    static NetworkSnapshot snapshot(const std::filesystem::path& sysfsRoot);

private:
    /// The thread's body: wait, drain, judge, until woken by the destructor.
    void run() noexcept;

    const std::filesystem::path sysfsRoot_;
    FileDescriptor monitor_; ///< the subscribed socket; read only by the thread
    FileDescriptor wake_;    ///< eventfd: written once by the destructor
    std::atomic<NetworkTransport> current_{NetworkTransport::none};
    std::thread thread_;
};

} // namespace zoq
