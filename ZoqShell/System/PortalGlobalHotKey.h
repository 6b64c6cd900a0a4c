#pragma once

#include "ZoqShell/System/GlobalHotKey.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace zoq {

/// A global hotkey through the desktop portal's GlobalShortcuts interface
/// (org.freedesktop.portal.GlobalShortcuts on the session bus), the way a
/// Wayland session offers them.
///
/// `registerHotKey` closes any earlier portal session, creates a new one and
/// binds one shortcut, "toggle-pause", with the stored combination as its
/// preferred trigger. The desktop may show the person a dialog first and may
/// bind another trigger than the one proposed; the answer counts as success
/// when the shortcut is bound at all. The callback runs on each Activated
/// signal of that session.
///
/// Threads: a thread of its own owns the bus connection and never blocks on
/// it: each method call has a deadline of its own and each answer
/// `answerTimeout` (the person may be looking at the dialog).
/// `registerHotKey` and `available` hand the thread the work and wait for
/// its outcome, so call them off the UI thread; `unregister` abandons what
/// is waiting, asks the portal to close the session and returns at once;
/// the destructor returns at once too. The callback runs on that thread.
class PortalGlobalHotKey final : public GlobalHotKey {
public:
    /// `busAddress` is the session bus's address (empty: the user's own).
    /// Connecting happens on the thread; a failure shows as `available()`
    /// false and every register answering false.
    explicit PortalGlobalHotKey(Callback callback, std::string busAddress = {},
                                std::chrono::milliseconds answerTimeout = std::chrono::seconds(25));
    ~PortalGlobalHotKey() override;
    PortalGlobalHotKey(const PortalGlobalHotKey&) = delete;
    PortalGlobalHotKey& operator=(const PortalGlobalHotKey&) = delete;

    /// Whether the session bus has a portal that offers global shortcuts.
    bool available();

    bool registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) override;
    void unregister() noexcept override;

    /// The identifier of the one shortcut zoq binds.
    static constexpr const char* shortcutID = "toggle-pause";

private:
    class Loop;

    std::shared_ptr<Loop> loop_;
    std::thread thread_;
};

} // namespace zoq
