#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

namespace zoq {

/// What an upload step means for the worker driving the queue.
enum class UploadEffect : std::uint8_t {
    /// A step was recorded; the next command can follow at once.
    progressed,
    /// The lease was given back with a retry time; come back after it.
    retryScheduled,
    /// The portal refused the device credentials (401): refresh them, then
    /// `UploadQueue::resumeAuthenticated`.
    refreshRequired,
    /// The recording waits for a permission fix or was quarantined.
    blocked,
    /// The portal confirmed storage with a receipt matching the local file.
    stored,
};

/// "progressed", "retryScheduled", ... (the case name).
constexpr std::string_view toText(UploadEffect effect) noexcept {
    switch (effect) {
    case UploadEffect::progressed:
        return "progressed";
    case UploadEffect::retryScheduled:
        return "retryScheduled";
    case UploadEffect::refreshRequired:
        return "refreshRequired";
    case UploadEffect::blocked:
        return "blocked";
    case UploadEffect::stored:
        return "stored";
    }
    return "progressed";
}

inline std::ostream& operator<<(std::ostream& out, UploadEffect effect) {
    return out << toText(effect);
}

} // namespace zoq
