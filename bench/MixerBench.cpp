// The capture pipeline's per-second cost on the engine's queue: converting
// device audio to 16 kHz and mixing the two streams. "xRealTime" is seconds
// of audio handled per second of CPU time on one core.
#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/StereoFrameMixer.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <numbers>

namespace {

constexpr std::uint64_t origin = 1'000'000'000'000;

std::vector<float> tone(std::size_t frames, int channels, double rate) {
    std::vector<float> samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i / static_cast<std::size_t>(channels)) / rate;
        samples[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) +
                                        0.1 * std::sin(2 * std::numbers::pi * 3100 * t));
    }
    return samples;
}

/// One second of device audio per iteration, in 10 ms callbacks, through the
/// continuity checks and the converter.
void BM_ConvertToSixteenKilohertz(benchmark::State& state) {
    const auto rate = static_cast<double>(state.range(0));
    const auto channels = static_cast<int>(state.range(1));
    const auto framesPerChunk = static_cast<std::size_t>(rate / 100);
    const std::vector<float> chunkSamples = tone(framesPerChunk, channels, rate);
    zoq::ClockedStream stream(rate, channels);
    double sampleTime = 0;
    std::size_t produced = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            const auto host = origin + static_cast<std::uint64_t>(std::llround(sampleTime * 1e9 / rate));
            const zoq::RawChunk chunk(host, host, sampleTime, chunkSamples, channels, true, true);
            if (auto segment = stream.push(chunk)) {
                produced += segment->samples.size();
            }
            sampleTime += static_cast<double>(framesPerChunk);
        }
    }
    benchmark::DoNotOptimize(produced);
    state.counters["xRealTime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertToSixteenKilohertz)
    ->ArgNames({"rate", "channels"})
    ->Args({48'000, 1})
    ->Args({48'000, 2})
    ->Args({44'100, 2});

/// The engine's steady state: the streams run half a second ahead of
/// delivery, a converted segment arrives every 10 ms per stream (the system
/// stream off the output grid), and one second is pulled per iteration in a
/// 16 000-frame block.
void BM_MixerPullOneSecond(benchmark::State& state) {
    constexpr std::uint64_t frame = 62'500;
    constexpr std::size_t segmentFrames = 160;
    const std::vector<std::int16_t> micSamples(segmentFrames, 1200);
    const std::vector<std::int16_t> systemSamples(segmentFrames * 2, -800);
    zoq::StereoFrameMixer mixer;
    std::uint64_t micHead = origin;
    std::uint64_t systemHead = origin + 37'000;
    const auto pushTenMilliseconds = [&] {
        mixer.pushMic(micHead, micSamples);
        mixer.pushSystem(systemHead, systemSamples);
        micHead += segmentFrames * frame;
        systemHead += segmentFrames * frame;
    };
    for (int i = 0; i < 50; ++i) {
        pushTenMilliseconds();
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            pushTenMilliseconds();
        }
        const auto block = mixer.pullFrames(micHead - 500'000'000, 16'000, 20'000'000'000);
        bytes += block ? block->pcm.size() : 0;
    }
    benchmark::DoNotOptimize(bytes);
    state.counters["xRealTime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["segmentsHeld"] =
        static_cast<double>(mixer.micSegments().size() + mixer.systemSegments().size());
}
BENCHMARK(BM_MixerPullOneSecond);

} // namespace
