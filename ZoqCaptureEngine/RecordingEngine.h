#pragma once

#include "ZoqCaptureEngine/EngineTermination.h"

namespace zoq {

/// A recording run as its owner (the recorder controller) sees it. The four
/// commands only queue their work and return at once; `wait` blocks until the
/// run has ended and tells how (call it from a background thread, never from
/// the main thread or the engine's own queue).
class RecordingEngine {
public:
    virtual ~RecordingEngine() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual EngineTermination wait() = 0;
};

} // namespace zoq
