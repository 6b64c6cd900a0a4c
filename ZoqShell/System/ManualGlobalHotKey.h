#pragma once

#include "ZoqShell/Settings/HotkeyConfiguration.h"
#include "ZoqShell/System/GlobalHotKey.h"

#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace zoq {

/// A global hotkey for tests: it holds what it was asked to hold unless the
/// combination was marked as taken, and `press` plays a key press.
class ManualGlobalHotKey final : public GlobalHotKey {
public:
    explicit ManualGlobalHotKey(Callback callback) : callback_(std::move(callback)) {}

    bool registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) override;
    void unregister() noexcept override;

    /// Makes later registrations of this combination fail, as if another
    /// application held it.
    void markTaken(std::uint32_t keyCode, std::uint32_t carbonModifiers);
    /// The combination held now, if any.
    std::optional<HotkeyConfiguration> held() const;
    /// Calls the callback (on the caller's thread) when a combination is
    /// held; returns whether it did.
    bool press();

private:
    const Callback callback_;
    mutable std::mutex lock_;
    std::optional<HotkeyConfiguration> held_;                 // guarded by lock_
    std::set<std::pair<std::uint32_t, std::uint32_t>> taken_; // guarded by lock_
};

/// The hotkey of a desktop that offers no global shortcuts (no X display, a
/// Wayland compositor without the portal's shortcuts): nothing can be held.
class NullGlobalHotKey final : public GlobalHotKey {
public:
    bool registerHotKey(std::uint32_t, std::uint32_t) override { return false; }
    void unregister() noexcept override {}
};

} // namespace zoq
