#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zoq {

/// Where one recording part stands in its lifecycle. Stored in the manifest as
/// its raw value ("WRITING_WAV"), which is the state's only textual form.
enum class ArtifactState : std::uint8_t {
    allocated,
    writingWAV,
    finalisingFLAC,
    ready,
    uploading,
    verifyingRemote,
    stored,
    cleaned,
    discardedShort,
    retryWait,
    blockedAuth,
    quarantined,
};

/// "ALLOCATED", "WRITING_WAV", ...
std::string_view rawValue(ArtifactState state) noexcept;
/// The state whose raw value is exactly `raw`, or none.
std::optional<ArtifactState> artifactStateNamed(std::string_view raw) noexcept;

/// Where an upload stands (the queue record's `stage` and `resumeStage`).
enum class QueueStage : std::uint8_t {
    ready,
    waitingNetwork,
    creating,
    transferring,
    completing,
    verifying,
    stored,
    cleanup,
    done,
    retryWait,
    blockedAuth,
    blockedPermission,
    quarantined,
};

/// "READY_TO_UPLOAD", "WAITING_NETWORK", ...
std::string_view rawValue(QueueStage stage) noexcept;
/// The stage whose raw value is exactly `raw`, or none.
std::optional<QueueStage> queueStageNamed(std::string_view raw) noexcept;

} // namespace zoq
