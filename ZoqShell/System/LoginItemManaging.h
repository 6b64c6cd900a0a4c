#pragma once

#include "ZoqShell/System/LoginItemState.h"

#include <mutex>

namespace zoq {

/// Starts zoq with the desktop session, or stops doing so.
///
/// None of these throws: every failure is `LoginItemState::unknown`. They
/// touch the disk (or the desktop) and may block briefly; call them off the
/// UI thread. Thread-safe.
class LoginItemManaging {
public:
    virtual ~LoginItemManaging() = default;

    virtual LoginItemState currentState() const noexcept = 0;
    /// Registers and returns the state read afterwards.
    virtual LoginItemState registerLoginItem() noexcept = 0;
    /// Unregisters and returns the state read afterwards.
    virtual LoginItemState unregister() noexcept = 0;
    /// `registerLoginItem()` when `enabled`, else `unregister()`.
    LoginItemState toggle(bool enabled) noexcept { return enabled ? registerLoginItem() : unregister(); }
};

/// A login item held in memory, for tests: registering moves to `registered`
/// unless a failure or another outcome was set.
class MemoryLoginItem final : public LoginItemManaging {
public:
    LoginItemState currentState() const noexcept override {
        std::lock_guard guard(lock_);
        return state_;
    }
    LoginItemState registerLoginItem() noexcept override { return settle(registerOutcome_); }
    LoginItemState unregister() noexcept override { return settle(LoginItemState::notRegistered); }

    /// What the desktop did behind zoq's back (the person switched it off).
    void set(LoginItemState state) {
        std::lock_guard guard(lock_);
        state_ = state;
    }
    /// What the next registrations end in (`unknown` for a failure).
    void setRegisterOutcome(LoginItemState state) {
        std::lock_guard guard(lock_);
        registerOutcome_ = state;
    }

private:
    LoginItemState settle(LoginItemState outcome) noexcept {
        std::lock_guard guard(lock_);
        return state_ = outcome;
    }

    mutable std::mutex lock_;
    LoginItemState state_ = LoginItemState::notRegistered;        // guarded by lock_
    LoginItemState registerOutcome_ = LoginItemState::registered; // guarded by lock_
};

} // namespace zoq
