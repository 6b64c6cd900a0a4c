#pragma once

#include "ZoqCore/Support/CoreError.h"

#include <cstdint>
#include <ostream>
#include <string_view>

namespace zoq {

/// How this machine reaches the network right now, as the uploader sees it:
/// `none` means no usable default route. The case names are the textual forms.
enum class NetworkTransport : std::uint8_t { none, wifi, ethernet, cellular };

/// "none", "wifi", "ethernet" or "cellular".
constexpr std::string_view toText(NetworkTransport transport) noexcept {
    switch (transport) {
    case NetworkTransport::none:
        return "none";
    case NetworkTransport::wifi:
        return "wifi";
    case NetworkTransport::ethernet:
        return "ethernet";
    case NetworkTransport::cellular:
        return "cellular";
    }
    return "none";
}

/// The transport whose text is exactly `text`; throws
/// `CoreError::invalid("network transport")` for anything else.
inline NetworkTransport networkTransportFromText(std::string_view text) {
    for (const NetworkTransport transport : {NetworkTransport::none, NetworkTransport::wifi,
                                             NetworkTransport::ethernet, NetworkTransport::cellular}) {
        if (toText(transport) == text) {
            return transport;
        }
    }
    throw CoreError::invalid("network transport");
}

inline std::ostream& operator<<(std::ostream& out, NetworkTransport transport) {
    return out << toText(transport);
}

} // namespace zoq
