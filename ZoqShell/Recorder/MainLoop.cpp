#include "ZoqShell/Recorder/MainLoop.h"

#include "ZoqShell/Recorder/Guarded.h"

namespace zoq {

MainLoop::MainLoop() : mainThread_(std::this_thread::get_id()) {}

void MainLoop::post(std::function<void()> work) {
    postAfter(std::chrono::milliseconds(0), std::move(work));
}

void MainLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> work) {
    {
        const std::lock_guard guard(lock_);
        work_.emplace(std::make_pair(Clock::now() + delay, posted_++), std::move(work));
    }
    wake_.notify_all();
}

bool MainLoop::isMainThread() const {
    const std::lock_guard guard(lock_);
    return std::this_thread::get_id() == mainThread_;
}

bool MainLoop::takeDue(std::function<void()>& work) {
    if (work_.empty() || work_.begin()->first.first > Clock::now()) {
        return false;
    }
    work = std::move(work_.begin()->second);
    work_.erase(work_.begin());
    return true;
}

void MainLoop::run() {
    std::unique_lock guard(lock_);
    mainThread_ = std::this_thread::get_id();
    while (!quitting_) {
        std::function<void()> work;
        if (takeDue(work)) {
            guard.unlock();
            guarded("a step of the main loop", work);
            work = nullptr;
            guard.lock();
        } else if (work_.empty()) {
            wake_.wait(guard);
        } else {
            const Clock::time_point due = work_.begin()->first.first; // a copy: the wait reads it again
            wake_.wait_until(guard, due);
        }
    }
}

void MainLoop::quit() {
    {
        const std::lock_guard guard(lock_);
        quitting_ = true;
    }
    wake_.notify_all();
}

int MainLoop::runPending() {
    std::unique_lock guard(lock_);
    mainThread_ = std::this_thread::get_id();
    int ran = 0;
    std::function<void()> work;
    while (takeDue(work)) {
        guard.unlock();
        guarded("a step of the main loop", work);
        work = nullptr;
        ++ran;
        guard.lock();
    }
    return ran;
}

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const Clock::time_point giveUp = Clock::now() + timeout;
    for (;;) {
        runPending();
        if (done()) {
            return true;
        }
        std::unique_lock guard(lock_);
        if (Clock::now() >= giveUp) {
            return false;
        }
        Clock::time_point until = giveUp;
        if (!work_.empty()) {
            until = std::min(until, work_.begin()->first.first);
        }
        wake_.wait_until(guard, until);
    }
}

} // namespace zoq
