// CaptureMachine::samples on the capture engine's 250 ms chunks while a part is
// being recorded: every mixed chunk passes through it, so it must cost a tiny
// fraction of the audio's own duration. xRealTime is seconds of audio handled
// per second of CPU; the target is at least 1000.
#include "ZoqCore/Capture/CaptureMachine.h"

#include <benchmark/benchmark.h>
#include <vector>

namespace {

using namespace zoq;

constexpr std::int64_t chunkFrames = 4'000;

void recordingMachine(CaptureMachine& machine, ManualClock& clock) {
    const std::vector<ProcessActivity> zoom{{100, "us.zoom.xos", true}};
    machine.processes(zoom);
    clock.advance(CaptureMachine::debounceInterval);
    machine.tick();
}

void reportRate(benchmark::State& state, std::int64_t framesPerIteration) {
    const double frames = static_cast<double>(state.iterations()) * static_cast<double>(framesPerIteration);
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["xRealTime"] =
        benchmark::Counter(frames / CaptureMachine::sampleRate, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(frames) * pcm::bytesPerFrame);
}

// The steady state: one append per chunk.
void BM_CaptureSamplesRecording250ms(benchmark::State& state) {
    ManualClock clock;
    CaptureMachine machine(clock, CaptureAllowlist{{"us.zoom.xos"}, 42, "org.zoq.Zoq"}, false,
                           [] { return std::string("00000000-0000-4000-8000-000000000000"); });
    recordingMachine(machine, clock);
    const Bytes chunk(chunkFrames * pcm::bytesPerFrame, 0x11);
    std::int64_t position = 0;
    for (auto _ : state) {
        auto actions = machine.samples(chunk, position);
        benchmark::DoNotOptimize(actions.data());
        position += chunkFrames;
        if (machine.partFrames() > CaptureMachine::rolloverFrames - 8 * chunkFrames) {
            // Keep measuring the steady state, not the rare rollover.
            state.PauseTiming();
            machine.interrupt();
            machine.finalised();
            recordingMachine(machine, clock);
            state.ResumeTiming();
        }
    }
    reportRate(state, chunkFrames);
}
BENCHMARK(BM_CaptureSamplesRecording250ms);

// While debouncing every chunk goes into the fixed pre-buffer ring.
void BM_CaptureSamplesDebouncing250ms(benchmark::State& state) {
    ManualClock clock;
    CaptureMachine machine(clock, CaptureAllowlist{{"us.zoom.xos"}, 42, "org.zoq.Zoq"}, false);
    const std::vector<ProcessActivity> zoom{{100, "us.zoom.xos", true}};
    machine.processes(zoom);
    const Bytes chunk(chunkFrames * pcm::bytesPerFrame, 0x22);
    std::int64_t position = 0;
    for (auto _ : state) {
        auto actions = machine.samples(chunk, position);
        benchmark::DoNotOptimize(actions.data());
        position += chunkFrames;
    }
    reportRate(state, chunkFrames);
}
BENCHMARK(BM_CaptureSamplesDebouncing250ms);

} // namespace
