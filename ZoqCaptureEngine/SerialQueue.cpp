#include "ZoqCaptureEngine/SerialQueue.h"

#include <exception>
#include <future>
#include <pthread.h>

namespace zoq {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { loop(); }) {}

SerialQueue::~SerialQueue() {
    {
        const std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SerialQueue::async(std::function<void()> job) {
    {
        const std::lock_guard guard(lock_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& job) {
    if (isCurrent()) {
        job();
        return;
    }
    // Owned by the job alone: a queue that drops it unrun breaks the promise,
    // and the wait below ends with an error instead of never.
    auto task = std::make_shared<std::packaged_task<void()>>(job);
    std::future<void> done = task->get_future();
    async([task] { (*task)(); });
    done.get();
}

std::unique_ptr<SerialQueue::Timer> SerialQueue::repeating(Clock::duration interval,
                                                           std::function<void()> tick) {
    std::uint64_t id = 0;
    {
        const std::lock_guard guard(lock_);
        id = nextTimer_++;
        timers_.emplace(
            id, Scheduled{Clock::now(), interval, std::make_shared<std::function<void()>>(std::move(tick))});
    }
    wake_.notify_one();
    return std::unique_ptr<Timer>(new Timer(*this, id));
}

void SerialQueue::Timer::cancel() noexcept {
    queue_.cancel(id_);
}

void SerialQueue::cancel(std::uint64_t id) noexcept {
    std::unique_lock guard(lock_);
    timers_.erase(id);
    // A firing already under way finishes before cancel returns, so whatever
    // the tick touches may be released right after; from inside the tick
    // itself there is nothing to wait for.
    if (!isCurrent()) {
        fired_.wait(guard, [&] { return firing_ != id; });
    }
}

void SerialQueue::loop() {
    ::pthread_setname_np(::pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock guard(lock_);
    while (!stopping_) {
        if (!jobs_.empty()) {
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            guard.unlock();
            job();
            job = nullptr;
            guard.lock();
            continue;
        }
        // The earliest timer, if any is due; else wait for it or for a job.
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (next == timers_.end() || it->second.due < next->second.due) {
                next = it;
            }
        }
        if (next == timers_.end()) {
            wake_.wait(guard);
            continue;
        }
        // A copy: the timer may be cancelled (and its entry freed) while
        // this thread waits, and the wait reads its deadline again on waking.
        if (const Clock::time_point due = next->second.due; Clock::now() < due) {
            wake_.wait_until(guard, due);
            continue;
        }
        const std::uint64_t id = next->first;
        const std::shared_ptr<std::function<void()>> tick = next->second.tick;
        next->second.due += next->second.interval;
        if (const Clock::time_point now = Clock::now(); next->second.due <= now) {
            next->second.due = now + next->second.interval;
        }
        firing_ = id;
        guard.unlock();
        (*tick)();
        guard.lock();
        firing_ = 0;
        fired_.notify_all();
    }
    // Dropping the queued jobs destroys their promises: a waiting `sync`
    // learns that its job will never run.
    jobs_.clear();
    timers_.clear();
}

} // namespace zoq
