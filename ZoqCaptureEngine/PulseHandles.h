#pragma once

// Owning handles for the libpulse objects the backend uses, and the lock of the
// threaded mainloop; nothing else. Included only by LibpulseBackend.cpp: no
// other file knows libpulse.

#include <memory>
#include <pulse/pulseaudio.h>

namespace zoq::pulse {

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* loop) const noexcept {
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};
using Mainloop = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;

/// Must be destroyed with the mainloop locked.
struct ContextDeleter {
    void operator()(pa_context* context) const noexcept {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
using Context = std::unique_ptr<pa_context, ContextDeleter>;

/// Must be destroyed with the mainloop locked. Clears every callback first, so
/// none runs for a stream its owner has given up.
struct StreamDeleter {
    void operator()(pa_stream* stream) const noexcept {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) != PA_STREAM_UNCONNECTED) {
            pa_stream_disconnect(stream);
        }
        pa_stream_unref(stream);
    }
};
using Stream = std::unique_ptr<pa_stream, StreamDeleter>;

/// An operation still running when its handle goes (a deadline passed, an
/// error was thrown) is cancelled, so its callback never writes into a reply
/// that no longer exists. Must be destroyed with the mainloop locked.
struct OperationDeleter {
    void operator()(pa_operation* operation) const noexcept {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation);
        }
        pa_operation_unref(operation);
    }
};
using Operation = std::unique_ptr<pa_operation, OperationDeleter>;

struct ProplistDeleter {
    void operator()(pa_proplist* list) const noexcept { pa_proplist_free(list); }
};
using Proplist = std::unique_ptr<pa_proplist, ProplistDeleter>;

/// A mainloop timer. Must be destroyed with the mainloop locked.
class TimeEvent {
public:
    TimeEvent() = default;
    TimeEvent(const pa_mainloop_api* api, pa_time_event* event) noexcept : api_(api), event_(event) {}
    TimeEvent(TimeEvent&& other) noexcept : api_(other.api_), event_(other.event_) { other.event_ = nullptr; }
    TimeEvent& operator=(TimeEvent&& other) noexcept {
        if (this != &other) {
            reset();
            api_ = other.api_;
            event_ = other.event_;
            other.event_ = nullptr;
        }
        return *this;
    }
    ~TimeEvent() { reset(); }

    pa_time_event* get() const noexcept { return event_; }
    void reset() noexcept {
        if (event_ != nullptr) {
            api_->time_free(event_);
            event_ = nullptr;
        }
    }

private:
    const pa_mainloop_api* api_ = nullptr;
    pa_time_event* event_ = nullptr;
};

/// Holds the mainloop's lock; does nothing on the mainloop's own thread, where
/// callbacks already run with the lock held.
class Lock {
public:
    explicit Lock(pa_threaded_mainloop* loop) noexcept
        : loop_(pa_threaded_mainloop_in_thread(loop) != 0 ? nullptr : loop) {
        if (loop_ != nullptr) {
            pa_threaded_mainloop_lock(loop_);
        }
    }
    ~Lock() {
        if (loop_ != nullptr) {
            pa_threaded_mainloop_unlock(loop_);
        }
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

} // namespace zoq::pulse
