#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

typedef struct _GCancellable GCancellable;

namespace zoq {

/// Runs one blocking keyring job on a worker thread and gives up on it at a
/// deadline, so that a frozen keyring daemon can never hang the caller.
///
/// `job` gets a `GCancellable` to pass to every GLib/libsecret call it makes.
/// When the deadline passes, the cancellable is cancelled and the caller gets
/// `SecretsError::timedOut`; what the job had already done by then is unknown
/// (the daemon may still complete a request it received). The worker is then
/// given `cancelGrace` to notice the cancellation and is joined; a job that
/// ignores it is left running detached, owning everything it touches (the job
/// object, its cancellable and its result slot), so the caller can return.
///
/// Exceptions thrown by `job` reach the caller unchanged. Callable from any
/// thread; each call has its own worker and cancellable.
class DeadlineCall {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds defaultCancelGrace{1000};

    explicit DeadlineCall(Clock::duration deadline, Clock::duration cancelGrace = defaultCancelGrace)
        : deadline_(deadline), cancelGrace_(cancelGrace) {}

    Clock::duration deadline() const noexcept { return deadline_; }

    /// Throws `SecretsError::timedOut`, or whatever `job` threw.
    void run(std::function<void(GCancellable*)> job) const;

    template <class Result>
    Result run(std::function<Result(GCancellable*)> job) const {
        // The slot is shared with the job, which may outlive this call.
        auto slot = std::make_shared<std::optional<Result>>();
        run(std::function<void(GCancellable*)>(
            [slot, job = std::move(job)](GCancellable* cancellable) { slot->emplace(job(cancellable)); }));
        return std::move(**slot);
    }

private:
    Clock::duration deadline_;
    Clock::duration cancelGrace_;
};

} // namespace zoq
