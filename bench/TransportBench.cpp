// The production transport against a local sink server: throughput of a
// streamed file-range PUT (the uploader's whole-file and 16 MiB part
// uploads), the cost of one small JSON request on a reused connection, and
// the process's peak resident memory, which must not grow with the upload.
// bench/compare-upload puts the same PUT side by side with the curl tool.

#include "ZoqShell/Transport/CurlWireTransport.h"
#include "bench/upload/UploadSink.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

namespace {

using namespace zoq;

// A file of `size` bytes in a private temporary directory, removed at exit.
class ScratchFile {
public:
    explicit ScratchFile(std::int64_t size) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zoq-transport-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        directory_ = pattern;
        path_ = directory_ / "upload.bin";
        std::ofstream out(path_, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((i * 2654435761u) >> 13);
        }
        for (std::int64_t written = 0; written < size; written += static_cast<std::int64_t>(block.size())) {
            out.write(block.data(),
                      static_cast<std::streamsize>(std::min<std::int64_t>(size - written, block.size())));
        }
    }
    ~ScratchFile() { std::filesystem::remove_all(directory_); }

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path directory_;
    std::filesystem::path path_;
};

double peakResidentMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void StreamingPut(benchmark::State& state) {
    const std::int64_t size = state.range(0) << 20;
    const ScratchFile file(size);
    bench::UploadSink sink;
    CurlWireTransport transport;
    const TransportRequest request{
        "PUT", sink.url(), {{"content-type", "audio/flac"}}, FileRange(file.path(), 0, size)};
    for (auto _ : state) {
        const auto response = transport.execute(request);
        if (response.status != 200) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}
BENCHMARK(StreamingPut)->Arg(16)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

void SmallJSONPost(benchmark::State& state) {
    bench::UploadSink sink;
    CurlWireTransport transport;
    const TransportRequest request{"POST",
                                   sink.url("/api/v1/uploads"),
                                   {{"content-type", "application/json"}, {"authorization", "Bearer token"}},
                                   Bytes(bytesOf(std::string(300, 'j')))};
    for (auto _ : state) {
        benchmark::DoNotOptimize(transport.execute(request));
    }
}
BENCHMARK(SmallJSONPost)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
