#include "ZoqShell/Uploader/UploadRow.h"

#include "ZoqCore/Upload/UploadQueue.h"

#include <algorithm>

namespace zoq {
namespace {

bool canStick(QueueStage stage) {
    switch (stage) {
    case QueueStage::creating:
    case QueueStage::transferring:
    case QueueStage::completing:
    case QueueStage::verifying:
    case QueueStage::retryWait:
        return true;
    default:
        return false;
    }
}

std::int64_t sentBytesOf(const ArtifactManifest& manifest, std::int64_t byteSize) {
    if (manifest.state == ArtifactState::stored || manifest.state == ArtifactState::cleaned) {
        return byteSize;
    }
    QueueStage stage = manifest.queue.stage;
    if (stage == QueueStage::retryWait || stage == QueueStage::waitingNetwork ||
        stage == QueueStage::blockedAuth || stage == QueueStage::blockedPermission) {
        stage = manifest.queue.resumeStage;
    }
    switch (stage) {
    case QueueStage::transferring: {
        const auto parts = static_cast<std::int64_t>(manifest.queue.completedParts.size());
        return std::min(byteSize, parts * UploadQueue::partSize);
    }
    case QueueStage::completing:
    case QueueStage::verifying:
    case QueueStage::stored:
    case QueueStage::cleanup:
    case QueueStage::done:
        return byteSize;
    default:
        return 0;
    }
}

} // namespace

UploadRow UploadRow::derive(const ArtifactManifest& manifest, Date now, std::int64_t stuckFailures,
                            double stuckDelay) {
    UploadRow row;
    row.directoryName = manifest.capture.captureSessionId + "-" + std::to_string(manifest.capture.partIndex);
    row.state = manifest.state;
    row.stage = shownStage(manifest);
    if (manifest.queue.identity) {
        row.recordingId = manifest.queue.identity->recordingId;
    }
    row.failures = manifest.queue.failures;
    row.retryAt = manifest.queue.retryAt;
    // The manifest's error is final (quarantine); the queue's is the reason
    // for the current wait or block.
    row.lastError = manifest.error ? manifest.error : manifest.queue.error;
    row.stuck = canStick(row.stage) &&
                (row.failures >= stuckFailures ||
                 (row.retryAt && row.retryAt->sinceReferenceDate < now.sinceReferenceDate - stuckDelay));
    row.byteSize = manifest.metadata ? manifest.metadata->byteSize() : 0;
    row.sentBytes = sentBytesOf(manifest, row.byteSize);
    row.app = manifest.capture.app;
    row.startedAt = manifest.capture.startedAt;
    if (manifest.sampleRate > 0) {
        row.durationSeconds =
            static_cast<double>(manifest.durableFrames) / static_cast<double>(manifest.sampleRate);
    }
    return row;
}

void sortByStart(std::vector<UploadRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const UploadRow& a, const UploadRow& b) {
        if (a.startedAt != b.startedAt) {
            return a.startedAt < b.startedAt;
        }
        return a.directoryName < b.directoryName;
    });
}

} // namespace zoq
