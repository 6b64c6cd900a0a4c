#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zoq {

/// One thread that runs jobs one after another in the order they were
/// queued, and repeating timers whose firings are jobs like any other: the
/// engine's serial queue. Everything that touches the engine's state runs on
/// it, so that state needs no lock.
///
/// `async` may be called from any thread, the queue's own included. `sync`
/// runs the job and waits for it; on the queue's own thread it runs the job
/// at once (it would otherwise wait for itself). Exceptions of a job reach a
/// `sync` caller; an `async` job must not throw (it is the caller's duty to
/// catch, as the engine does at every entry).
///
/// Timers fire on the queue's thread at their deadlines, with no leeway and no
/// catching up: after a firing that came so late that the next deadline has
/// passed too, the next one comes a whole interval later, never in a burst. Cancelling a timer (or dropping
/// its handle) guarantees that it fires no more once `cancel` returns, unless `cancel` is called from a
/// firing of that very timer, which then finishes.
///
/// The destructor drops the queued jobs and timers and joins the thread; it
/// must not run on the queue's own thread.
class SerialQueue {
public:
    using Clock = std::chrono::steady_clock;

    /// `label` names the thread (its first 15 characters, for debuggers and
    /// `top -H`).
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> job);
    void sync(const std::function<void()>& job);
    bool isCurrent() const noexcept { return std::this_thread::get_id() == thread_.get_id(); }

    /// A repeating timer; fires no more once cancelled or destroyed.
    class Timer {
    public:
        ~Timer() { cancel(); }
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;
        void cancel() noexcept;

    private:
        friend class SerialQueue;
        Timer(SerialQueue& queue, std::uint64_t id) : queue_(queue), id_(id) {}
        SerialQueue& queue_;
        std::uint64_t id_;
    };

    /// Fires `tick` first at once, then every `interval`.
    std::unique_ptr<Timer> repeating(Clock::duration interval, std::function<void()> tick);

private:
    struct Scheduled {
        Clock::time_point due;
        Clock::duration interval;
        std::shared_ptr<std::function<void()>> tick;
    };

    void loop();
    void cancel(std::uint64_t id) noexcept;

    std::string label_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;    // guarded by lock_
    std::map<std::uint64_t, Scheduled> timers_; // guarded by lock_
    std::uint64_t nextTimer_ = 1;               // guarded by lock_
    std::uint64_t firing_ = 0;                  // guarded by lock_: the timer whose tick runs now
    std::condition_variable fired_;             // signalled when a tick ends
    bool stopping_ = false;                     // guarded by lock_
    std::thread thread_;
};

} // namespace zoq
