// Durable file I/O: the cost of replacing a small file durably (every manifest
// commit pays it; dominated by the two fsyncs) and the throughput of hashing a
// file in 64 KiB chunks (every flush and every verification pays it).
#include "bench/ScratchDirectory.h"
#include "ZoqCore/Spool/DurableIO.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

using zoq::bench::ScratchDirectory;

void BM_AtomicReplace4KiB(benchmark::State& state) {
    const ScratchDirectory dir;
    const zoq::DurableIO io;
    const zoq::Bytes data(4'096, 0x42);
    const auto target = dir.path() / "manifest.json";
    for (auto _ : state) {
        io.atomic(data, target);
    }
}
BENCHMARK(BM_AtomicReplace4KiB)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_HashFile(benchmark::State& state) {
    const ScratchDirectory dir;
    const zoq::DurableIO io;
    const auto size = state.range(0);
    zoq::Bytes data(static_cast<std::size_t>(size));
    std::uint32_t seed = 1;
    for (auto& byte : data) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    const auto file = dir.path() / "audio.wav";
    io.write(file, data, 0, true, false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(io.hash(file, 0));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
// 64 MiB, read from the page cache: the cost of our loop plus SHA-256.
BENCHMARK(BM_HashFile)->Arg(64 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
