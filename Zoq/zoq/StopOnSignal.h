#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <pthread.h>
#include <thread>

namespace zoq::cli {

/// Turns SIGINT, SIGTERM and SIGHUP (the session ending: a logout closes the
/// terminal or the session manager hangs up) into a call of `stop` for as
/// long as it lives: they are blocked in every thread started after it and
/// taken by one thread of its own with sigwait. It must exist before any other thread is started
/// (an engine's queue, a model's workers): a thread that does not block them
/// would take a signal with its default action, ending the process unfinished.
/// Destroying it restores the signal mask.
class StopOnSignal {
public:
    explicit StopOnSignal(std::function<void()> stop) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
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
