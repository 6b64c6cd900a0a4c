#pragma once

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/ManifestCodec.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Wire/UploadStatusResponse.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace zoq::test {

inline constexpr const char* testSession = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
inline constexpr const char* testDevice = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";
inline constexpr const char* testUpload = "0c7e9d4a-5a52-4f6e-9a4e-2d3b7c1a9e01";
inline constexpr const char* testRecording = "5f1d2c3b-4a59-4687-9b6c-7d8e9fa0b1c2";
inline constexpr const char* testAttempt = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d";

inline CaptureSegment testSegment() {
    return CaptureSegment{testSession, 0, "us.example.call", Date{800'000'000.0}, 0};
}

/// The SHA-256 of the first `frames` frames of `pcm`.
inline std::string prefixHash(const Bytes& pcm, std::int64_t frames) {
    return SHA256::hex(ByteView(pcm.data(), static_cast<std::size_t>(frames * 4)));
}

/// Writes `manifest` as a directory's "manifest.json" with a correct checksum,
/// bypassing every rule a commit would apply.
inline void writeManifest(const std::filesystem::path& directory, const ArtifactManifest& manifest) {
    const JSONValue envelope = JSONValue::Object{{"checksum", SHA256::hex(Artifact::encode(manifest))},
                                                 {"manifest", ManifestCodec::encode(manifest)}};
    DurableIO().atomic(envelope.canonicalBytes(), directory / Artifact::manifestName);
}

/// The portal's "stored" status for the published file of `manifest` under the
/// test upload identity.
inline UploadStatusResponse storedReceipt(const ArtifactManifest& manifest) {
    return UploadStatusResponse::fromJSON(
        JSONValue::Object{{"uploadId", testUpload},
                          {"recordingId", testRecording},
                          {"attemptId", testAttempt},
                          {"state", "stored"},
                          {"stored", JSONValue::Object{{"sha256", manifest.metadata->sha256()},
                                                       {"byteSize", manifest.metadata->byteSize()},
                                                       {"storedAt", "2026-01-01T00:00:00.000Z"}}},
                          {"error", nullptr}});
}

/// `manifest` as the upload queue leaves it once the portal confirmed storage.
inline ArtifactManifest storedManifest(ArtifactManifest manifest) {
    manifest.queue.identity = UploadIdentity{testUpload, testRecording, testAttempt};
    manifest.receipt = storedReceipt(manifest);
    manifest.state = ArtifactState::stored;
    manifest.queue.stage = QueueStage::stored;
    return manifest;
}

/// A fresh artifact directory, a manual clock and a fake encoder, with helpers
/// that write seeded audio the way the recorder does.
class ArtifactTest : public ::testing::Test {
protected:
    TempDirectory temp;
    ManualClock clock;
    std::shared_ptr<DurableIO> io = std::make_shared<DurableIO>();
    FakeFLACEncoder encoder;
    std::filesystem::path directory = temp / "part";
    /// Everything appended so far, in order.
    Bytes written;

    std::unique_ptr<Artifact> create() {
        return Artifact::create(directory, testSegment(), testDevice, clock, io);
    }

    /// Appends `frames` frames of seeded audio in chunks of at most one second,
    /// advancing the clock by each chunk's duration (so flushes happen).
    void write(Artifact& artifact, std::int64_t frames) {
        const Bytes audio = syntheticPCM(frames, static_cast<std::uint32_t>(written.size() + 7));
        for (std::int64_t at = 0; at < frames; at += 16'000) {
            const std::int64_t count = std::min<std::int64_t>(16'000, frames - at);
            clock.advance(static_cast<double>(count) / 16'000.0);
            artifact.append(ByteView(audio.data() + at * 4, static_cast<std::size_t>(count * 4)));
        }
        written.insert(written.end(), audio.begin(), audio.end());
    }

    Date endOf(std::int64_t frames) const {
        return testSegment().startedAt + static_cast<double>(frames) / 16'000.0;
    }

    /// A published part of `frames` frames.
    std::unique_ptr<Artifact> published(std::int64_t frames = 320'000) {
        auto artifact = create();
        write(*artifact, frames);
        artifact->finalise(encoder, endOf(frames), false);
        return artifact;
    }
};

} // namespace zoq::test
