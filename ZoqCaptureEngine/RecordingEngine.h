#pragma once

#include "ZoqCaptureEngine/EngineTermination.h"

#include <functional>

namespace zoq {

/// A recording run as its owner (the recorder controller) sees it. The
/// commands only queue their work and return at once; the run applies them
/// one after another in the order they were given, each against the state the
/// one before left (a resume right after a pause resumes). `wait` blocks until
/// the run has ended and tells how (call it from a background thread, never
/// from the main thread or the engine's own queue).
class RecordingEngine {
public:
    virtual ~RecordingEngine() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    /// Resumes when paused, pauses otherwise, decided when it is applied.
    virtual void togglePause() = 0;
    /// Calls `done` once every command given before has been applied and the
    /// events it caused have been handed to the sink (on the engine's own
    /// thread, or at once when nothing is pending). A run that has stopped
    /// still calls it.
    virtual void afterCommands(std::function<void()> done) = 0;
    virtual EngineTermination wait() = 0;
};

} // namespace zoq
