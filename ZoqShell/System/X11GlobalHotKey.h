#pragma once

#include "ZoqShell/System/GlobalHotKey.h"
#include "ZoqShell/System/KeyRepeatFilter.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct xcb_connection_t;

namespace zoq {

/// A global hotkey on an X11 display: a passive key grab on the root window,
/// on a connection and an event thread of its own (no toolkit needed).
///
/// The grab is taken for the combination with each of the four states of the
/// lock modifiers (none, CapsLock, NumLock, both), so the shortcut works
/// whatever the lock keys show; NumLock's modifier bit is read from the
/// server's modifier mapping. If another client holds any of those grabs
/// (the server answers BadAccess), the ones already taken are released and
/// `registerHotKey` returns false. Auto-repeat is filtered
/// (`KeyRepeatFilter`), so holding the keys calls back once.
///
/// On a Wayland session this works through XWayland only while an X11 window
/// has the keyboard focus; the desktop portal is preferred there.
///
/// Threads: the callback runs on the event thread. The destructor wakes the
/// event thread (a message to a private window), joins it and disconnects.
class X11GlobalHotKey final : public GlobalHotKey {
public:
    /// Connects to `display` (":0"; empty means $DISPLAY). Throws
    /// `CoreError::io("xcb_connect", code)` when the display cannot be reached.
    X11GlobalHotKey(Callback callback, const std::string& display = {});
    ~X11GlobalHotKey() override;
    X11GlobalHotKey(const X11GlobalHotKey&) = delete;
    X11GlobalHotKey& operator=(const X11GlobalHotKey&) = delete;

    bool registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) override;
    void unregister() noexcept override;

private:
    struct Grab {
        std::vector<std::uint8_t> keycodes;
        std::uint16_t modifiers = 0;
        std::uint16_t lockMask = 0; ///< CapsLock and NumLock bits, ignored when matching
    };

    /// Releases every grab of `grab` (each lock variant of each key code) and
    /// waits until the server has done so.
    void ungrab(const Grab& grab) noexcept;
    void run() noexcept;

    const Callback callback_;
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    std::uint32_t wakeWindow_ = 0;
    std::mutex lock_;
    Grab grab_;              // guarded by lock_
    KeyRepeatFilter repeat_; // guarded by lock_
    std::thread thread_;
};

} // namespace zoq
