#pragma once

#include <chrono>
#include <functional>

namespace zoq {

/// The application's main thread as the shell sees it: one thread with an
/// event loop, where the recorder controller, the shell model and every view
/// live. The tray application implements it with Qt's event loop, the
/// headless service and the tests with `MainLoop`; the shell itself never
/// depends on a toolkit.
///
/// `post` and `postAfter` may be called from any thread; the work runs on the
/// main thread, in posting order (for equal due times), never inside the call.
class MainExecutor {
public:
    virtual ~MainExecutor() = default;
    virtual void post(std::function<void()> work) = 0;
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> work) = 0;
    /// Whether the caller runs on the main thread.
    virtual bool isMainThread() const = 0;
};

} // namespace zoq
