#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zoq {

/// Whether zoq starts with the desktop session. `unknown` also stands for
/// any failure to find out or to change it.
enum class LoginItemState : std::uint8_t {
    registered,
    notRegistered,
    requiresApproval, ///< our entry is there but the person switched it off in the desktop's settings
    deniedByUser,
    programmaticOnly,
    unknown,
};

/// "registered", "notRegistered", "requiresApproval", "deniedByUser",
/// "programmaticOnly", "unknown".
std::string_view rawValue(LoginItemState state) noexcept;
/// The state whose raw value is exactly `raw`, or none.
std::optional<LoginItemState> loginItemStateNamed(std::string_view raw) noexcept;

/// The state of a login-item status code: 0 not registered, 1 enabled,
/// 2 requires approval, 3 not found (`deniedByUser`), anything else unknown.
/// `LoginItemManager` reports the autostart entry in these codes.
LoginItemState mapLoginItemStatus(std::int64_t status) noexcept;

} // namespace zoq
