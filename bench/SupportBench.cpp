// SHA-256 throughput: every durable byte of a recording is hashed at least
// twice (flush, verification), so this bounds how fast a part can finalise.
#include "ZoqCore/Support/SHA256.h"

#include <benchmark/benchmark.h>

namespace {

void BM_SHA256Stream64KiB(benchmark::State& state) {
    const zoq::Bytes chunk(65'536, 0x5a);
    zoq::SHA256 hasher;
    for (auto _ : state) {
        hasher.update(chunk);
    }
    benchmark::DoNotOptimize(hasher.digest());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65'536);
}
BENCHMARK(BM_SHA256Stream64KiB);

} // namespace
