#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

namespace zoq {

/// One thread that runs submitted jobs one after another, in submission order:
/// the executor of an actor whose work blocks (files, child processes, network).
///
/// `submit` may be called from any thread, the worker's own included (the job
/// then runs after the current one; waiting on its future from the worker
/// would deadlock). The destructor lets the running job finish, drops the jobs
/// still queued (their futures report `std::future_error` broken_promise) and
/// joins the thread.
class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    /// Queues `job`; its result (or exception) arrives through the future.
    template <typename Job>
    auto submit(Job job) -> std::future<std::invoke_result_t<Job&>> {
        using Result = std::invoke_result_t<Job&>;
        auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
        std::future<Result> result = task->get_future();
        post([task] { (*task)(); });
        return result;
    }

    /// Whether the caller is running on this worker's thread.
    bool isCurrent() const noexcept { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void post(std::function<void()> job);
    void loop();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_; // guarded by lock_
    bool stopping_ = false;                  // guarded by lock_
    std::thread thread_;
};

} // namespace zoq
