#pragma once

#include "ZoqCaptureEngine/SleepWakeObserving.h"

#include <mutex>

namespace zoq {

/// A sleep/wake observer driven by hand, for tests and for runs where the
/// machine's own sleep must not reach the engine: `sleep()` and `wake()` call
/// the handlers at once, on the caller's thread.
class ManualSleepWake final : public SleepWakeObserving {
public:
    void start(SleepWakeHandlers handlers) override;
    void stop() noexcept override;

    /// Calls `willSleep` and returns when it has returned; false when there is
    /// no such handler (not started, stopped, or none given).
    bool sleep();
    /// Calls `didWake`; false when there is no such handler.
    bool wake();
    /// Calls `unavailable` with `reason`; false when there is no such handler.
    bool reportUnavailable(const std::string& reason);
    bool started() const;

private:
    SleepWakeHandlers snapshot() const;

    mutable std::mutex lock_;
    SleepWakeHandlers handlers_; // guarded by lock_
    bool started_ = false;       // guarded by lock_
    bool stopped_ = false;       // guarded by lock_
};

} // namespace zoq
