#pragma once

#include "ZoqShell/Recorder/MainExecutor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace zoq {

/// The main loop of the headless service and of tests: the thread that calls
/// `run` (or `runPending`) is the main thread.
///
/// `run` works until `quit`. `runPending` runs what is due now and returns:
/// tests drive the loop with it, step by step. An exception that leaves a
/// piece of work is reported on standard error and the loop goes on
/// (`guarded`): one failed step never ends the service.
class MainLoop final : public MainExecutor {
public:
    using Clock = std::chrono::steady_clock;

    MainLoop();

    void post(std::function<void()> work) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> work) override;
    bool isMainThread() const override;

    /// Runs work as it comes until `quit`; the caller becomes the main thread.
    void run();
    /// Makes `run` return after the work under way (at once when it comes
    /// first: a quit is never lost). Callable from any thread.
    void quit();
    /// Runs every piece of work that is due, including work it posts that is
    /// due at once; returns how many ran. The caller becomes the main thread.
    int runPending();
    /// `runPending` until `done()` holds or `timeout` passed (waiting for work
    /// between rounds); returns whether `done()` held.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    bool takeDue(std::function<void()>& work);

    mutable std::mutex lock_;
    std::condition_variable wake_;
    // Due time, then posting order.
    std::multimap<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>>
        work_;                   // guarded by lock_
    std::uint64_t posted_ = 0;   // guarded by lock_
    bool quitting_ = false;      // guarded by lock_
    std::thread::id mainThread_; // guarded by lock_
};

} // namespace zoq
