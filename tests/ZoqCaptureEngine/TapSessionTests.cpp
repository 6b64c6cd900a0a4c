#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/ScannerError.h"
#include "ZoqCaptureEngine/ScriptedAudioBackend.h"
#include "ZoqCaptureEngine/TapError.h"
#include "ZoqCaptureEngine/TapSession.h"

#include <gtest/gtest.h>
#include <thread>

namespace zoq {
namespace {

using Strings = std::vector<std::string>;

AudioFormat format(std::uint32_t rate, std::uint32_t channels) {
    return ScriptedAudioBackend::floatFormat(rate, channels);
}

std::int64_t framesIn(const std::vector<RawChunk>& chunks) {
    std::int64_t frames = 0;
    for (const RawChunk& chunk : chunks) {
        frames += chunk.frames;
    }
    return frames;
}

/// A scripted server like the test topology: "speakers" (48 kHz stereo, the
/// default sink) and "mic" (44.1 kHz mono, the default source).
class TapSessionScripted : public ::testing::Test {
protected:
    TapSessionScripted() {
        backend.addSink("speakers", format(48'000, 2));
        backend.addSource("mic", format(44'100, 1));
        backend.setDefaults("mic", "speakers");
        backend.setSignal("mic", ScriptedSignal::tone(440, 0.5f));
    }

    /// `milliseconds` of both streams in 10 ms deliveries, arriving in time.
    void deliver(int milliseconds) {
        for (int i = 0; i < milliseconds / 10; ++i) {
            now += 10'000'000;
            backend.deliver("speakers.monitor", 480, now);
            backend.deliver("mic", 441, now);
        }
    }

    ScriptedAudioBackend backend;
    TapSession session{backend};
    std::uint64_t now = 1'000'000'000'000;
};

TEST_F(TapSessionScripted, RecordsTheMicrophoneAndTheMonitorOfTheDefaultSink) {
    session.start();
    EXPECT_TRUE(session.isStarted());
    EXPECT_EQ(session.monitorSourceName(), "speakers.monitor");
    EXPECT_EQ(session.micSampleRate(), 44'100);
    EXPECT_EQ(session.tapSampleRate(), 48'000);
    EXPECT_EQ(backend.openStreamCount(), 2u);
    deliver(500);

    const TapSession::Drained drained = session.pump();
    EXPECT_EQ(drained.failures, Strings{});
    // Everything but the last 100 ms, which the anchors still hold.
    EXPECT_EQ(framesIn(drained.mic), 441 * 40);
    EXPECT_EQ(framesIn(drained.system), 480 * 40);
    ASSERT_FALSE(drained.mic.empty());
    const RawChunk& mic = drained.mic.front();
    EXPECT_EQ(mic.channels, 1);
    EXPECT_TRUE(mic.hostTimeValid && mic.sampleTimeValid);
    EXPECT_EQ(mic.sampleTime, 0);
    EXPECT_EQ(mic.hostTimeNanos, 1'000'000'000'000u);
    EXPECT_FLOAT_EQ(mic.samples[10], ScriptedSignal::tone(440, 0.5f).at(10, 0, 44'100));
    EXPECT_EQ(drained.system.front().channels, 2);
}

TEST_F(TapSessionScripted, StartingTwiceLeavesTheRunningStreamsAlone) {
    session.start();
    const std::uint32_t mic = session.micStreamID();
    session.start();
    EXPECT_EQ(session.micStreamID(), mic);
    EXPECT_EQ(backend.openStreamCount(), 2u);
}

TEST_F(TapSessionScripted, QueuesHoldFiveSecondsAndTheFirstOverflowIsReportedOnce) {
    session.start();
    deliver(7000);
    TapSession::Drained drained = session.pump();
    EXPECT_EQ(framesIn(drained.system), 240'000);
    EXPECT_EQ(framesIn(drained.mic), 220'500);
    EXPECT_EQ(drained.failures, Strings{TapSession::backlogExceeded});

    deliver(1000);
    drained = session.pump();
    EXPECT_EQ(framesIn(drained.system), 48'000);
    EXPECT_EQ(drained.failures, Strings{});
}

TEST_F(TapSessionScripted, ACallbackOfAnEarlierStartAddsNothing) {
    session.start();
    const std::uint64_t first = session.generation();
    session.teardown();
    session.start();
    const RawChunk chunk(5, 5, 0, std::vector<float>(441, 0.f), 1, true, true);
    session.enqueueForTest(true, chunk, first);
    EXPECT_TRUE(session.pump().mic.empty());
    session.enqueueForTest(true, chunk, session.generation());
    EXPECT_EQ(session.pump().mic.size(), 1u);
}

TEST_F(TapSessionScripted, TeardownClosesBothStreamsAndReturnsEveryFrameStillQueuedOrHeld) {
    session.start();
    deliver(500);
    const TapSession::Drained drained = session.teardown();
    EXPECT_EQ(framesIn(drained.mic), 441 * 50);
    EXPECT_EQ(framesIn(drained.system), 480 * 50);
    EXPECT_FALSE(session.isStarted());
    EXPECT_EQ(backend.openStreamCount(), 0u);
    EXPECT_EQ(session.teardownResults(),
              (std::map<std::string, std::int32_t>{{"close_mic_stream", 0}, {"close_system_stream", 0}}));
    // Nothing arrives for a torn-down session.
    deliver(200);
    EXPECT_TRUE(session.pump().mic.empty());
}

TEST_F(TapSessionScripted, TeardownOfASessionThatNeverStartedRecordsNothing) {
    const TapSession::Drained drained = session.teardown();
    EXPECT_TRUE(drained.mic.empty() && drained.system.empty() && drained.failures.empty());
    EXPECT_TRUE(session.teardownResults().empty());
}

TEST_F(TapSessionScripted, AStreamWhoseDeviceGoesAwayReportsItOnce) {
    session.start();
    backend.removeDevice("speakers");
    // A change of devices, not a failure: the run goes on on new ones.
    const TapSession::Drained drained = session.pump();
    EXPECT_EQ(drained.ended, Strings{"streamEnded(12): system mix: Entity killed"});
    EXPECT_TRUE(drained.failures.empty());
    EXPECT_TRUE(session.pump().ended.empty());
}

// Headless runs: the scripted server delivers in real time, stamped on the
// host clock, and the stream clock takes it as one stream.
TEST_F(TapSessionScripted, CapturesAScriptedServerRunningInRealTime) {
    session.start();
    backend.runInRealTime(std::chrono::milliseconds(10));
    std::vector<RawChunk> mic;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (framesIn(mic) < 44'100 / 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (RawChunk& chunk : session.pump().mic) {
            mic.push_back(std::move(chunk));
        }
    }
    backend.stopRealTime();
    ASSERT_GE(framesIn(mic), 44'100 / 2);
    for (std::size_t i = 1; i < mic.size(); ++i) {
        EXPECT_EQ(mic[i].sampleTime, mic[i - 1].sampleTime + static_cast<double>(mic[i - 1].frames));
        EXPECT_GT(mic[i].hostTimeNanos, mic[i - 1].hostTimeNanos);
    }
}

TEST(TapSessionStart, FailuresSayWhatFailedAndLeaveNothingOpen) {
    struct Case {
        const char* name;
        std::function<void(ScriptedAudioBackend&)> arrange;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"no default sink", [](ScriptedAudioBackend& b) { b.setDefaults("mic", ""); },
         "missingDefaultOutput: default sink \"\""},
        {"no default source", [](ScriptedAudioBackend& b) { b.setDefaults("nothing", "speakers"); },
         "engineStartFailed: default source \"nothing\""},
        {"system mix refused",
         [](ScriptedAudioBackend& b) { b.failNext(ScriptedAudioBackend::Call::openRecordStream, 1); },
         "tapCreationFailed(1): record_stream: scripted failure (1)"},
        {"server stalled", [](ScriptedAudioBackend& b) { b.setStalled(true); },
         "propertyFailed(\"graph: the sound server did not answer in time (8)\")"},
        {"connection lost", [](ScriptedAudioBackend& b) { b.disconnect(); },
         "tapCreationDeniedOwnProcessUnknown: client_index: Connection terminated (11)"},
    };
    for (const Case& c : cases) {
        ScriptedAudioBackend backend(std::chrono::milliseconds(20));
        backend.addSink("speakers", format(48'000, 2));
        backend.addSource("mic", format(48'000, 1));
        backend.setDefaults("mic", "speakers");
        c.arrange(backend);
        TapSession session(backend);
        std::string error;
        try {
            session.start();
        } catch (const TapError& failure) {
            error = failure.what();
        } catch (const ScannerError& failure) {
            error = failure.what();
        }
        EXPECT_EQ(error, c.expected) << c.name;
        EXPECT_FALSE(session.isStarted()) << c.name;
        EXPECT_EQ(backend.openStreamCount(), 0u) << c.name;
    }
}

} // namespace
} // namespace zoq
