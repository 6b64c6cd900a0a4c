#pragma once

#include <string_view>

namespace zoq {

/// What ended a run, read from its failure text (the engine's fixed prefix
/// and the error's description): the one place that decides whether a run
/// may be armed again without the person.
enum class FailureCause : unsigned char {
    /// The connection to the sound server was terminated or refused: the
    /// server restarts; arm again as soon as it answers.
    soundServerLost,
    /// The sound server or the audio devices misbehaved (a device that went
    /// away and none to take its place, a stream that stopped delivering, a
    /// server or a zoq stalled for seconds): arm again after a pause, so a
    /// fault that persists costs one attempt every few seconds.
    soundServerFault,
    /// The spool, the settings, the microphone's permission or zoq itself:
    /// arming again would fail the same way; the person decides.
    other,
};

FailureCause failureCause(std::string_view failureText) noexcept;

} // namespace zoq
