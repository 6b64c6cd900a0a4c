// engine-memory [MINUTES] — the capture engine's memory over one long call
// (default 185 minutes, so the part rolls over at 3 hours), simulated as
// fast as the machine allows: the real engine, recorder core, stream clocks,
// mixer and spool on a scripted sound server, a manual clock and manual
// ticks (250 ms of audio, in 50 ms deliveries, per tick). Prints the resident
// and peak resident set size every 10 simulated minutes, the parts written,
// and the longest tick (the one that finalised the 3-hour part, on the engine
// queue). The second half of bench/compare-engine-memory.

#include "ZoqCaptureEngine/CaptureEngine.h"
#include "ZoqCaptureEngine/ScriptedAudioBackend.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "bench/ScratchDirectory.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace {

constexpr const char* callApp = "org.example.Call";

/// VmRSS and VmHWM of this process, in MiB.
std::pair<double, double> residentMiB() {
    std::ifstream status("/proc/self/status");
    double rss = 0, peak = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            rss = std::stod(line.substr(6)) / 1024;
        } else if (line.starts_with("VmHWM:")) {
            peak = std::stod(line.substr(6)) / 1024;
        }
    }
    return {rss, peak};
}

/// Keeps only what the bench reports: how the run ended and the parts.
class CountingSink final : public zoq::EventSinking {
public:
    void emit(const zoq::EngineEvent& event) override {
        const std::lock_guard guard(lock_);
        ++events_;
        if (event.name == "finalized") {
            finalized_.push_back(event.fields.at("directory"));
        }
    }
    std::size_t events() {
        const std::lock_guard guard(lock_);
        return events_;
    }
    std::vector<std::string> finalized() {
        const std::lock_guard guard(lock_);
        return finalized_;
    }

private:
    std::mutex lock_;
    std::size_t events_ = 0;
    std::vector<std::string> finalized_;
};

} // namespace

int main(int argc, char** argv) {
    using namespace zoq;
    const double minutes = argc > 1 ? std::atof(argv[1]) : 185;
    const bench::ScratchDirectory scratch;
    ManualClock clock(1'000.0);
    CountingSink sink;
    EngineConfiguration config;
    config.spool = scratch.path() / "spool";
    config.allowed = {callApp};
    config.ffmpeg = FFmpegFLACEncoder::defaultExecutable;
    config.deviceId = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";

    // The engine owns the backend it connects to; the bench keeps scripting it.
    ScriptedAudioBackend* backend = nullptr;
    std::uint32_t micSource = 0;
    std::function<void()> tick;
    CaptureEngine::Platform platform;
    platform.connect = [&] {
        auto scripted = std::make_unique<ScriptedAudioBackend>();
        scripted->addSink("speakers", ScriptedAudioBackend::floatFormat(48'000, 2));
        micSource = scripted->addSource("mic", ScriptedAudioBackend::floatFormat(48'000, 1));
        scripted->setDefaults("mic", "speakers");
        scripted->setSignal("mic", ScriptedSignal::tone(440, 0.5f));
        scripted->setSignal("speakers.monitor", ScriptedSignal::tone(1'500, 0.5f));
        backend = scripted.get();
        return std::unique_ptr<AudioBackend>(std::move(scripted));
    };
    platform.microphoneStatus = [](AudioBackend&) { return std::int64_t{3}; };
    platform.repeatTick = [&](SerialQueue&, std::function<void()> fire) -> std::shared_ptr<void> {
        tick = std::move(fire);
        return std::make_shared<int>(0);
    };

    auto engine = std::make_unique<CaptureEngine>(config, sink, clock, platform);
    engine->start();
    engine->runOnQueue([] {});
    if (backend == nullptr || !tick) {
        std::fprintf(stderr, "engine-memory: the engine did not start\n");
        return 1;
    }
    const std::uint32_t call =
        backend->addRecordStream(backend->addClient(AudioClientIdentity{{}, {}, 4242, "call", callApp, "Call"}),
                                 micSource, false);

    std::printf("%9s %10s %10s\n", "minute", "RSS MiB", "peak MiB");
    const auto ticks = static_cast<std::int64_t>(minutes * 60 * 4);
    double longest = 0, longestAt = 0;
    double firstRSS = 0;
    const auto runTicks = [&](std::int64_t count, bool report) {
        for (std::int64_t i = 0; i < count; ++i) {
            for (int step = 0; step < 5; ++step) {
                clock.advance(0.05);
                const auto now = static_cast<std::uint64_t>(clock.now() * 1e9);
                backend->deliver("mic", 2'400, now);
                backend->deliver("speakers.monitor", 2'400, now);
            }
            const auto before = std::chrono::steady_clock::now();
            engine->runOnQueue(tick);
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
            if (took > longest) {
                longest = took;
                longestAt = clock.now() - 1'000;
            }
            if (report && (i + 1) % (4 * 60 * 10) == 0) {
                const auto [rss, peak] = residentMiB();
                if (firstRSS == 0) {
                    firstRSS = rss;
                }
                std::printf("%9.0f %10.1f %10.1f\n", static_cast<double>(i + 1) / 240, rss, peak);
                std::fflush(stdout);
            }
        }
    };
    const auto started = std::chrono::steady_clock::now();
    runTicks(ticks, true);
    backend->removeStream(call);
    runTicks(4 * 17, false);
    engine->stop();
    const EngineTermination end = engine->wait();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto [rss, peak] = residentMiB();

    std::printf("ended %s after %.0f s for %.0f simulated minutes; %zu events\n", end.description().c_str(),
                seconds, minutes, sink.events());
    for (const std::string& directory : sink.finalized()) {
        const ArtifactManifest manifest = Artifact::readManifest(directory, DurableIO());
        std::printf("part %lld: %s, %.1f min\n", static_cast<long long>(manifest.capture.partIndex),
                    std::string(rawValue(manifest.state)).c_str(),
                    static_cast<double>(manifest.durableFrames) / 16'000 / 60);
    }
    std::printf("longest tick %.2f s (at minute %.1f: the engine queue was busy that long)\n", longest,
                longestAt / 60);
    std::printf("RSS after 10 min %.1f MiB, at the end %.1f MiB, peak %.1f MiB: growth %.1f MiB (%.2fx)\n",
                firstRSS, rss, peak, peak - firstRSS, firstRSS > 0 ? peak / firstRSS : 0.0);
    engine.reset();
    return end == EngineTermination::stopped() ? 0 : 1;
}
