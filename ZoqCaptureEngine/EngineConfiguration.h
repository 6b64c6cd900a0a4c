#pragma once

#include "ZoqCore/Capture/CaptureMachine.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace zoq {

/// What the right channel records: everything the computer plays (the
/// default sink's monitor), or only the playback streams of the application
/// being recorded.
enum class SystemAudioSource : std::uint8_t { all, recordedApp };

/// What one capture engine run is told by its owner.
struct EngineConfiguration {
    /// The spool root; created (0700) if missing.
    std::filesystem::path spool;
    /// Application identifiers allowed to trigger recording.
    std::set<std::string> allowed;
    /// The `ffmpeg` executable that encodes and verifies each part.
    std::filesystem::path ffmpeg;
    /// The paired device's identifier, written into every part.
    std::string deviceId;
    /// Carried for the shell; the engine does not look at it.
    bool e2e = false;
    /// When set, the engine stops itself this many seconds after boot.
    std::optional<double> maxSeconds;
    /// The alert chime's tone in Hz; 0 or less disables it.
    double alertFrequency = 0;
    /// The chime's length in seconds.
    double alertDuration = 0;
    /// A call the previous run was recording when the sound server ended it:
    /// when an allowed application holds the microphone within the grace
    /// period, this run goes on with it in its next part, with no debounce.
    std::optional<CallContinuation> continuation;
    SystemAudioSource systemAudioSource = SystemAudioSource::all;

    friend bool operator==(const EngineConfiguration&, const EngineConfiguration&) = default;
};

} // namespace zoq
