#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace zoq {

/// What kind of link a network interface is, as far as the uploader cares.
enum class InterfaceKind : std::uint8_t {
    wired,    ///< anything that is neither of the below (Ethernet, bridges, VPN tunnels, loopback)
    wireless, ///< an 802.11 device
    wwan,     ///< a mobile broadband modem
};

/// Looks the interface `name` up in sysfs below `sysfsRoot` ("/sys" in
/// production, a fake tree in tests): a "wireless" or "phy80211" entry in
/// class/net/NAME marks a wireless device, a "DEVTYPE=wwan" line in its
/// "uevent" a modem. Everything else, including an interface sysfs does not
/// know or a name that could leave the directory, is `wired`.
///
/// Never follows "uevent" through a symbolic link and reads at most a few KiB
/// of it; never throws (an unreadable entry simply counts as absent).
InterfaceKind probeInterfaceKind(const std::filesystem::path& sysfsRoot, std::string_view name) noexcept;

} // namespace zoq
