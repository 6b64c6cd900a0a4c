#pragma once

#include "ZoqCore/Spool/ArtifactManifest.h"
#include "ZoqCore/Spool/ArtifactState.h"
#include "ZoqCore/Support/Date.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// What the menu and the command line show for one spool directory: a plain
/// value derived from its manifest alone.
struct UploadRow {
    /// A row in an active or waiting stage is stuck after this many retries...
    static constexpr std::int64_t stuckThresholdFailures = 4;
    /// ...or when its retry time lies this many seconds in the past (the
    /// uploader has not got to it although it should have).
    static constexpr double stuckThresholdDelay = 600;

    /// The capture session identifier, "-", the part index in decimal.
    std::string directoryName;
    ArtifactState state = ArtifactState::allocated;
    /// The upload's stage as shown (`shownStage`).
    QueueStage stage = QueueStage::ready;
    std::optional<std::string> recordingId;
    std::int64_t failures = 0;
    std::optional<Date> retryAt;
    std::optional<std::string> lastError;
    bool stuck = false;
    /// Bytes of the published file the portal holds for the current attempt:
    /// the completed parts while transferring, the whole file from completing
    /// on, 0 before. Coarse by design (a part counts once it is acknowledged).
    std::int64_t sentBytes = 0;
    /// The published file's size; 0 before publication.
    std::int64_t byteSize = 0;
    /// The application recorded (its bundle identifier).
    std::string app;
    /// Wall-clock time of the part's first frame: what rows are ordered by.
    Date startedAt;
    /// The part's length in seconds, from the frames known to be durable.
    double durationSeconds = 0;

    /// The manifest's queue stage, except `done` for a part discarded as too
    /// short: it keeps the queue record it was created with, but nothing is
    /// or will be queued for it.
    static QueueStage shownStage(const ArtifactManifest& manifest) noexcept {
        return manifest.state == ArtifactState::discardedShort ? QueueStage::done : manifest.queue.stage;
    }

    static UploadRow derive(const ArtifactManifest& manifest, Date now,
                            std::int64_t stuckFailures = stuckThresholdFailures,
                            double stuckDelay = stuckThresholdDelay);

    friend bool operator==(const UploadRow&, const UploadRow&) = default;
};

/// Orders rows oldest first by the part's start time, then by directory name
/// so equal times keep one order. The spool lists directories by their
/// random identifiers; every view (the menu, the bus, the command line)
/// shows rows in this order instead.
void sortByStart(std::vector<UploadRow>& rows);

} // namespace zoq
