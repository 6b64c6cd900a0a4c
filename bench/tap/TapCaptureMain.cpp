// tap-capture SECONDS [--app ID] — runs a tap session on the sound server for
// SECONDS, taking its queues every 250 ms as the capture engine does, and
// prints the frames captured per stream ("mic FRAMES system FRAMES") and any
// failure. With --app the system stream is only the playback of the
// application that reports ID ("application.id"), followed every 250 ms as
// the engine follows the recorded application's: the server is read again
// only after it announced a change of playback streams or clients. The capture half of
// bench/compare-tap and bench/compare-system-audio.

#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCaptureEngine/TapSession.h"
#include "ZoqCore/Support/CoreClock.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--app") == 0)) {
        std::fprintf(stderr, "usage: tap-capture SECONDS [--app ID]\n");
        return 2;
    }
    const std::string app = argc == 4 ? argv[3] : "";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[1]));
    try {
        zoq::LibpulseBackend backend;
        zoq::TapSession session(backend, app.empty() ? zoq::SystemAudioSource::all
                                                     : zoq::SystemAudioSource::recordedApp);
        session.start();
        std::atomic<std::uint64_t> changes{1};
        std::uint64_t readUnder = 0;
        backend.setEventHandler([&changes](const zoq::AudioEvent& event) {
            if (event.facility == zoq::AudioEvent::Facility::sinkInput ||
                event.facility == zoq::AudioEvent::Facility::client) {
                ++changes;
            }
        });
        std::map<std::uint32_t, std::string> playback;
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
        const auto follow = [&] {
            if (const std::uint64_t now = changes.load(); now != readUnder) {
                readUnder = now;
                playback.clear();
            } else {
                session.followPlayback(playback);
                return;
            }
            const zoq::AudioGraph graph = backend.graph();
            for (const zoq::AudioStreamInfo& stream : graph.playbackStreams) {
                const zoq::AudioClientInfo* client = stream.client ? graph.client(*stream.client) : nullptr;
                const std::string id = !stream.identity.applicationId.empty() ? stream.identity.applicationId
                                       : client != nullptr                    ? client->identity.applicationId
                                                                              : "";
                for (const zoq::AudioSinkInfo& sink : graph.sinks) {
                    if (id == app && stream.device == sink.index) {
                        playback[stream.index] = sink.monitorSourceName;
                    }
                }
            }
            session.followPlayback(playback);
        };
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (!app.empty()) {
                follow();
            }
            take(session.pump(zoq::HostClock::nanos()));
        }
        backend.setEventHandler({});
        take(session.teardown());
        std::printf("mic %lld system %lld\n", static_cast<long long>(mic), static_cast<long long>(system));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tap-capture: %s\n", error.what());
        return 1;
    }
    return 0;
}
