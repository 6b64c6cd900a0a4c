#pragma once

#include "ZoqCore/Upload/NetworkTransport.h"
#include "ZoqShell/System/InterfaceKind.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zoq {

/// One default route of the main routing table (IPv4 0.0.0.0/0 or IPv6 ::/0)
/// through one interface. A multipath route contributes one entry per live
/// next hop.
struct DefaultRoute {
    int interfaceIndex = 0;
    std::uint32_t metric = 0; ///< the route's priority; lower wins
    bool ipv6 = false;

    friend bool operator==(const DefaultRoute&, const DefaultRoute&) = default;
};

/// What is known about one interface when the routes are judged.
struct NetworkInterface {
    int index = 0;
    std::string name;
    bool up = false; ///< administratively up and with a working link (IFF_UP and IFF_RUNNING)
    InterfaceKind kind = InterfaceKind::wired;

    friend bool operator==(const NetworkInterface&, const NetworkInterface&) = default;
};

/// The routing facts at one moment, and the transport they amount to.
/// A plain value: the classification is a pure function of the two lists.
struct NetworkSnapshot {
    std::vector<DefaultRoute> defaultRoutes;
    std::vector<NetworkInterface> interfaces;

    /// The transport of the default route traffic would take: among the routes
    /// whose interface is listed and up, the lowest metric wins (ties go to
    /// IPv4, then to the lower interface index, so the answer never depends on
    /// list order). No such route: `none`. Wireless → `wifi`, WWAN →
    /// `cellular`, anything else → `ethernet`.
    NetworkTransport transport() const noexcept;

    friend bool operator==(const NetworkSnapshot&, const NetworkSnapshot&) = default;
};

} // namespace zoq
