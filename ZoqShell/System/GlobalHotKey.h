#pragma once

#include <cstdint>
#include <functional>

namespace zoq {

/// One system-wide keyboard shortcut (the shell binds it to pause/resume).
///
/// An implementation is given its callback at construction and holds at most
/// one shortcut at a time. The callback takes no arguments, runs on a thread
/// of the implementation (never the caller's), once per physical press: a
/// key held down until it repeats still counts once.
///
/// Threads: `registerHotKey` from one thread at a time; it waits for the
/// desktop's answer (an X server answers at once, the portal may first ask
/// the person, up to 25 s), so call it off the UI thread. `unregister` may be
/// called from any thread, also while a registration waits, which it then
/// abandons (that registration answers false); it never waits for a desktop
/// that does not answer.
class GlobalHotKey {
public:
    using Callback = std::function<void()>;

    virtual ~GlobalHotKey() = default;

    /// Replaces whatever shortcut this object holds by the stored combination
    /// (`keyCode` of the classic layout table, Carbon modifier bits; see
    /// `KeyCombination`). Returns false, holding nothing, when the
    /// combination cannot be mapped to this desktop, another application
    /// holds it, or the desktop offers no global shortcuts.
    virtual bool registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) = 0;

    /// Gives the shortcut back; nothing when none is held.
    virtual void unregister() noexcept = 0;
};

} // namespace zoq
