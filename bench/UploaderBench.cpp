// The cost of one uploader pass over a spool where nothing is due: ten
// recordings of an hour each, all waiting for their retry time. Such a pass
// must not lock, recover or re-verify anything (recovering a published
// recording decodes its whole FLAC), so it costs a directory listing and ten
// manifest reads. Target: under 10 ms of CPU per pass.
//
// Upload throughput and peak memory of the transport the uploader's PUTs use
// are compared with curl by bench/compare-upload.

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Wire/DeviceCredentialsResponse.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/MemorySecrets.h"
#include "ZoqShell/System/NullNetwork.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqShell/Uploader/SpoolUploader.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace zoq {
namespace {

/// Publishes the PCM as is behind a one-line header; its "decode" hashes it
/// back. Only used to set the recordings up.
class CopyEncoder final : public FLACEncoder {
public:
    void encode(const std::filesystem::path& wav, const std::filesystem::path& flac) const override {
        const DurableIO io;
        Bytes file = bytesOf("COPY\n");
        const Bytes pcm = io.read(wav, static_cast<std::int64_t>(pcm::wavHeaderSize));
        file.insert(file.end(), pcm.begin(), pcm.end());
        io.write(flac, file, 0, true, false);
    }
    DecodedAudio inspect(const std::filesystem::path& flac) const override {
        const DurableIO io;
        const std::int64_t bytes = io.size(flac) - 5;
        return DecodedAudio{bytes / pcm::bytesPerFrame, pcm::sampleRate, pcm::channels,
                            pcm::bytesPerSample * 8, io.hash(flac, 5, bytes)};
    }
};

constexpr const char* device = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";

void idlePass(benchmark::State& state) {
    char pattern[] = "/tmp/zoq-uploader-bench-XXXXXX";
    const std::filesystem::path root = ::mkdtemp(pattern);
    const std::filesystem::path spool = root / "spool";
    std::filesystem::create_directory(spool);
    const HostClock clock;
    const CopyEncoder encoder;
    for (int index = 0; index < 10; ++index) {
        const std::string session = "1b4e28ba-2fa1-41d2-883f-0016d3cca4" + std::to_string(10 + index);
        const CaptureSegment segment{session, 0, "us.example.call", clock.wallDate() - 7200, 0};
        auto artifact =
            Artifact::create(spool / (session + "-0"), segment, device, clock, std::make_shared<DurableIO>());
        artifact->append(Bytes(static_cast<std::size_t>(pcm::minimumPartFrames * pcm::bytesPerFrame), 1));
        artifact->finalise(encoder, segment.startedAt + 3600, false);
        ArtifactManifest waiting = artifact->manifest();
        waiting.state = ArtifactState::retryWait;
        waiting.queue.stage = QueueStage::retryWait;
        waiting.queue.resumeStage = QueueStage::creating;
        waiting.queue.failures = 3;
        waiting.queue.retryAt = clock.wallDate() + 86'400;
        artifact->commit(waiting);
    }

    StubWireTransport transport(
        [](const TransportRequest&) -> TransportResponse { throw CoreError::invalidState(); });
    KeychainCredentialPersistence persistence(std::make_unique<MemorySecrets>());
    DeviceAuth auth(transport, persistence, "http://127.0.0.1:9", clock);
    auth.install(DeviceCredentialsResponse::fromJSON(JSONValue(JSONValue::Object{
        {"deviceId", device},
        {"accessToken", "access"},
        {"accessExpiresAt", "2030-03-01T10:15:00.000Z"},
        {"refreshToken", "refresh"},
        {"refreshExpiresAt", "2030-05-30T10:00:00.000Z"},
        {"scopes", JSONValue::Array{"uploads:create", "uploads:manage-own"}},
    })));
    const NullNetwork network;
    SpoolUploader uploader(
        spool,
        SpoolUploader::Dependencies{auth, transport, network, [] { return std::make_unique<CopyEncoder>(); }},
        clock);
    // The portal that issued the credentials: passes then find them usable.
    uploader.setBaseURL("http://127.0.0.1:9");
    for (auto _ : state) {
        benchmark::DoNotOptimize(uploader.tickOnce().get());
    }
    std::filesystem::remove_all(root);
}
// The pass runs on the uploader's worker thread: count the whole process.
BENCHMARK(idlePass)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

} // namespace
} // namespace zoq
