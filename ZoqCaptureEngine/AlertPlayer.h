#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <functional>

namespace zoq {

/// Plays one short sound (the alert chime) once.
class AlertPlayer {
public:
    virtual ~AlertPlayer() = default;
    /// Starts playback; returns whether it started. `finished` is called once,
    /// on any thread, when playback ends (true when it played to the end);
    /// never after `stop()` returned or the player was destroyed.
    virtual bool play(std::function<void(bool success)> finished) = 0;
    /// Stops playback at once.
    virtual void stop() noexcept = 0;
};

} // namespace zoq
