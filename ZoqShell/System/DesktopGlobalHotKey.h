#pragma once

#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/System/GlobalHotKey.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zoq {

class PortalGlobalHotKey;

/// The global hotkey this session's desktop can offer, chosen when a
/// combination is registered:
///
/// 1. a Wayland session (WAYLAND_DISPLAY set): the desktop portal's global
///    shortcuts, where the portal offers them;
/// 2. an X display that answers (DISPLAY): a key grab. On a Wayland session
///    without the portal's shortcuts this is XWayland, whose grabs see keys
///    only while an X11 window has the focus: better than nothing;
/// 3. otherwise nothing is held.
///
/// Creating one asks nobody anything (the portal's connection is made on its
/// own thread), so it may be created on the UI thread; `registerHotKey`
/// waits for the desktop and belongs off it (see `GlobalHotKey`).
class DesktopGlobalHotKey final : public GlobalHotKey {
public:
    enum class Provider { none, portal, x11 };

    /// Reads the environment through `environment` now.
    DesktopGlobalHotKey(Callback callback, const ShellPaths::Environment& environment);
    ~DesktopGlobalHotKey() override;
    DesktopGlobalHotKey(const DesktopGlobalHotKey&) = delete;
    DesktopGlobalHotKey& operator=(const DesktopGlobalHotKey&) = delete;

    bool registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) override;
    void unregister() noexcept override;

    /// Who answered the last registration (none before the first).
    Provider provider() const;

private:
    const Callback callback_;
    const std::optional<std::string> display_;
    std::unique_ptr<PortalGlobalHotKey> portal_; ///< on a Wayland session
    /// Counts `unregister` calls: one between asking whether the portal is
    /// there and binding abandons the registration too.
    std::atomic<std::uint64_t> unregistered_{0};
    mutable std::mutex lock_;
    std::unique_ptr<GlobalHotKey> x11_;  // guarded by lock_; made at the first need
    Provider provider_ = Provider::none; // guarded by lock_
};

std::unique_ptr<GlobalHotKey>
makeDesktopGlobalHotKey(GlobalHotKey::Callback callback,
                        const ShellPaths::Environment& environment = ShellPaths::processEnvironment());

} // namespace zoq
