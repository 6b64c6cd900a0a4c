#include "ZoqShell/System/ManualGlobalHotKey.h"

namespace zoq {

bool ManualGlobalHotKey::registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) {
    std::lock_guard guard(lock_);
    held_.reset();
    if (taken_.contains({keyCode, carbonModifiers})) {
        return false;
    }
    held_ = HotkeyConfiguration{keyCode, carbonModifiers};
    return true;
}

void ManualGlobalHotKey::unregister() noexcept {
    std::lock_guard guard(lock_);
    held_.reset();
}

void ManualGlobalHotKey::markTaken(std::uint32_t keyCode, std::uint32_t carbonModifiers) {
    std::lock_guard guard(lock_);
    taken_.insert({keyCode, carbonModifiers});
}

std::optional<HotkeyConfiguration> ManualGlobalHotKey::held() const {
    std::lock_guard guard(lock_);
    return held_;
}

bool ManualGlobalHotKey::press() {
    if (!held()) {
        return false;
    }
    if (callback_) {
        callback_();
    }
    return true;
}

} // namespace zoq
