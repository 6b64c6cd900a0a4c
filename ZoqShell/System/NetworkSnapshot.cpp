#include "ZoqShell/System/NetworkSnapshot.h"

#include <tuple>

namespace zoq {

NetworkTransport NetworkSnapshot::transport() const noexcept {
    const DefaultRoute* best = nullptr;
    const NetworkInterface* bestInterface = nullptr;
    for (const DefaultRoute& route : defaultRoutes) {
        const NetworkInterface* carrier = nullptr;
        for (const NetworkInterface& candidate : interfaces) {
            if (candidate.index == route.interfaceIndex) {
                carrier = &candidate;
                break;
            }
        }
        // A route through a dead link carries nothing; the kernel would use
        // the next one, so it must not hide a working route behind it.
        if (carrier == nullptr || !carrier->up) {
            continue;
        }
        if (best == nullptr || std::tie(route.metric, route.ipv6, route.interfaceIndex) <
                                   std::tie(best->metric, best->ipv6, best->interfaceIndex)) {
            best = &route;
            bestInterface = carrier;
        }
    }
    if (bestInterface == nullptr) {
        return NetworkTransport::none;
    }
    switch (bestInterface->kind) {
    case InterfaceKind::wireless:
        return NetworkTransport::wifi;
    case InterfaceKind::wwan:
        return NetworkTransport::cellular;
    case InterfaceKind::wired:
        break;
    }
    return NetworkTransport::ethernet;
}

} // namespace zoq
