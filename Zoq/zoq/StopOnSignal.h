#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <pthread.h>
#include <thread>

namespace zoq::cli {

/// Turns SIGINT and SIGTERM into a call of `stop` for as long as it lives:
/// both are blocked in every thread started after it (an engine's, a model's)
/// and taken by one thread of its own with sigwait. Create it before any
/// thread that must not take them; destroying it restores the signal mask.
class StopOnSignal {
public:
    explicit StopOnSignal(std::function<void()> stop) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
        thread_ = std::thread([this, stop = std::move(stop)] {
            int received = 0;
            sigwait(&signals_, &received);
            if (!leaving_) {
                stop();
            }
        });
    }
    ~StopOnSignal() {
        leaving_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    sigset_t signals_{};
    sigset_t previous_{};
    std::atomic<bool> leaving_ = false;
    std::thread thread_;
};

} // namespace zoq::cli
