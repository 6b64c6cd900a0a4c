#include "ZoqShell/Secrets/DeadlineCall.h"

#include "ZoqShell/Secrets/SecretsError.h"

#include <condition_variable>
#include <exception>
#include <gio/gio.h>
#include <mutex>
#include <thread>

namespace zoq {
namespace {

// Everything the worker touches. Owned jointly by the caller and the worker, so
// a worker abandoned after a timeout never reaches freed memory.
struct CallState {
    explicit CallState(std::function<void(GCancellable*)> work)
        : job(std::move(work)), cancellable(g_cancellable_new()) {}
    ~CallState() { g_object_unref(cancellable); }
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;

    std::function<void(GCancellable*)> job;
    GCancellable* const cancellable;

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;        // guarded by mutex
    std::exception_ptr error; // guarded by mutex
};

} // namespace

void DeadlineCall::run(std::function<void(GCancellable*)> job) const {
    auto state = std::make_shared<CallState>(std::move(job));
    std::thread worker([state]() noexcept {
        std::exception_ptr error;
        try {
            state->job(state->cancellable);
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard guard(state->mutex);
        state->error = error;
        state->done = true;
        state->finished.notify_all();
    });

    std::unique_lock lock(state->mutex);
    const bool inTime = state->finished.wait_for(lock, deadline_, [&] { return state->done; });
    if (!inTime) {
        g_cancellable_cancel(state->cancellable);
        const bool stopped = state->finished.wait_for(lock, cancelGrace_, [&] { return state->done; });
        lock.unlock();
        if (stopped) {
            worker.join();
        } else {
            worker.detach();
        }
        throw SecretsError::osStatus(SecretsError::timedOut);
    }
    const std::exception_ptr error = state->error;
    lock.unlock();
    worker.join();
    if (error) {
        std::rethrow_exception(error);
    }
}

} // namespace zoq
