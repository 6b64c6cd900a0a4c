#pragma once

#include "tests/TestSupport/TempDirectory.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Upload/UploadQueue.h"
#include "tests/TestSupport/ScriptedPortal.h"
#include "tests/TestSupport/TestAudio.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zoq::test {

/// A `FLACEncoder` whose "FLAC" is a short header naming the PCM length, the
/// PCM itself, then zeros up to `paddedSize` bytes (a sparse extension). The
/// queue only cares about the published file's size and hash, so this gives
/// multipart recordings of tens of MiB from 20 s of audio, and recovery's
/// verification reads only the PCM.
class PaddedFLACEncoder final : public FLACEncoder {
public:
    std::int64_t paddedSize = 0;

    void encode(const std::filesystem::path& wav, const std::filesystem::path& temporaryFLAC) const override {
        const DurableIO io;
        const Bytes pcm = io.read(wav, static_cast<std::int64_t>(pcm::wavHeaderSize));
        const std::string header = "PADFLAC " + std::to_string(pcm.size()) + "\n";
        Bytes file(header.begin(), header.end());
        file.insert(file.end(), pcm.begin(), pcm.end());
        io.write(temporaryFLAC, file, 0, true, false);
        if (paddedSize > static_cast<std::int64_t>(file.size())) {
            io.truncate(temporaryFLAC, paddedSize);
        }
    }

    DecodedAudio inspect(const std::filesystem::path& flac) const override {
        const DurableIO io;
        const Bytes head = io.read(flac, 0, 32);
        const std::string text(head.begin(), head.end());
        const std::size_t end = text.find('\n');
        if (!text.starts_with("PADFLAC ") || end == std::string::npos) {
            throw CoreError::corrupt("FLAC STREAMINFO");
        }
        const std::int64_t length = std::stoll(text.substr(8, end - 8));
        const std::string hash = io.hash(flac, static_cast<std::int64_t>(end + 1), length);
        return DecodedAudio{length / pcm::bytesPerFrame, pcm::sampleRate, pcm::channels,
                            pcm::bytesPerSample * 8, hash};
    }
};

/// A private directory in shared memory where there is one (manifest commits
/// fsync, and the scenarios commit hundreds of times), removed afterwards.
class ScratchDirectory : public TempDirectory {
public:
    ScratchDirectory()
        : TempDirectory(std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                   : std::filesystem::temp_directory_path()) {}
};

inline constexpr const char* queueSession = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
inline constexpr const char* queueDevice = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";

/// A published recording of 20 s in a scratch spool, a manual clock, and a
/// queue over it with a fixed jitter.
class UploadQueueTest : public ::testing::Test {
public:
    ScratchDirectory scratch;
    ManualClock clock;
    std::shared_ptr<DurableIO> io = std::make_shared<DurableIO>();
    PaddedFLACEncoder encoder;
    std::filesystem::path directory = scratch.path() / "part";
    std::unique_ptr<Artifact> artifact;
    double jitterValue = 0.5;
    std::unique_ptr<UploadQueue> queue;

    /// Publishes the recording, its "FLAC" padded to `flacBytes` when larger.
    void publish(std::int64_t flacBytes = 0, std::uint32_t seed = 3) {
        encoder.paddedSize = flacBytes;
        const CaptureSegment segment{queueSession, 0, "us.example.call", Date{800'000'000.0}, 0};
        artifact = Artifact::create(directory, segment, queueDevice, clock, io);
        artifact->append(syntheticPCM(pcm::minimumPartFrames, seed));
        artifact->finalise(encoder, segment.startedAt + 20.0, false);
        newQueue();
    }

    void newQueue() {
        queue = std::make_unique<UploadQueue>(*artifact, clock, [this] { return jitterValue; });
    }

    /// Drops the queue and the artifact and recovers the directory, as after a
    /// crash; returns the recovery's quarantine reason, empty when recovered.
    std::string reopen() {
        queue.reset();
        artifact.reset();
        RecoveryResult result = Artifact::recover(directory, clock, encoder, io);
        if (result.isQuarantined()) {
            return result.reason();
        }
        artifact = result.takeArtifact();
        newQueue();
        return {};
    }

    const ArtifactManifest& manifest() const { return artifact->manifest(); }
    const UploadCreateRequest& metadata() const { return *artifact->manifest().metadata; }

    /// Claims on wifi, failing the test when nothing is claimed.
    WorkerLease claim() {
        const auto lease = queue->claim(NetworkTransport::wifi, false);
        EXPECT_TRUE(lease.has_value()) << "nothing to claim in stage " << rawValue(queue->record().stage);
        return lease.value_or(WorkerLease{-1});
    }

    /// Claims (moving the clock past a retry time first) and answers one
    /// command from `portal`.
    UploadEffect step(ScriptedPortal& portal) {
        if (const auto at = queue->record().retryAt; at && clock.wallDate() < *at) {
            clock.setWallDate(*at);
        }
        const WorkerLease lease = queue->record().leased ? WorkerLease{queue->record().generation} : claim();
        const UploadCommand command = queue->command(lease);
        return queue->receive(command, portal.answer(command));
    }

    /// Steps until the queue stops (stored or blocked) or `limit` steps.
    UploadEffect run(ScriptedPortal& portal, int limit = 40) {
        UploadEffect effect = UploadEffect::progressed;
        for (int i = 0; i < limit; ++i) {
            effect = step(portal);
            if (effect == UploadEffect::stored || effect == UploadEffect::blocked ||
                effect == UploadEffect::refreshRequired) {
                break;
            }
        }
        return effect;
    }
};

} // namespace zoq::test
