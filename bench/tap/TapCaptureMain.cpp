// tap-capture SECONDS — runs a tap session on the sound server for SECONDS,
// taking its queues every 250 ms as the capture engine does, and prints the
// frames captured per stream ("mic FRAMES system FRAMES") and any failure.
// The capture half of bench/compare-tap.

#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCaptureEngine/TapSession.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tap-capture SECONDS\n");
        return 2;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[1]));
    try {
        zoq::LibpulseBackend backend;
        zoq::TapSession session(backend);
        session.start();
        std::int64_t mic = 0, system = 0;
        const auto take = [&](const zoq::TapSession::Drained& drained) {
            for (const zoq::RawChunk& chunk : drained.mic) {
                mic += chunk.frames;
            }
            for (const zoq::RawChunk& chunk : drained.system) {
                system += chunk.frames;
            }
            for (const std::string& failure : drained.failures) {
                std::fprintf(stderr, "failure: %s\n", failure.c_str());
            }
        };
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            take(session.pump());
        }
        take(session.teardown());
        std::printf("mic %lld system %lld\n", static_cast<long long>(mic), static_cast<long long>(system));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tap-capture: %s\n", error.what());
        return 1;
    }
    return 0;
}
