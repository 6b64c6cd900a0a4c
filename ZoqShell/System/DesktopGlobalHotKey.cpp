#include "ZoqShell/System/DesktopGlobalHotKey.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/System/PortalGlobalHotKey.h"
#include "ZoqShell/System/X11GlobalHotKey.h"

namespace zoq {
namespace {

std::optional<std::string> setIn(const ShellPaths::Environment& environment, const char* name) {
    const std::optional<std::string> value = environment(name);
    return value && !value->empty() ? value : std::nullopt;
}

} // namespace

DesktopGlobalHotKey::DesktopGlobalHotKey(Callback callback, const ShellPaths::Environment& environment)
    : callback_(std::move(callback)), display_(setIn(environment, "DISPLAY")) {
    if (setIn(environment, "WAYLAND_DISPLAY")) {
        portal_ = std::make_unique<PortalGlobalHotKey>(
            callback_, setIn(environment, "DBUS_SESSION_BUS_ADDRESS").value_or(std::string()));
    }
}

DesktopGlobalHotKey::~DesktopGlobalHotKey() = default;

bool DesktopGlobalHotKey::registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) {
    const std::uint64_t unregistered = unregistered_;
    // A portal that offers shortcuts has the last word, also when the person
    // refuses: a grab through XWayland would hold keys they did not grant.
    if (portal_ && portal_->available()) {
        if (unregistered_ != unregistered) {
            return false; // abandoned while the portal was asked
        }
        {
            const std::lock_guard guard(lock_);
            if (x11_) {
                x11_->unregister();
            }
            provider_ = Provider::portal;
        }
        // Not under the lock: `unregister` may abandon this wait.
        return portal_->registerHotKey(keyCode, carbonModifiers);
    }
    const std::lock_guard guard(lock_);
    provider_ = Provider::none;
    if (!x11_ && display_) {
        try {
            x11_ = std::make_unique<X11GlobalHotKey>(callback_, *display_);
        } catch (const CoreError&) {
            return false; // the display does not answer: no hotkey
        }
    }
    if (!x11_) {
        return false;
    }
    provider_ = Provider::x11;
    return x11_->registerHotKey(keyCode, carbonModifiers);
}

void DesktopGlobalHotKey::unregister() noexcept {
    ++unregistered_;
    if (portal_) {
        portal_->unregister();
    }
    const std::lock_guard guard(lock_);
    if (x11_) {
        x11_->unregister();
    }
}

DesktopGlobalHotKey::Provider DesktopGlobalHotKey::provider() const {
    const std::lock_guard guard(lock_);
    return provider_;
}

std::unique_ptr<GlobalHotKey> makeDesktopGlobalHotKey(GlobalHotKey::Callback callback,
                                                      const ShellPaths::Environment& environment) {
    return std::make_unique<DesktopGlobalHotKey>(std::move(callback), environment);
}

} // namespace zoq
