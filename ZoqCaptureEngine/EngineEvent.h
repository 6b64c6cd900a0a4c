#pragma once

#include "ZoqCore/Support/Date.h"

#include <functional>
#include <map>
#include <string>

namespace zoq {

/// One thing the capture engine tells its owner: a name from the engine's
/// vocabulary ("recording_started", "engine_stopped", ...), when it happened
/// on the engine's monotonic clock and on the wall clock, and text fields.
struct EngineEvent {
    using Fields = std::map<std::string, std::string>;

    std::string name;
    double monotonic = 0;
    Date wall;
    Fields fields;

    friend bool operator==(const EngineEvent&, const EngineEvent&) = default;

    /// The event as one line of JSON: "event" (the name), "t" (the monotonic
    /// time, "%.3f") and "wall" (ISO 8601, UTC, whole seconds), then every
    /// field as a string member, a field replacing a member of the same name;
    /// keys sorted, "/" not escaped. A field that cannot be encoded (text
    /// that is not UTF-8) makes the whole line exactly
    /// {"event":"event_encoding_error"}, so a reader never gets half an event.
    std::string jsonLine() const;
};

/// Where the engine hands its events. `emit` is called on the engine's queue,
/// one event at a time; it must not block for long and must not call back
/// into the engine synchronously.
class EventSinking {
public:
    virtual ~EventSinking() = default;
    virtual void emit(const EngineEvent& event) = 0;
};

/// The production sink: calls `handler` with every event.
class ClosureEventSink final : public EventSinking {
public:
    explicit ClosureEventSink(std::function<void(const EngineEvent&)> handler)
        : handler_(std::move(handler)) {}
    void emit(const EngineEvent& event) override { handler_(event); }

private:
    std::function<void(const EngineEvent&)> handler_;
};

} // namespace zoq
