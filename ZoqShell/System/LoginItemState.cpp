#include "ZoqShell/System/LoginItemState.h"

#include <array>
#include <utility>

namespace zoq {
namespace {

constexpr std::array<std::pair<LoginItemState, std::string_view>, 6> names{{
    {LoginItemState::registered, "registered"},
    {LoginItemState::notRegistered, "notRegistered"},
    {LoginItemState::requiresApproval, "requiresApproval"},
    {LoginItemState::deniedByUser, "deniedByUser"},
    {LoginItemState::programmaticOnly, "programmaticOnly"},
    {LoginItemState::unknown, "unknown"},
}};

} // namespace

std::string_view rawValue(LoginItemState state) noexcept {
    for (const auto& [candidate, name] : names) {
        if (candidate == state) {
            return name;
        }
    }
    return "unknown";
}

std::optional<LoginItemState> loginItemStateNamed(std::string_view raw) noexcept {
    for (const auto& [state, name] : names) {
        if (name == raw) {
            return state;
        }
    }
    return std::nullopt;
}

LoginItemState mapLoginItemStatus(std::int64_t status) noexcept {
    switch (status) {
    case 0:
        return LoginItemState::notRegistered;
    case 1:
        return LoginItemState::registered;
    case 2:
        return LoginItemState::requiresApproval;
    case 3:
        return LoginItemState::deniedByUser;
    default:
        return LoginItemState::unknown;
    }
}

} // namespace zoq
