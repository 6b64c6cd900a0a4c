// The upload queue's pace: commands per second through a whole multipart run
// (4 parts: create, observed parts, sign and put each part, complete, claim,
// status) against an in-process portal, over a real published recording in a
// spool directory on the temporary file system. No bytes are sent, so the
// cost is the queue's own: every decision is one durable manifest commit
// (write the sibling, fsync it, rename, fsync the directory), which dominates.
// Compare with ArtifactBench's BM_ManifestCommit for the cost of one commit.
#include "bench/ScratchDirectory.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Upload/UploadQueue.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

namespace {

using Object = zoq::JSONValue::Object;
using Array = zoq::JSONValue::Array;

constexpr const char* session = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
constexpr const char* device = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";
constexpr const char* uploadId = "0c7e9d4a-5a52-4f6e-9a4e-2d3b7c1a9e01";
constexpr const char* recordingId = "5f1d2c3b-4a59-4687-9b6c-7d8e9fa0b1c2";
constexpr const char* attemptId = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d";
constexpr const char* later = "2099-01-01T00:00:00.000Z";

using zoq::bench::ScratchDirectory;

/// Loud seeded noise: compresses poorly, so 14 minutes make a FLAC of more
/// than two 16 MiB parts.
std::unique_ptr<zoq::Artifact> publishedRecording(const std::filesystem::path& directory,
                                                  const zoq::CoreClock& clock) {
    constexpr std::int64_t frames = 14 * 60 * zoq::pcm::sampleRate;
    const zoq::CaptureSegment segment{session, 0, "us.example.call", zoq::Date{800'000'000.0}, 0};
    auto artifact =
        zoq::Artifact::create(directory, segment, device, clock, std::make_shared<zoq::DurableIO>());
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-20'000, 20'000);
    zoq::Bytes block(static_cast<std::size_t>(zoq::pcm::sampleRate * 4 * 10));
    for (std::int64_t done = 0; done < frames; done += zoq::pcm::sampleRate * 10) {
        for (std::size_t i = 0; i < block.size(); i += 2) {
            const auto value = static_cast<std::uint16_t>(sample(random));
            block[i] = static_cast<std::uint8_t>(value);
            block[i + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        artifact->append(block);
    }
    artifact->finalise(zoq::FFmpegFLACEncoder(), segment.startedAt + 14 * 60.0, false);
    return artifact;
}

zoq::HTTPReply reply(int status, const zoq::JSONValue& body, std::optional<std::string> etag = {}) {
    return {status, body.isNull() ? zoq::Bytes{} : body.canonicalBytes(), std::move(etag), std::nullopt};
}

/// The portal's answers for an uninterrupted multipart run.
zoq::HTTPReply answer(const zoq::UploadCommand& command, std::int64_t byteSize, const std::string& sha256) {
    const auto status = [&](const char* state) -> zoq::JSONValue {
        Object document{{"uploadId", uploadId}, {"recordingId", recordingId}, {"attemptId", attemptId},
                        {"state", state},       {"stored", nullptr},          {"error", nullptr}};
        if (std::string(state) == "stored") {
            document["stored"] =
                Object{{"sha256", sha256}, {"byteSize", byteSize}, {"storedAt", "2026-01-01T00:00:00.000Z"}};
        }
        if (std::string(state) == "pending") {
            document["expiresAt"] = later;
            document["transfer"] = Object{
                {"mode", "multipart"},
                {"partSizeBytes", zoq::UploadQueue::partSize},
                {"partCount", (byteSize + zoq::UploadQueue::partSize - 1) / zoq::UploadQueue::partSize}};
        }
        return document;
    };
    return std::visit(
        [&](const auto& operation) -> zoq::HTTPReply {
            using Kind = std::decay_t<decltype(operation)>;
            if constexpr (std::is_same_v<Kind, zoq::UploadCommand::Create>) {
                return reply(201, status("pending"));
            } else if constexpr (std::is_same_v<Kind, zoq::UploadCommand::ObservedParts>) {
                return reply(200, Object{{"parts", Array{}}});
            } else if constexpr (std::is_same_v<Kind, zoq::UploadCommand::SignPart>) {
                return reply(200, Object{{"parts", Array{Object{{"partNumber", operation.number},
                                                                {"url", "https://storage.example.com/p/" +
                                                                            std::to_string(operation.number)},
                                                                {"headers", Object{}},
                                                                {"urlExpiresAt", later}}}}});
            } else if constexpr (std::is_same_v<Kind, zoq::UploadCommand::Put>) {
                return reply(200, nullptr, "\"etag-" + std::to_string(*operation.partNumber) + "\"");
            } else if constexpr (std::is_same_v<Kind, zoq::UploadCommand::Complete>) {
                return reply(200, status("verifying"));
            } else {
                return reply(200, status("stored"));
            }
        },
        command.operation);
}

void BM_MultipartRun(benchmark::State& state) {
    const ScratchDirectory scratch;
    zoq::ManualClock clock;
    const auto artifact = publishedRecording(scratch.path() / "part", clock);
    const zoq::ArtifactManifest ready = artifact->manifest();
    const std::int64_t byteSize = ready.metadata->byteSize();
    const std::string sha256 = ready.metadata->sha256();
    std::int64_t commands = 0;
    for (auto _ : state) {
        state.PauseTiming();
        artifact->commit(ready);
        state.ResumeTiming();
        zoq::UploadQueue queue(*artifact, clock, [] { return 0.0; });
        auto lease = queue.claim(zoq::NetworkTransport::wifi, false);
        while (lease) {
            const zoq::UploadCommand command = queue.command(*lease);
            ++commands;
            const zoq::UploadEffect effect = queue.receive(command, answer(command, byteSize, sha256));
            if (effect == zoq::UploadEffect::stored) {
                break;
            }
            if (effect != zoq::UploadEffect::progressed) {
                lease = queue.claim(zoq::NetworkTransport::wifi, false);
            }
        }
        if (artifact->manifest().state != zoq::ArtifactState::stored) {
            state.SkipWithError("the run did not end stored");
            break;
        }
    }
    state.counters["commands/s"] =
        benchmark::Counter(static_cast<double>(commands), benchmark::Counter::kIsRate);
    state.counters["parts"] =
        static_cast<double>((byteSize + zoq::UploadQueue::partSize - 1) / zoq::UploadQueue::partSize);
}
BENCHMARK(BM_MultipartRun)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
