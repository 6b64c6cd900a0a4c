// The artifact's durability costs.
//
// Flush: one 5-second flush (header, fsync, hash of the new bytes, manifest
// commit) with 1 minute and with almost 3 hours of audio already in the part;
// the running digest keeps the two equal (bench/compare-finalise prints the
// ratio; target < 1.5).
// Finalise: a one-hour part (final flush, FLAC encode, decode-verify, hash,
// publish) next to the bare pipeline on the same audio: ffmpeg encode, ffmpeg
// decode, openssl dgst -sha256 (bench/compare-finalise prints the overhead;
// target < 15 %).
// Commit: one manifest commit (dominated by its two fsyncs).
#include "bench/ScratchDirectory.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/PCM.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* session = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
constexpr const char* device = "7d444840-9dc0-41f2-8c5b-1f2a8e9c1e11";
constexpr std::int64_t framesPerFlush = 5 * zoq::pcm::sampleRate;
constexpr std::int64_t framesPerHour = 3600 * zoq::pcm::sampleRate;

using zoq::bench::ScratchDirectory;

/// Seeded noise with a quiet tone: compresses like speech-free room audio,
/// not like silence, so the encoder does real work.
zoq::Bytes audio(std::int64_t frames, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-600, 600);
    zoq::Bytes bytes(static_cast<std::size_t>(frames * 4));
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(noise(random) + static_cast<int>((i / 2) % 200) * 20);
        bytes[i] = static_cast<std::uint8_t>(sample);
        bytes[i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8);
    }
    return bytes;
}

/// An artifact holding `frames` frames, all flushed, appended in large blocks
/// of the same seeded audio.
std::unique_ptr<zoq::Artifact> filledArtifact(const std::filesystem::path& directory,
                                              const zoq::CoreClock& clock, std::int64_t frames,
                                              const zoq::Bytes& block) {
    const zoq::CaptureSegment segment{session, 0, "us.example.call", zoq::Date{800'000'000.0}, 0};
    auto artifact =
        zoq::Artifact::create(directory, segment, device, clock, std::make_shared<zoq::DurableIO>());
    const auto blockFrames = static_cast<std::int64_t>(block.size() / 4);
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t count = std::min(blockFrames, frames - done);
        artifact->append(zoq::ByteView(block.data(), static_cast<std::size_t>(count * 4)));
        done += count;
    }
    artifact->flush();
    return artifact;
}

void BM_Flush(benchmark::State& state) {
    const ScratchDirectory scratch;
    const zoq::ManualClock clock; // never advances: appends never flush by themselves
    const std::int64_t start = state.range(0) * zoq::pcm::sampleRate;
    const zoq::Bytes block = audio(framesPerFlush * 8, 1);
    const auto artifact = filledArtifact(scratch.path() / "part", clock, start, block);
    const zoq::ByteView fiveSeconds(block.data(), static_cast<std::size_t>(framesPerFlush * 4));
    for (auto _ : state) {
        state.PauseTiming();
        artifact->append(fiveSeconds);
        state.ResumeTiming();
        artifact->flush();
    }
    state.counters["partMinutes"] = static_cast<double>(start) / zoq::pcm::sampleRate / 60;
}
// 1 minute, and 3 hours minus room for the 60 measured flushes.
BENCHMARK(BM_Flush)
    ->Arg(60)
    ->Arg(3 * 3600 - 60 * 5)
    ->Iterations(60)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_FinaliseOneHour(benchmark::State& state) {
    const zoq::ManualClock clock;
    const zoq::FFmpegFLACEncoder encoder;
    const zoq::Bytes block = audio(framesPerFlush * 8, 2);
    for (auto _ : state) {
        state.PauseTiming();
        const ScratchDirectory scratch;
        const auto artifact =
            filledArtifact(scratch.path() / "part", clock, framesPerHour - 2 * zoq::pcm::sampleRate, block);
        // The last two seconds are not durable yet: finalise flushes them.
        artifact->append(zoq::ByteView(block.data(), static_cast<std::size_t>(2 * zoq::pcm::sampleRate * 4)));
        state.ResumeTiming();
        artifact->finalise(encoder, zoq::Date{800'003'600.0}, false);
        state.PauseTiming();
        if (artifact->manifest().state != zoq::ArtifactState::ready) {
            state.SkipWithError("not published");
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FinaliseOneHour)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_BareToolsOneHour(benchmark::State& state) {
    const ScratchDirectory scratch;
    const zoq::Bytes block = audio(framesPerFlush * 8, 2);
    const std::filesystem::path wav = scratch.path() / "audio.wav";
    {
        std::ofstream out(wav, std::ios::binary);
        const zoq::Bytes header = zoq::pcm::wavHeader(framesPerHour);
        out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
        for (std::int64_t done = 0; done < framesPerHour; done += framesPerFlush * 8) {
            const std::int64_t count = std::min(framesPerFlush * 8, framesPerHour - done);
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count * 4));
        }
    }
    const std::string dir = scratch.path().string();
    const std::string pipeline =
        "cd '" + dir +
        "' && rm -f out.flac out.pcm"
        " && ffmpeg -nostdin -v error -n -i audio.wav -map 0:a:0 -c:a flac -sample_fmt s16"
        " -f flac out.flac"
        " && ffmpeg -nostdin -v error -i out.flac -map 0:a:0 -f s16le -c:a pcm_s16le"
        " pipe:1 > out.pcm"
        " && openssl dgst -sha256 out.pcm > /dev/null";
    for (auto _ : state) {
        if (std::system(pipeline.c_str()) != 0) {
            state.SkipWithError("pipeline failed");
        }
    }
}
BENCHMARK(BM_BareToolsOneHour)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ManifestCommit(benchmark::State& state) {
    const ScratchDirectory scratch;
    const zoq::ManualClock clock;
    const auto artifact = zoq::Artifact::create(scratch.path() / "part",
                                                {session, 0, "us.example.call", zoq::Date{800'000'000.0}, 0},
                                                device, clock, std::make_shared<zoq::DurableIO>());
    for (auto _ : state) {
        artifact->commit(artifact->manifest());
    }
}
BENCHMARK(BM_ManifestCommit)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
