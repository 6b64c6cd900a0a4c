#pragma once

#include "ZoqCore/Capture/CaptureSegment.h"
#include "ZoqCore/Spool/ArtifactState.h"
#include "ZoqCore/Spool/QueueRecord.h"
#include "ZoqCore/Support/Date.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"
#include "ZoqCore/Wire/UploadStatusResponse.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// The single source of truth of one artifact directory, stored checksummed in
/// its "manifest.json" (format: docs/spool-format.md). A plain value; the
/// artifact changes it only through `Artifact::commit`.
struct ArtifactManifest {
    static constexpr std::int64_t currentVersion = 1;
    static constexpr const char* wavName = "audio.wav";
    static constexpr const char* flacName = "audio.flac";

    std::int64_t version = currentVersion;
    CaptureSegment capture;
    /// The device the part belongs to (a UUID text).
    std::string deviceId;
    std::int64_t sampleRate = 16'000;
    std::int64_t channels = 2;
    std::int64_t bitsPerSample = 16;
    std::string wavPath = wavName;
    std::string flacPath = flacName;
    ArtifactState state = ArtifactState::allocated;
    /// Frames of PCM known to be on stable storage.
    std::int64_t durableFrames = 0;
    /// SHA-256 (64 lower-case hex digits) of the first `durableFrames` × 4 PCM bytes.
    std::string durablePCMHash;
    bool interrupted = false;
    std::optional<Date> endedAt;
    /// The upload-create document, fixed when the FLAC is published.
    std::optional<UploadCreateRequest> metadata;
    /// The portal's confirmation that the recording is stored.
    std::optional<UploadStatusResponse> receipt;
    QueueRecord queue;
    /// The last error shown for this artifact (the quarantine reason).
    std::optional<std::string> error;

    friend bool operator==(const ArtifactManifest&, const ArtifactManifest&) = default;
};

} // namespace zoq
