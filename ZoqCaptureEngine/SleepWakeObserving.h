#pragma once

#include <functional>
#include <string>

namespace zoq {

/// What a sleep/wake observer calls. Every member may be empty.
struct SleepWakeHandlers {
    /// The computer is about to sleep. The observer waits for this to return
    /// before it lets the computer sleep, so the engine closes its hardware
    /// and finalises its part inside it. It must return promptly: the system
    /// goes to sleep anyway after its own limit (logind's InhibitDelayMaxSec,
    /// 5 s by default).
    std::function<void()> willSleep;
    /// The computer has woken (or a sleep that was announced did not happen).
    std::function<void()> didWake;
    /// Sleep cannot be observed, and why (no system bus, no logind). Called at
    /// most once per observer, so the caller can log it once; the observer
    /// keeps running and delivers whatever it can later observe.
    std::function<void(const std::string& reason)> unavailable;
};

/// Tells the capture engine when the computer is about to sleep and when it
/// woke, early enough that a recording can be finished before sleep.
///
/// Threads: `start` and `stop` from the owner's threads, never concurrently.
/// The handlers run on a thread of the observer (one at a time, never
/// concurrently with each other).
class SleepWakeObserving {
public:
    virtual ~SleepWakeObserving() = default;

    /// Begins delivering to `handlers`. Returns at once; observation is set up
    /// in the background. A second call throws `CoreError::invalidState`.
    virtual void start(SleepWakeHandlers handlers) = 0;

    /// Ends delivery: once it returns no handler starts any more. It does not
    /// wait for a handler that is already running, so it may be called from
    /// the very thread such a handler waits for (the engine's queue during
    /// shutdown) without deadlock; handlers must therefore hold their owners
    /// weakly. Idempotent; the destructor calls it.
    virtual void stop() noexcept = 0;
};

} // namespace zoq
