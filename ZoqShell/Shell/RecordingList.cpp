#include "ZoqShell/Shell/RecordingList.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/RecorderController.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zoq {
namespace {

std::string clockText(const std::tm& time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", time.tm_hour, time.tm_min);
    return text;
}

bool sameDay(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
}

bool stageUploads(QueueStage stage) {
    return stage == QueueStage::creating || stage == QueueStage::transferring ||
           stage == QueueStage::completing;
}

} // namespace

LocalTime processLocalTime() {
    return [](Date when) {
        const auto seconds = static_cast<std::time_t>(std::floor(when.unixSeconds()));
        std::tm local{};
        ::localtime_r(&seconds, &local);
        return local;
    };
}

std::string startedText(Date when, Date now, const LocalTime& local) {
    const std::tm at = local(when);
    if (sameDay(at, local(now))) {
        return substitute(i18n("Today {1}"), {clockText(at)});
    }
    if (sameDay(at, local(now - 86'400))) {
        return substitute(i18n("Yesterday {1}"), {clockText(at)});
    }
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d ", at.tm_year + 1900, at.tm_mon + 1, at.tm_mday);
    return date + clockText(at);
}

std::string lengthText(double seconds) {
    const auto total = static_cast<long long>(std::max(0.0, std::floor(seconds)));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

std::string stateText(const UploadRow& row, std::optional<Date> uploadedAt, const LocalTime& local) {
    switch (row.state) {
    case ArtifactState::allocated:
    case ArtifactState::writingWAV:
        return i18n("Recording…");
    case ArtifactState::finalisingFLAC:
        return i18n("Finishing…");
    case ArtifactState::discardedShort:
        return i18n("Too short — not kept");
    case ArtifactState::quarantined:
        return substitute(i18n("Damaged — kept aside ({1})"), {row.lastError.value_or(i18n("unreadable"))});
    case ArtifactState::blockedAuth:
        return i18n("Needs re-pairing");
    case ArtifactState::stored:
    case ArtifactState::cleaned:
        return uploadedAt ? substitute(i18n("Uploaded at {1}"), {clockText(local(*uploadedAt))})
                          : std::string(i18n("Uploaded"));
    default:
        break;
    }
    switch (row.stage) {
    case QueueStage::waitingNetwork:
        return i18n("Waiting for network");
    case QueueStage::blockedAuth:
        return i18n("Needs re-pairing");
    case QueueStage::blockedPermission:
        return row.lastError ? substitute(i18n("Refused by the portal ({1})"), {*row.lastError})
                             : std::string(i18n("Refused by the portal"));
    case QueueStage::verifying:
        return i18n("Verifying with the portal");
    case QueueStage::retryWait: {
        std::string text = row.retryAt
                               ? substitute(i18n("Waiting to retry at {1}"), {clockText(local(*row.retryAt))})
                               : std::string(i18n("Waiting to retry"));
        if (row.lastError) {
            text += " — " + *row.lastError;
        }
        return text;
    }
    case QueueStage::stored:
    case QueueStage::cleanup:
    case QueueStage::done:
        return uploadedAt ? substitute(i18n("Uploaded at {1}"), {clockText(local(*uploadedAt))})
                          : std::string(i18n("Uploaded"));
    case QueueStage::quarantined:
        return substitute(i18n("Damaged — kept aside ({1})"), {row.lastError.value_or(i18n("unreadable"))});
    default:
        break;
    }
    if (stageUploads(row.stage)) {
        const std::int64_t percent = row.byteSize > 0 ? row.sentBytes * 100 / row.byteSize : 0;
        return substitute(i18n("Uploading {1} %"), {std::to_string(percent)});
    }
    return i18n("Waiting to upload");
}

std::vector<RecordingLine> recordingLines(const std::vector<UploadRow>& rows,
                                          const std::vector<UploadedRecording>& uploaded, Date now,
                                          const LocalTime& local, bool engineRunning,
                                          const std::map<std::string, std::string>& sources) {
    std::vector<RecordingLine> lines;
    const auto noteFallback = [](RecordingLine& line, const std::string& source) {
        if (source == RecorderController::fallbackSource) {
            line.state += " — " + std::string(i18n(fallbackNote));
        }
    };
    const auto uploadTime = [&](const std::optional<std::string>& recordingId) -> std::optional<Date> {
        if (!recordingId) {
            return std::nullopt;
        }
        for (const UploadedRecording& entry : uploaded) {
            if (entry.recordingId == *recordingId) {
                return entry.uploadedAt;
            }
        }
        return std::nullopt;
    };
    for (const UploadRow& row : rows) {
        RecordingLine line;
        line.directoryName = row.directoryName;
        line.recordingId = row.recordingId;
        line.startedAt = row.startedAt;
        line.started = startedText(row.startedAt, now, local);
        line.app = row.app;
        line.length = lengthText(row.durationSeconds);
        const bool writing = row.state == ArtifactState::allocated || row.state == ArtifactState::writingWAV;
        line.state = writing && !engineRunning ? std::string(i18n(interruptedText))
                                               : stateText(row, uploadTime(row.recordingId), local);
        line.hasLocalAudio =
            row.state != ArtifactState::cleaned && row.state != ArtifactState::discardedShort;
        line.canUpload = row.state == ArtifactState::ready || row.state == ArtifactState::uploading ||
                         row.state == ArtifactState::verifyingRemote || row.state == ArtifactState::retryWait;
        if (const auto known = sources.find(row.directoryName); known != sources.end()) {
            noteFallback(line, known->second);
        } else if (row.recordingId) {
            for (const UploadedRecording& entry : uploaded) {
                if (entry.recordingId == *row.recordingId) {
                    noteFallback(line, entry.systemSource);
                }
            }
        }
        lines.push_back(std::move(line));
    }
    for (const UploadedRecording& entry : uploaded) {
        const bool shown = std::any_of(rows.begin(), rows.end(), [&](const UploadRow& row) {
            return row.recordingId == entry.recordingId;
        });
        if (shown) {
            continue;
        }
        RecordingLine line;
        line.recordingId = entry.recordingId;
        line.startedAt = entry.startedAt;
        line.started = startedText(entry.startedAt, now, local);
        line.app = entry.app;
        line.length = lengthText(entry.durationSeconds);
        line.state = substitute(i18n("Uploaded at {1}"), {clockText(local(entry.uploadedAt))});
        noteFallback(line, entry.systemSource);
        lines.push_back(std::move(line));
    }
    std::stable_sort(lines.begin(), lines.end(), [](const RecordingLine& a, const RecordingLine& b) {
        if (a.startedAt != b.startedAt) {
            return b.startedAt < a.startedAt;
        }
        return b.directoryName < a.directoryName;
    });
    return lines;
}

} // namespace zoq
