// The capture engine on a scripted sound server: the real tap session,
// scanner, stream clocks, mixer and recorder core (with real ffmpeg), on a
// manual clock, with the ticks and the audio given by the test.

#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/CaptureEngine.h"
#include "ZoqCaptureEngine/ScriptedAudioBackend.h"
#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "tests/TestSupport/TempDirectory.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <thread>

namespace zoq {
namespace {

constexpr const char* callApp = "org.example.Call";
constexpr std::uint64_t stepNanos = 20'000'000;

/// The engine owns its backend; the test keeps scripting the same one.
class ForwardingBackend final : public AudioBackend {
public:
    explicit ForwardingBackend(AudioBackend& target) : target_(target) {}
    std::uint32_t ownClientIndex() const override { return target_.ownClientIndex(); }
    AudioGraph graph() override { return target_.graph(); }
    void setEventHandler(EventHandler handler) override { target_.setEventHandler(std::move(handler)); }
    std::unique_ptr<RecordStream> openRecordStream(const RecordStreamRequest& request,
                                                   RecordStreamHandler& handler) override {
        return target_.openRecordStream(request, handler);
    }
    void barrier() override { target_.barrier(); }
    std::unique_ptr<SoundPlayback> playSound(std::vector<std::int16_t> samples, std::uint32_t rate,
                                             std::function<void(bool played)> finished) override {
        return target_.playSound(std::move(samples), rate, std::move(finished));
    }

private:
    AudioBackend& target_;
};

class RecordingSink final : public EventSinking {
public:
    void emit(const EngineEvent& event) override {
        const std::lock_guard guard(lock_);
        events_.push_back(event);
    }
    std::vector<EngineEvent> events() const {
        const std::lock_guard guard(lock_);
        return events_;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const EngineEvent& event : events()) {
            out.push_back(event.name);
        }
        return out;
    }
    std::vector<EngineEvent> named(const std::string& name) const {
        std::vector<EngineEvent> out;
        for (const EngineEvent& event : events()) {
            if (event.name == name) {
                out.push_back(event);
            }
        }
        return out;
    }

private:
    mutable std::mutex lock_;
    std::vector<EngineEvent> events_;
};

/// "speakers" (48 kHz stereo, default sink) and "mic" (44.1 kHz mono, default
/// source) playing two different tones; a call application that can take and
/// let go of the microphone.
class CaptureEngineTest : public ::testing::Test {
protected:
    CaptureEngineTest() {
        backend.addSink("speakers", ScriptedAudioBackend::floatFormat(48'000, 2));
        backend.addSink("headset", ScriptedAudioBackend::floatFormat(48'000, 2));
        micSource = backend.addSource("mic", ScriptedAudioBackend::floatFormat(44'100, 1));
        backend.setDefaults("mic", "speakers");
        backend.setSignal("mic", ScriptedSignal::tone(440, 0.5f));
        backend.setSignal("speakers.monitor", ScriptedSignal::tone(1'500, 0.5f));
        backend.setSignal("headset.monitor", ScriptedSignal::tone(1'500, 0.5f));
    }

    ~CaptureEngineTest() override { engine.reset(); }

    void start(std::int64_t microphoneStatus = 3, std::optional<double> maxSeconds = std::nullopt,
               double chime = 0) {
        config.spool = temp / "spool";
        config.allowed = {callApp};
        config.ffmpeg = ffmpeg;
        config.deviceId = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
        config.maxSeconds = maxSeconds;
        config.alertFrequency = chime;
        config.alertDuration = 0.12;
        CaptureEngine::Platform platform;
        platform.connect = [this] { return std::make_unique<ForwardingBackend>(backend); };
        platform.microphoneStatus = [microphoneStatus](AudioBackend&) { return microphoneStatus; };
        platform.repeatTick = [this](SerialQueue&, std::function<void()> fire) -> std::shared_ptr<void> {
            tick = std::move(fire);
            return std::make_shared<int>(0);
        };
        platform.observeSleep = [this](std::function<void()> willSleep, std::function<void()> didWake) {
            sleep = std::move(willSleep);
            wake = std::move(didWake);
            return std::make_shared<int>(0);
        };
        engine = std::make_unique<CaptureEngine>(config, sink, clock, platform);
        engine->start();
        engine->runOnQueue([] {});
    }

    /// `seconds` of audio in 20 ms steps (unless `silent`), a tick every 250 ms.
    void run(double seconds, bool silent = false) {
        const auto steps = static_cast<int>(std::lround(seconds * 1e9 / stepNanos));
        for (int i = 0; i < steps; ++i) {
            clock.advance(static_cast<double>(stepNanos) / 1e9);
            const auto now = static_cast<std::uint64_t>(std::llround(clock.now() * 1e9));
            if (!silent) {
                backend.deliver(microphone, 882, now + micDelayNanos);
                backend.deliver(monitor, 960, now);
            }
            if (++sinceTick == 250'000'000 / stepNanos) {
                sinceTick = 0;
                if (tick) {
                    engine->runOnQueue(tick);
                }
            }
        }
    }

    /// The call takes or lets go of the microphone, and the engine sees it
    /// before the manual clock moves on: on a loaded machine its queue could
    /// otherwise act a few steps late and the part would be short by them.
    void callTakesMicrophone() {
        call = backend.addRecordStream(
            backend.addClient(AudioClientIdentity{{}, {}, 4242, "call", callApp, "Call"}), micSource, false);
        settle();
    }
    void callLetsGo() {
        backend.removeStream(*call);
        settle();
    }
    /// Lets the engine act on what the server announced so far.
    void settle() {
        backend.barrier();
        engine->runOnQueue([] {});
    }

    std::vector<std::filesystem::path> parts() const {
        std::vector<std::filesystem::path> out;
        for (const auto& entry : std::filesystem::directory_iterator(config.spool)) {
            if (entry.is_directory()) {
                out.push_back(entry.path());
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    /// Every part's manifest, in the order the parts began, once no part is
    /// still being published (that runs beside the engine's queue).
    std::vector<ArtifactManifest> partsInOrder() const {
        std::vector<ArtifactManifest> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        do {
            if (!out.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            out.clear();
            for (const auto& directory : parts()) {
                out.push_back(Artifact::readManifest(directory, DurableIO()));
            }
        } while (std::chrono::steady_clock::now() < deadline &&
                 std::any_of(out.begin(), out.end(), [](const ArtifactManifest& manifest) {
                     return manifest.state == ArtifactState::finalisingFLAC;
                 }));
        std::sort(out.begin(), out.end(),
                  [](const auto& a, const auto& b) { return a.capture.startedAt < b.capture.startedAt; });
        return out;
    }

    test::TempDirectory temp;
    ScriptedAudioBackend backend;
    std::uint32_t micSource = 0;
    std::string monitor = "speakers.monitor";
    std::string microphone = "mic";
    std::optional<std::uint32_t> call;
    ManualClock clock{1'000.0};
    RecordingSink sink;
    EngineConfiguration config;
    std::filesystem::path ffmpeg = FFmpegFLACEncoder::defaultExecutable;
    std::function<void()> tick;
    std::function<void()> sleep;
    std::function<void()> wake;
    int sinceTick = 0;
    /// How much later than the system audio the microphone's audio arrives.
    std::uint64_t micDelayNanos = 0;
    std::unique_ptr<CaptureEngine> engine;
};

/// The power of `frequency` in one channel of interleaved 16-bit stereo,
/// relative to the channel's total power (Goertzel).
double toneShare(const Bytes& pcm, int channel, double frequency) {
    const std::size_t frames = pcm.size() / 4;
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / 16'000);
    double s1 = 0, s2 = 0, total = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const auto sample =
            static_cast<std::int16_t>(pcm[i * 4 + 2 * channel] | pcm[i * 4 + 2 * channel + 1] << 8);
        const double x = sample / 32768.0;
        total += x * x;
        const double s = x + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return total > 0 ? 2 * power / (static_cast<double>(frames) * total) : 0;
}

TEST_F(CaptureEngineTest, AnAllowedCallIsRecordedMicLeftSystemRightAndTheEngineRearms) {
    start();
    run(2);
    callTakesMicrophone();
    run(30);
    callLetsGo();
    run(17);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());

    const std::vector<std::string> names = sink.names();
    for (const char* expected :
         {"engine_started", "permission_granted", "tap_started", "pcm_observed", "mic_opened", "debouncing",
          "recording_started", "idle_grace", "finalized", "armed", "metrics", "engine_stopped"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
    ASSERT_EQ(sink.named("mic_opened").size(), 1u);
    // The application's pid, not zoq's own.
    EXPECT_EQ(sink.named("mic_opened")[0].fields.at("pid"), "4242");
    EXPECT_EQ(sink.named("engine_started")[0].fields.at("state"), "ARMED");
    EXPECT_EQ(sink.named("recording_started").front().fields.at("app"), callApp);
    // The streams open when the call takes the microphone, and close once
    // the part is over: the run waits for the next call with none open.
    const auto starts = sink.named("tap_started");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].fields.at("reason"), "microphone_taken");
    const auto standbys = sink.named("standby");
    ASSERT_EQ(standbys.size(), 2u);
    EXPECT_EQ(standbys[0].fields.at("reason"), "initial");
    EXPECT_EQ(standbys[1].fields.at("reason"), "idle_finalized");
    EXPECT_TRUE(backend.graph().recordStreams.size() == 0u);

    ASSERT_EQ(parts().size(), 1u);
    const ArtifactManifest manifest = Artifact::readManifest(parts()[0], DurableIO());
    EXPECT_EQ(manifest.state, ArtifactState::ready);
    EXPECT_FALSE(manifest.interrupted);
    // The call held the microphone 30 s, then 15 s of grace. The pre-buffer
    // reaches back 3 s from the end of debouncing in delivered audio, which
    // runs half a second behind: the part starts up to that much early, and
    // further where a loaded machine runs the ticks that end the debounce
    // and the grace late (the upper bound only catches nonsense).
    const double seconds = static_cast<double>(manifest.durableFrames) / 16'000;
    EXPECT_GE(seconds, 45);
    EXPECT_LE(seconds, 50);

    // Left is the microphone's tone, right the system mix's, never crossed.
    const std::filesystem::path decoded = temp / "decoded.pcm";
    const std::string command = std::string(FFmpegFLACEncoder::defaultExecutable) + " -loglevel error -i '" +
                                (parts()[0] / Artifact::flacName).string() + "' -f s16le '" +
                                decoded.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const Bytes pcm = DurableIO().read(decoded, 0);
    EXPECT_EQ(static_cast<std::int64_t>(pcm.size()), manifest.durableFrames * 4);
    EXPECT_GT(toneShare(pcm, 0, 440), 0.9);
    EXPECT_LT(toneShare(pcm, 0, 1'500), 0.05);
    EXPECT_GT(toneShare(pcm, 1, 1'500), 0.9);
    EXPECT_LT(toneShare(pcm, 1, 440), 0.05);
}

// The debounce can end before any audio reached the core (a server slow to
// deliver the first chunk): the recording is announced once its part holds
// audio, with what places it on the host clock.
TEST_F(CaptureEngineTest, ARecordingIsAnnouncedOnceItsPartHoldsAudio) {
    start();
    callTakesMicrophone();
    run(3.5, true);
    EXPECT_TRUE(sink.named("recording_started").empty());
    run(1);
    const auto started = sink.named("recording_started");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].fields.at("app"), callApp);
    EXPECT_EQ(started[0].fields.count("first_frame"), 1u);
    EXPECT_EQ(started[0].fields.count("origin_nanos"), 1u);
}

/// One second of 48 kHz 16-bit stereo: `left` and `right` scale a 1500 Hz
/// tone (a whole number of periods, so it loops without a seam).
void writeStereoTone(const std::filesystem::path& path, double left, double right) {
    constexpr std::uint32_t rate = 48'000;
    std::string data;
    for (std::uint32_t i = 0; i < rate; ++i) {
        const double value = std::sin(2 * M_PI * 1'500 * i / rate) * 16'000;
        for (const double side : {left, right}) {
            const auto sample =
                static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(value * side)));
            data += static_cast<char>(sample & 0xff);
            data += static_cast<char>(sample >> 8);
        }
    }
    const auto u32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8 & 0xff),
                           static_cast<char>(v >> 16 & 0xff), static_cast<char>(v >> 24)};
    };
    const auto u16 = [](std::uint16_t v) {
        return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
    };
    std::ofstream(path, std::ios::binary)
        << "RIFF" << u32(static_cast<std::uint32_t>(36 + data.size())) << "WAVEfmt " << u32(16) << u16(1)
        << u16(2) << u32(rate) << u32(rate * 4) << u16(4) << u16(16) << "data"
        << u32(static_cast<std::uint32_t>(data.size())) << data;
}

/// The root mean square of one channel of interleaved 16-bit stereo.
double levelOf(const Bytes& pcm, int channel) {
    double total = 0;
    const std::size_t frames = pcm.size() / 4;
    for (std::size_t i = 0; i < frames; ++i) {
        const auto sample =
            static_cast<std::int16_t>(pcm[i * 4 + 2 * channel] | pcm[i * 4 + 2 * channel + 1] << 8);
        total += static_cast<double>(sample) * sample;
    }
    return frames == 0 ? 0 : std::sqrt(total / static_cast<double>(frames));
}

// Whatever side of the speakers a sound plays on, it is in the system
// channel: at half its level when on one side only, at its own on both.
TEST_F(CaptureEngineTest, SoundOnEitherSpeakerAloneIsRecorded) {
    struct Case {
        const char* what;
        double left, right;
    };
    const double toneLevel = 16'000 / std::sqrt(2.0);
    for (const Case& test : {Case{"right only", 0, 1}, Case{"left only", 1, 0}, Case{"both", 1, 1}}) {
        SCOPED_TRACE(test.what);
        engine.reset();
        std::filesystem::remove_all(temp / "spool");
        writeStereoTone(temp / "speakers.wav", test.left, test.right);
        backend.setSignal("speakers.monitor", ScriptedSignal::wav(temp / "speakers.wav"));
        start();
        callTakesMicrophone();
        run(25);
        callLetsGo();
        run(17);
        engine->stop();
        ASSERT_EQ(engine->wait(), EngineTermination::stopped());
        ASSERT_EQ(parts().size(), 1u);
        const std::filesystem::path decoded = temp / "decoded.pcm";
        std::filesystem::remove(decoded);
        const std::string command = std::string(FFmpegFLACEncoder::defaultExecutable) +
                                    " -loglevel error -i '" + (parts()[0] / Artifact::flacName).string() +
                                    "' -f s16le '" + decoded.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const Bytes pcm = DurableIO().read(decoded, 0);
        EXPECT_GT(toneShare(pcm, 1, 1'500), 0.9);
        EXPECT_LT(toneShare(pcm, 1, 440), 0.05);
        // The part's edges hold a little silence; the level is near the
        // mean of both sides everywhere else.
        const double expected = toneLevel * (test.left + test.right) / 2;
        EXPECT_NEAR(levelOf(pcm, 1), expected, expected * 0.1);
    }
}

TEST_F(CaptureEngineTest, AnApplicationNotAllowedIsAnnouncedOnceAndNeverRecorded) {
    start();
    backend.addRecordStream(
        backend.addClient(AudioClientIdentity{{}, {}, 4343, "other", "org.example.Other", ""}), micSource,
        false);
    run(10);
    const auto ignored = sink.named("mic_ignored");
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].fields.at("bundleID"), "org.example.Other");
    EXPECT_EQ(ignored[0].fields.at("reason"), "not_allowlisted");
    EXPECT_EQ(ignored[0].fields.at("pid"), "4343");
    EXPECT_TRUE(sink.named("debouncing").empty());
    EXPECT_TRUE(parts().empty());
}

TEST_F(CaptureEngineTest, AnUndecidedMicrophoneEndsTheRunBeforeAnyHardwareStarts) {
    start(0);
    EXPECT_EQ(engine->wait(), EngineTermination::permissionNotGranted("microphone", "not_determined"));
    const auto required = sink.named("permission_required");
    ASSERT_EQ(required.size(), 1u);
    EXPECT_EQ(required[0].fields.at("detail"), "human_grant_required");
    EXPECT_TRUE(sink.named("tap_started").empty());
    EXPECT_EQ(backend.openStreamCount(), 0u);
}

TEST_F(CaptureEngineTest, MaxSecondsStopsAndStopTwiceStopsOnce) {
    start(3, 2.0);
    run(1);
    EXPECT_TRUE(sink.named("engine_stopped").empty());
    run(1.25);
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    engine->stop();
    engine->stop();
    engine->runOnQueue([] {});
    ASSERT_EQ(sink.named("engine_stopped").size(), 1u);
    EXPECT_EQ(sink.named("engine_stopped")[0].fields.at("reason"), "stopped");
    EXPECT_EQ(backend.openStreamCount(), 0u);
}

// The daemon's and the tray's spool path goes through the engine: a folder
// that is no spool ends the boot before recovery could touch its subfolders.
TEST_F(CaptureEngineTest, AFolderThatIsNoSpoolEndsTheBootAndIsLeftAsItWas) {
    std::filesystem::create_directories(temp / "spool" / "Documents");
    std::ofstream(temp / "spool" / "Documents" / "letter.txt") << "hello";
    std::filesystem::permissions(temp / "spool", std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_read |
                                                     std::filesystem::perms::group_exec);
    start();
    // The boot has run: a run that did not end there would hang the wait.
    ASSERT_EQ(sink.named("engine_stopped").size(), 1u);
    const EngineTermination termination = engine->wait();
    EXPECT_EQ(termination.kind, EngineTermination::Kind::failure);
    EXPECT_NE(termination.detail.find("core_init_failed"), std::string::npos) << termination.detail;
    EXPECT_NE(termination.detail.find("not a zoq spool"), std::string::npos) << termination.detail;
    EXPECT_TRUE(sink.named("tap_started").empty());
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp / "spool")) {
        left.push_back(std::filesystem::relative(entry.path(), temp / "spool").string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"Documents", "Documents/letter.txt"}));
    EXPECT_EQ(std::filesystem::status(temp / "spool").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::group_exec);
}

// A spool left paused starts no hardware, and so none of its ticks: the run
// still says it is paused and still ends when --max-seconds says so.
TEST_F(CaptureEngineTest, MaxSecondsStopsARunThatBootsPaused) {
    std::filesystem::create_directory(temp / "spool");
    std::ofstream(temp / "spool" / RecorderCore::preferencesFileName) << R"({"paused":true})";
    start(3, 2.0);
    ASSERT_EQ(sink.named("engine_started").size(), 1u);
    EXPECT_EQ(sink.named("engine_started")[0].fields.at("state"), "PAUSED");
    EXPECT_TRUE(sink.named("tap_started").empty());
    ASSERT_TRUE(tick) << "no ticks while paused";
    run(1, true);
    EXPECT_TRUE(sink.named("engine_stopped").empty());
    run(1.25, true);
    // Told before waiting: a run that never stops would hang the wait.
    ASSERT_EQ(sink.named("engine_stopped").size(), 1u);
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    EXPECT_EQ(backend.openStreamCount(), 0u);
}

// A short loss the server reported stays in the call as that much silence;
// a long one ends the part, and the piece before it is kept however short:
// the minimum length is for calls.
TEST_F(CaptureEngineTest, AShortLossIsFilledInThePartAndALongOneEndsItKeepingTheShortPiece) {
    start();
    callTakesMicrophone();
    run(8);
    backend.lose("mic", 4'410); // 100 ms the server dropped
    run(4);
    backend.lose("mic", 3 * 44'100);
    run(10);
    callLetsGo();
    run(17);
    const std::vector<EngineEvent> gaps = sink.named("audio_gap");
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].fields.at("stream"), "mic");
    EXPECT_EQ(gaps[0].fields.at("frames"), "4410");
    EXPECT_EQ(gaps[0].fields.at("seconds"), "0.100000");
    ASSERT_EQ(sink.named("discontinuity").size(), 1u);
    EXPECT_EQ(sink.named("discontinuity")[0].fields.at("stream"), "mic");
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 2u);
    // The piece before the break, shorter than the minimum, is kept, with
    // everything up to the break.
    EXPECT_TRUE(manifests[0].interrupted);
    EXPECT_EQ(manifests[0].state, ArtifactState::ready);
    EXPECT_LT(manifests[0].durableFrames, pcm::minimumPartFrames);
    EXPECT_GT(manifests[0].durableFrames, 12 * pcm::sampleRate);
    EXPECT_FALSE(manifests[1].interrupted);
    EXPECT_EQ(manifests[1].state, ArtifactState::ready);
}

// A break mid-call cuts the call, it does not end it: the call goes on at
// once in the next part of its session (no new debounce, no audio dropped
// while it would run), and that piece is kept however short. The call here
// ends 2 s after the break; its last piece, with the grace, stays under the
// minimum length of a call.
TEST_F(CaptureEngineTest, ThePieceAfterABreakIsTheNextPartOfTheCallKeptHoweverShort) {
    start();
    callTakesMicrophone();
    run(10);
    backend.lose("mic", 3 * 44'100);
    run(2);
    callLetsGo();
    run(17);
    ASSERT_EQ(sink.named("discontinuity").size(), 1u);
    const std::vector<EngineEvent> started = sink.named("recording_started");
    ASSERT_EQ(started.size(), 2u) << "the call's next part is announced";
    EXPECT_EQ(started[1].fields.count("origin_nanos"), 1u) << "once it holds audio";
    EXPECT_EQ(started[1].fields.count("first_frame"), 1u);
    EXPECT_EQ(sink.named("debouncing").size(), 1u) << "and not debounced again";
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 2u);
    EXPECT_TRUE(manifests[0].interrupted);
    EXPECT_EQ(manifests[1].state, ArtifactState::ready);
    EXPECT_FALSE(manifests[1].interrupted);
    EXPECT_EQ(manifests[1].capture.captureSessionId, manifests[0].capture.captureSessionId);
    EXPECT_EQ(manifests[1].capture.partIndex, 1);
    EXPECT_EQ(manifests[1].capture.app, callApp);
    EXPECT_LT(manifests[1].durableFrames, pcm::minimumPartFrames);
    // The piece holds the call's two seconds after the break and the grace.
    EXPECT_GE(manifests[1].durableFrames, (2 + 15 - 1) * pcm::sampleRate);
    // The next call is a call of its own again: a new session, debounced.
    callTakesMicrophone();
    run(25);
    callLetsGo();
    run(17);
    const std::vector<ArtifactManifest> after = partsInOrder();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_NE(after[2].capture.captureSessionId, after[0].capture.captureSessionId);
    EXPECT_EQ(after[2].capture.partIndex, 0);
}

// A server that stalls stops both streams; with nothing playing, the engine
// closes the system stream and hands out frames behind the microphone alone.
// When the server catches up, the system audio it held back reaches back
// before the frames already handed out (here by the 20 ms the microphone had
// got further): those few frames are lost on the right, but the call goes on
// in the same part, instead of the mixer refusing the audio and ending the run.
TEST_F(CaptureEngineTest, SystemAudioCatchingUpAfterAStallKeepsThePartGoing) {
    start();
    callTakesMicrophone();
    run(25);
    clock.advance(static_cast<double>(stepNanos) / 1e9);
    backend.deliver("mic", 882, static_cast<std::uint64_t>(std::llround(clock.now() * 1e9)));
    run(2, true);
    const auto now = static_cast<std::uint64_t>(std::llround(clock.now() * 1e9));
    backend.deliver("mic", 2 * 44'100, now);
    backend.deliver(monitor, 2 * 48'000 + 960, now);
    run(10);
    callLetsGo();
    run(17);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    EXPECT_TRUE(sink.named("discontinuity").empty());
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_EQ(manifests[0].state, ArtifactState::ready);
    EXPECT_FALSE(manifests[0].interrupted);
    EXPECT_GE(static_cast<double>(manifests[0].durableFrames) / 16'000, 25 + 2 + 10 + 15);
}

// The two streams' frames never lie on one grid (here the microphone's lie
// 10 us after the system audio's). When a stalled server holds the
// microphone back, it is the microphone's end that limits what goes out:
// only whole frames before it may go, or its next audio, continuing where it
// ended, would reach back into a frame already handed out and end the run.
TEST_F(CaptureEngineTest, AMicrophoneThatFallsBehindGetsOnlyWholeFramesHandedOut) {
    micDelayNanos = 10'000;
    start();
    callTakesMicrophone();
    run(25);
    clock.advance(static_cast<double>(stepNanos) / 1e9);
    backend.deliver(monitor, 960, static_cast<std::uint64_t>(std::llround(clock.now() * 1e9)));
    run(1, true);
    const auto now = static_cast<std::uint64_t>(std::llround(clock.now() * 1e9));
    backend.deliver("mic", 44'100 + 882, now + micDelayNanos);
    backend.deliver(monitor, 48'000, now);
    run(10);
    callLetsGo();
    run(17);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_FALSE(manifests[0].interrupted);
}

TEST_F(CaptureEngineTest, AStreamThatNeverDeliversOrStallsEndsTheRunAfterNineteenSeconds) {
    start();
    callTakesMicrophone();
    run(18.5, true);
    EXPECT_TRUE(sink.named("capture_health_failed").empty());
    run(1, true);
    EXPECT_EQ(engine->wait(), EngineTermination::failure("microphone_no_first_pcm"));
    ASSERT_EQ(sink.named("capture_health_failed").size(), 1u);
    EXPECT_EQ(sink.named("capture_health_failed")[0].fields.at("last_pcm"), "none");
}

TEST_F(CaptureEngineTest, AStalledMicrophoneIsPcmStalled) {
    start();
    callTakesMicrophone();
    run(3);
    run(20, true);
    const EngineTermination end = engine->wait();
    EXPECT_EQ(end.description(), EngineTermination::failure("microphone_pcm_stalled").description());
    // The call is handed on to the owner's next run.
    ASSERT_TRUE(end.call);
    EXPECT_EQ(end.call->partIndex, 1);
    EXPECT_EQ(end.call->app, callApp);
}

// Announced or not (a server may fold the announcement away), a new default
// sink ends the part and recording goes on on the new device.
TEST_F(CaptureEngineTest, ANewDefaultSinkEndsThePartAndRecordingContinuesOnTheNewDevice) {
    start();
    callTakesMicrophone();
    run(25);
    backend.setDefaults("mic", "headset");
    monitor = "headset.monitor";
    engine->runOnQueue([] {});
    run(25);
    backend.setDefaults("mic", "speakers", false);
    monitor = "speakers.monitor";
    run(25);
    callLetsGo();
    run(17);
    EXPECT_EQ(sink.named("hardware_changed").size(), 2u);
    const auto starts = sink.named("tap_started");
    ASSERT_GE(starts.size(), 3u);
    EXPECT_EQ(starts[1].fields.at("reason"), "device_changed");
    EXPECT_EQ(starts[2].fields.at("reason"), "device_changed");
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 3u);
    EXPECT_TRUE(manifests[0].interrupted);
    EXPECT_TRUE(manifests[1].interrupted);
    EXPECT_EQ(manifests[2].state, ArtifactState::ready);
    // One call in three parts of one session, debounced once.
    for (std::size_t index = 0; index < manifests.size(); ++index) {
        EXPECT_EQ(manifests[index].capture.captureSessionId, manifests[0].capture.captureSessionId);
        EXPECT_EQ(manifests[index].capture.partIndex, static_cast<std::int64_t>(index));
    }
    EXPECT_EQ(sink.named("debouncing").size(), 1u);
    EXPECT_EQ(sink.named("recording_started").size(), 3u);
}

// A headset unplugged mid-call: the server ends the streams with their
// devices. The part ends with its audio and recording goes on, on the
// devices the server falls back to; nothing fails.
TEST_F(CaptureEngineTest, AnUnpluggedHeadsetEndsThePartAndRecordingGoesOnOnTheFallback) {
    const std::uint32_t builtIn = micSource;
    micSource = backend.addSource("headset_mic", ScriptedAudioBackend::floatFormat(44'100, 1));
    backend.setSignal("headset_mic", ScriptedSignal::tone(440, 0.5f));
    backend.setDefaults("headset_mic", "headset");
    monitor = "headset.monitor";
    microphone = "headset_mic";
    start();
    callTakesMicrophone();
    run(25);
    backend.removeDevice("headset_mic");
    backend.removeDevice("headset");
    settle();
    run(1, true);
    // The server falls back to the built-in devices and moves the call there.
    backend.setDefaults("mic", "speakers");
    monitor = "speakers.monitor";
    microphone = "mic";
    micSource = builtIn;
    callTakesMicrophone();
    run(25);
    callLetsGo();
    run(17);
    EXPECT_TRUE(sink.named("error_visible").empty());
    const auto starts = sink.named("tap_started");
    ASSERT_GE(starts.size(), 2u);
    EXPECT_EQ(starts.back().fields.at("reason"), "device_changed");
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 2u);
    EXPECT_TRUE(manifests[0].interrupted);
    EXPECT_GE(manifests[0].durableFrames, 20 * 16'000);
    EXPECT_EQ(manifests[1].state, ArtifactState::ready);
    EXPECT_EQ(manifests[1].capture.captureSessionId, manifests[0].capture.captureSessionId);
    EXPECT_EQ(manifests[1].capture.partIndex, 1);
}

// Encoding a finished part takes long (half a minute for three hours): the
// call goes on meanwhile. The encoder here waits for the test, which records
// on while it waits; an engine that encoded on its own queue would wait with
// it until the encoder gives up and the run fails.
TEST_F(CaptureEngineTest, RecordingGoesOnWhileAFinishedPartIsEncoded) {
    const std::filesystem::path gate = temp / "gate";
    ffmpeg = temp / "ffmpeg";
    {
        std::ofstream script(ffmpeg);
        script << "#!/bin/sh\n"
               << "i=0; while [ ! -e '" << gate.string() << "' ]; do\n"
               << "  i=$((i + 1)); [ $i -gt 300 ] && exit 1; sleep 0.1\n"
               << "done\n"
               << "exec " << FFmpegFLACEncoder::defaultExecutable << " \"$@\"\n";
    }
    std::filesystem::permissions(ffmpeg, std::filesystem::perms::owner_all);
    start();
    callTakesMicrophone();
    run(25);
    backend.lose("mic", 3 * 44'100); // longer than a gap is filled: the part ends
    run(40);
    EXPECT_TRUE(sink.named("error_visible").empty());
    EXPECT_TRUE(sink.named("finalized").empty()) << "published before the encoder could run";
    std::ofstream{gate};
    callLetsGo();
    run(17);
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 2u);
    EXPECT_TRUE(manifests[0].interrupted);
    EXPECT_EQ(manifests[0].state, ArtifactState::ready);
    EXPECT_EQ(manifests[1].state, ArtifactState::ready);
    EXPECT_GE(manifests[1].durableFrames, 55 * pcm::sampleRate);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    EXPECT_EQ(sink.named("finalized").size(), 2u);
}

// A sound server that goes away ends the run, but not the call's audio: the
// part is published now, as interrupted, not left to the next run's recovery.
TEST_F(CaptureEngineTest, AServerThatGoesAwayEndsTheRunWithThePartPublished) {
    start();
    callTakesMicrophone();
    run(25);
    backend.disconnect();
    run(1, true);
    const EngineTermination termination = engine->wait();
    EXPECT_EQ(termination.kind, EngineTermination::Kind::failure);
    EXPECT_NE(termination.detail.find("Connection terminated"), std::string::npos) << termination.detail;
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_TRUE(manifests[0].interrupted);
    EXPECT_EQ(manifests[0].state, ArtifactState::ready);
    EXPECT_EQ(sink.named("finalized").size(), 1u);

    // The server comes back with the call still holding the microphone: the
    // owner's next run goes on with the call in its session's next part, with
    // no debounce.
    ASSERT_TRUE(termination.call);
    EXPECT_EQ(*termination.call, (CallContinuation{manifests[0].capture.captureSessionId, 1, callApp}));
    backend.reconnect();
    engine.reset();
    config.continuation = termination.call;
    start();
    run(5);
    callLetsGo();
    run(17);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    const std::vector<ArtifactManifest> after = partsInOrder();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].capture.captureSessionId, manifests[0].capture.captureSessionId);
    EXPECT_EQ(after[1].capture.partIndex, 1);
    EXPECT_EQ(after[1].state, ArtifactState::ready);
    EXPECT_GE(after[1].durableFrames, (5 + 15 - 1) * pcm::sampleRate);
    EXPECT_EQ(sink.named("debouncing").size(), 1u);
    const std::vector<EngineEvent> started = sink.named("recording_started");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1].fields.count("first_frame"), 1u);
}

TEST_F(CaptureEngineTest, PauseClosesThePartAndResumeArmsAgain) {
    start();
    callTakesMicrophone();
    run(25);
    engine->pause();
    engine->runOnQueue([] {});
    ASSERT_EQ(sink.named("paused").size(), 1u);
    EXPECT_EQ(sink.named("paused")[0].fields.at("state"), "PAUSED");
    EXPECT_EQ(backend.openStreamCount(), 0u);
    run(5, true); // nothing is captured or checked while paused
    EXPECT_TRUE(sink.named("capture_health_failed").empty());
    engine->resume();
    engine->runOnQueue([] {});
    EXPECT_EQ(sink.named("resumed").size(), 1u);
    run(25);
    callLetsGo();
    run(17);
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 2u);
    EXPECT_EQ(manifests[0].state, ArtifactState::ready);
    EXPECT_EQ(manifests[1].state, ArtifactState::ready);
}

// The person's pause outlives the run: a run that boots on a stored pause
// says so at once and captures nothing. Commands given back to back are
// applied in their order, each against the state the one before left.
TEST_F(CaptureEngineTest, AStoredPauseIsAnnouncedAtBootAndCommandsApplyInOrder) {
    std::filesystem::create_directories(temp / "spool");
    std::ofstream(temp / "spool" / RecorderCore::preferencesFileName) << R"({"paused":true})";
    start();
    const auto pauseEvents = [this] {
        std::vector<std::string> names;
        for (const std::string& name : sink.names()) {
            if (name == "paused" || name == "resumed" || name == "armed") {
                names.push_back(name);
            }
        }
        return names;
    };
    EXPECT_EQ(pauseEvents(), std::vector<std::string>{"paused"});
    EXPECT_EQ(sink.named("paused")[0].fields.at("state"), "PAUSED");
    EXPECT_EQ(backend.openStreamCount(), 0u);

    const struct {
        std::vector<void (CaptureEngine::*)()> commands;
        std::vector<std::string> events;
        bool pausedAfter;
    } rounds[] = {
        {{&CaptureEngine::resume, &CaptureEngine::pause, &CaptureEngine::resume},
         {"resumed", "paused", "resumed"},
         false},
        {{&CaptureEngine::resume}, {}, false},
        {{&CaptureEngine::togglePause, &CaptureEngine::togglePause, &CaptureEngine::togglePause},
         {"paused", "resumed", "paused"},
         true},
        {{&CaptureEngine::togglePause}, {"resumed"}, false},
    };
    for (const auto& round : rounds) {
        const std::size_t before = pauseEvents().size();
        bool applied = false;
        for (const auto command : round.commands) {
            ((*engine).*command)();
        }
        engine->afterCommands([&applied] { applied = true; });
        engine->runOnQueue([] {});
        EXPECT_TRUE(applied);
        const std::vector<std::string> all = pauseEvents();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
                  round.events);
        // Paused or armed, no stream is open: nothing holds the microphone.
        EXPECT_EQ(backend.openStreamCount(), 0u);
    }
    run(1);
    EXPECT_EQ(pauseEvents().back(), "resumed") << "a resumed run is armed: nothing more to announce";
    callTakesMicrophone();
    run(25);
    EXPECT_EQ(sink.named("recording_started").size(), 1u) << "and it records the next call";
}

TEST_F(CaptureEngineTest, SleepFinishesThePartBeforeItReturnsAndWakeArmsAgain) {
    start();
    callTakesMicrophone();
    run(25);
    ASSERT_TRUE(sleep);
    sleep();
    // The part is safe before the computer may sleep.
    ASSERT_EQ(sink.named("sleep_finalized").size(), 1u);
    ASSERT_EQ(parts().size(), 1u);
    EXPECT_EQ(Artifact::readManifest(parts()[0], DurableIO()).state, ArtifactState::ready);
    EXPECT_EQ(backend.openStreamCount(), 0u);
    clock.advance(3'600);
    wake();
    engine->runOnQueue([] {});
    EXPECT_EQ(sink.named("wake").size(), 1u);
    EXPECT_EQ(sink.named("tap_started").back().fields.at("reason"), "wake");
}

TEST_F(CaptureEngineTest, TheChimePlaysOnceAtATimeOnTheSoundServerAndNotWhenDisabled) {
    start(3, std::nullopt, 880);
    engine->requestAlert();
    engine->runOnQueue([] {});
    engine->runOnQueue([] {}); // the completion comes back through the queue
    EXPECT_EQ(backend.playedSamples(), 5292u);
    ASSERT_EQ(sink.named("alert_started").size(), 1u);
    EXPECT_EQ(sink.named("alert_started")[0].fields.at("frequency"), "880");
    ASSERT_EQ(sink.named("alert_completed").size(), 1u);
    EXPECT_EQ(sink.named("alert_completed")[0].fields.at("success"), "true");

    backend.failNext(ScriptedAudioBackend::Call::playSound, AudioBackendError::noEntity);
    engine->requestAlert();
    engine->runOnQueue([] {});
    ASSERT_EQ(sink.named("alert_failed").size(), 1u);
    EXPECT_EQ(sink.named("alert_failed")[0].fields.at("detail"), "play_returned_false");
    engine.reset();

    start(3, std::nullopt, 0);
    const std::size_t events = sink.events().size();
    engine->requestAlert();
    engine->runOnQueue([] {});
    EXPECT_EQ(sink.events().size(), events);
    EXPECT_EQ(backend.playedSamples(), 5292u);
}

TEST_F(CaptureEngineTest, RandomActivityTimingAndFaultsNeverDeliverAFrameTwiceOrLoseAPart) {
    std::mt19937 random(20261207);
    start();
    for (int round = 0; round < 40; ++round) {
        switch (random() % 8) {
        case 0:
            if (!call) {
                callTakesMicrophone();
            }
            break;
        case 1:
            if (call) {
                callLetsGo();
                call.reset();
            }
            break;
        case 2:
            backend.lose(random() % 2 ? "mic" : monitor, 441 + random() % 8'000);
            break;
        case 3:
            engine->pause();
            run(0.5);
            engine->resume();
            break;
        case 4:
            sleep();
            clock.advance(60);
            wake();
            break;
        case 5:
            monitor = monitor == "speakers.monitor" ? "headset.monitor" : "speakers.monitor";
            backend.setDefaults("mic", monitor.substr(0, monitor.find('.')));
            break;
        default:
            break;
        }
        run(0.25 + (random() % 100) / 10.0);
    }
    engine->stop();
    const EngineTermination end = engine->wait();
    EXPECT_EQ(end, EngineTermination::stopped()) << end.description();

    // Every part is finished and consistent; parts of one session on one
    // mixer time line never overlap in frames (a break starts a new line, and
    // the call goes on in the same session).
    std::map<std::string, std::string> origins;
    for (const EngineEvent& event : sink.named("finalized")) {
        const auto origin = event.fields.find("origin_nanos");
        origins[std::filesystem::path(event.fields.at("directory")).filename()] =
            origin == event.fields.end() ? "" : origin->second;
    }
    std::map<std::string, std::int64_t> sessionEnd;
    for (const auto& directory : parts()) {
        const ArtifactManifest manifest = Artifact::readManifest(directory, DurableIO());
        EXPECT_TRUE(manifest.state == ArtifactState::ready || manifest.state == ArtifactState::discardedShort)
            << directory << " " << rawValue(manifest.state);
        auto [end_, inserted] =
            sessionEnd.try_emplace(manifest.capture.captureSessionId + origins[directory.filename()], 0);
        EXPECT_GE(manifest.capture.firstFrame, end_->second) << directory;
        end_->second = manifest.capture.firstFrame + manifest.durableFrames;
    }
}

/// The part's audio as 16-bit stereo, decoded from its FLAC.
Bytes decodedPart(const std::filesystem::path& part, const std::filesystem::path& scratch) {
    const std::filesystem::path decoded = scratch / (part.filename().string() + ".pcm");
    const std::string command = std::string(FFmpegFLACEncoder::defaultExecutable) +
                                " -loglevel error -y -i '" + (part / Artifact::flacName).string() +
                                "' -f s16le '" + decoded.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return DurableIO().read(decoded, 0);
}

/// "Only the recorded application" on the right: the call plays 1 kHz, music
/// plays 2.5 kHz on the same speakers, and the speakers' whole mix is
/// 1.5 kHz. The call's playback stream ends and another starts 2 s later, then
/// it moves to the headset: each is followed, in one part, and nothing but
/// the call's tone is on the right.
class RecordedAppEngineTest : public CaptureEngineTest {
protected:
    RecordedAppEngineTest() {
        config.systemAudioSource = SystemAudioSource::recordedApp;
        callClient = backend.addClient(AudioClientIdentity{{}, {}, 4242, "call", callApp, "Call"});
        music = backend.addPlaybackStream(
            backend.addClient(AudioClientIdentity{{}, {}, 4343, "music", "org.example.Music", "Music"}),
            sinkIndex("speakers"), false);
        backend.setPlaybackSignal(music, ScriptedSignal::tone(2'500, 0.5f));
    }

    std::uint32_t sinkIndex(const std::string& name) { return backend.graph().sinkNamed(name)->index; }

    std::uint32_t callPlays(const std::string& sinkName) {
        const std::uint32_t stream = backend.addPlaybackStream(callClient, sinkIndex(sinkName), false);
        backend.setPlaybackSignal(stream, ScriptedSignal::tone(1'000, 0.5f));
        settle();
        return stream;
    }

    /// `run`, with the headset's monitor delivering too.
    void runBoth(double seconds) {
        for (int i = 0; i < static_cast<int>(std::lround(seconds * 50)); ++i) {
            run(0.02);
            backend.deliver("headset.monitor", 960,
                            static_cast<std::uint64_t>(std::llround(clock.now() * 1e9)));
        }
    }

    std::uint32_t callClient = 0;
    std::uint32_t music = 0;
};

TEST_F(RecordedAppEngineTest, OnlyTheCallsOwnPlaybackIsOnTheRightAsItsStreamsComeGoAndMove) {
    start();
    const std::uint32_t first = callPlays("speakers");
    call = backend.addRecordStream(callClient, micSource, false);
    settle();
    runBoth(10);
    backend.removeStream(first);
    runBoth(2);
    const std::uint32_t second = callPlays("speakers");
    runBoth(8);
    backend.updateStream(second, sinkIndex("headset"), false);
    runBoth(10);
    callLetsGo();
    runBoth(17);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());

    ASSERT_EQ(sink.named("tap_started").size(), 1u);
    EXPECT_EQ(sink.named("tap_started")[0].fields.at("system_source"), "recordedApp");
    EXPECT_EQ(sink.named("recording_started").at(0).fields.at("system_source"), "recordedApp");
    EXPECT_TRUE(sink.named("system_audio_source").empty()) << "a 2 s pause is no reason to fall back";
    std::vector<std::string> followed;
    for (const EngineEvent& event : sink.named("app_playback")) {
        followed.push_back(event.fields.at("sink_inputs"));
    }
    // The moved stream is recorded again on its new sink under its own index.
    EXPECT_EQ(followed, (std::vector<std::string>{std::to_string(first), "", std::to_string(second)}));
    EXPECT_TRUE(sink.named("discontinuity").empty());
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_FALSE(manifests[0].interrupted);

    const Bytes pcm = decodedPart(parts()[0], temp.path());
    EXPECT_GT(toneShare(pcm, 1, 1'000), 0.9);
    EXPECT_LT(toneShare(pcm, 1, 2'500), 0.01);
    EXPECT_LT(toneShare(pcm, 1, 1'500), 0.01);
    EXPECT_GT(toneShare(pcm, 0, 440), 0.9);
    // The last 20 s of the part lie after the move: the call is on the
    // right in every second of them.
    const std::size_t oneSecond = 16'000 * 4;
    ASSERT_GT(pcm.size(), 20 * oneSecond);
    for (std::size_t offset = pcm.size() - 20 * oneSecond; offset + oneSecond <= pcm.size();
         offset += oneSecond) {
        const Bytes piece(pcm.begin() + static_cast<std::ptrdiff_t>(offset),
                          pcm.begin() + static_cast<std::ptrdiff_t>(offset + oneSecond));
        EXPECT_GT(levelOf(piece, 1), 8'000) << "at byte " << offset;
    }
}

// A call whose far side plays through a process nobody can attribute: after
// 5 s of recording without a playback stream of the call, the right channel
// records everything the computer plays, in the same part.
TEST_F(RecordedAppEngineTest, NoPlaybackOfTheCallForFiveSecondsFallsBackToEverythingInTheSamePart) {
    start();
    call = backend.addRecordStream(callClient, micSource, false);
    settle();
    run(7.5);
    EXPECT_TRUE(sink.named("system_audio_source").empty()) << "3 s of debouncing, then 4.5 s of patience";
    run(1);
    ASSERT_EQ(sink.named("system_audio_source").size(), 1u);
    EXPECT_EQ(sink.named("system_audio_source")[0].fields.at("source"), "all");
    EXPECT_EQ(sink.named("system_audio_source")[0].fields.at("reason"), "no_app_playback");
    // The call's playback showing up later changes nothing for this part.
    callPlays("speakers");
    run(20);
    callLetsGo();
    run(17);
    engine->stop();
    EXPECT_EQ(engine->wait(), EngineTermination::stopped());
    EXPECT_EQ(sink.named("system_audio_source").size(), 1u);
    EXPECT_TRUE(sink.named("discontinuity").empty());
    const std::vector<ArtifactManifest> manifests = partsInOrder();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_FALSE(manifests[0].interrupted);
    // Both events name the part, so the shell can tell which one fell back.
    ASSERT_EQ(sink.named("recording_started").size(), 1u);
    EXPECT_EQ(sink.named("recording_started")[0].fields.at("directory"), parts()[0].string());
    EXPECT_EQ(sink.named("system_audio_source")[0].fields.at("directory"), parts()[0].string());
    // Silent on the right until the fallback, the whole mix after it.
    const Bytes pcm = decodedPart(parts()[0], temp.path());
    const std::size_t oneSecond = 16'000 * 4;
    ASSERT_GT(pcm.size(), 30 * oneSecond);
    const Bytes before(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(4 * oneSecond));
    const Bytes after(pcm.end() - static_cast<std::ptrdiff_t>(25 * oneSecond), pcm.end());
    EXPECT_LT(levelOf(before, 1), 1);
    EXPECT_GT(toneShare(after, 1, 1'500), 0.99);
    EXPECT_LT(toneShare(after, 1, 1'000), 0.001);
}

} // namespace
} // namespace zoq
