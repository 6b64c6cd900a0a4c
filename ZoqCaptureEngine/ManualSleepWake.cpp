#include "ZoqCaptureEngine/ManualSleepWake.h"

#include "ZoqCore/Support/CoreError.h"

namespace zoq {

void ManualSleepWake::start(SleepWakeHandlers handlers) {
    std::lock_guard guard(lock_);
    if (started_) {
        throw CoreError::invalidState();
    }
    started_ = true;
    handlers_ = std::move(handlers);
}

void ManualSleepWake::stop() noexcept {
    std::lock_guard guard(lock_);
    stopped_ = true;
    handlers_ = {};
}

bool ManualSleepWake::started() const {
    std::lock_guard guard(lock_);
    return started_ && !stopped_;
}

SleepWakeHandlers ManualSleepWake::snapshot() const {
    std::lock_guard guard(lock_);
    return handlers_;
}

// The handlers run outside the lock: a handler may call stop().
bool ManualSleepWake::sleep() {
    const SleepWakeHandlers handlers = snapshot();
    if (!handlers.willSleep) {
        return false;
    }
    handlers.willSleep();
    return true;
}

bool ManualSleepWake::wake() {
    const SleepWakeHandlers handlers = snapshot();
    if (!handlers.didWake) {
        return false;
    }
    handlers.didWake();
    return true;
}

bool ManualSleepWake::reportUnavailable(const std::string& reason) {
    const SleepWakeHandlers handlers = snapshot();
    if (!handlers.unavailable) {
        return false;
    }
    handlers.unavailable(reason);
    return true;
}

} // namespace zoq
