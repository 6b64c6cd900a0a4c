#include "ZoqShell/System/DesktopGlobalHotKey.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/System/ManualGlobalHotKey.h"
#include "ZoqShell/System/PortalGlobalHotKey.h"
#include "ZoqShell/System/X11GlobalHotKey.h"

namespace zoq {

std::unique_ptr<GlobalHotKey> makeDesktopGlobalHotKey(GlobalHotKey::Callback callback,
                                                      const ShellPaths::Environment& environment) {
    const auto set = [&](const char* name) {
        const std::optional<std::string> value = environment(name);
        return value && !value->empty() ? value : std::nullopt;
    };
    if (set("WAYLAND_DISPLAY")) {
        auto portal = std::make_unique<PortalGlobalHotKey>(
            callback, set("DBUS_SESSION_BUS_ADDRESS").value_or(std::string()));
        if (portal->available()) {
            return portal;
        }
    }
    if (const std::optional<std::string> display = set("DISPLAY")) {
        try {
            return std::make_unique<X11GlobalHotKey>(callback, *display);
        } catch (const CoreError&) {
            // The display does not answer: no hotkey.
        }
    }
    return std::make_unique<NullGlobalHotKey>();
}

} // namespace zoq
