#include "ZoqCore/Capture/CaptureMachine.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/ZoqCore/Capture/CaptureTestSupport.h"

#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

namespace zoq {
namespace {

using test::taking;
using Actions = std::vector<CaptureAction>;

constexpr std::int64_t chunkFrames = 4'000; // 250 ms

class CaptureMachineTest : public ::testing::Test {
protected:
    Actions see(const std::vector<ProcessActivity>& activities) { return machine.processes(activities); }

    /// The next `frames` frames of the stream.
    Actions feed(std::int64_t frames) {
        Actions actions = machine.samples(audio.chunk(position, frames), position);
        position += frames;
        return actions;
    }

    /// Zoom takes input, three seconds pass with no audio: RECORDING, no part yet.
    void startRecording() {
        see({taking("us.zoom.xos")});
        clock.advance(CaptureMachine::debounceInterval);
        ASSERT_EQ(machine.tick(), Actions{});
        ASSERT_EQ(machine.state(), CaptureState::recording);
    }

    /// `startRecording`, then one chunk opens the part.
    void startPart() {
        startRecording();
        const Actions actions = feed(chunkFrames);
        ASSERT_EQ(actions.size(), 2u);
        ASSERT_EQ(actions[0].kind(), CaptureAction::Kind::begin);
    }

    struct Snapshot {
        CaptureState state;
        std::optional<CaptureSegment> segment;
        std::int64_t partFrames;
        std::optional<std::int64_t> nextFrame;
        Bytes prebuffer;
        std::int64_t firstBufferedFrame;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot() const {
        return {machine.state(),     machine.segment(),   machine.partFrames(),
                machine.nextFrame(), machine.prebuffer(), machine.firstBufferedFrame()};
    }

    ManualClock clock{1000.0, Date{800'000'000.0}};
    const test::PositionedAudio& audio = test::positionedAudio();
    CaptureMachine machine{clock, test::testAllowlist(), false, test::CountingIDs{}};
    std::int64_t position = 0;
};

TEST_F(CaptureMachineTest, StartsArmedOrPausedAsAsked) {
    EXPECT_EQ(machine.state(), CaptureState::armed);
    EXPECT_FALSE(machine.pausedRequested());
    EXPECT_FALSE(machine.segment());
    EXPECT_FALSE(machine.nextFrame());
    EXPECT_EQ(machine.partFrames(), 0);

    CaptureMachine paused(clock, test::testAllowlist(), true);
    EXPECT_EQ(paused.state(), CaptureState::paused);
    EXPECT_TRUE(paused.pausedRequested());
    const std::vector<ProcessActivity> zoom{taking("us.zoom.xos")};
    EXPECT_EQ(paused.processes(zoom), Actions{});
    EXPECT_EQ(paused.state(), CaptureState::paused) << "activity does not end a pause";
    EXPECT_EQ(paused.eligibleApp(), "us.zoom.xos");
}

TEST_F(CaptureMachineTest, RecordingStartsOnlyAfterThreeSecondsOfEligibility) {
    EXPECT_EQ(see({taking("us.zoom.xos")}), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::debouncing);
    EXPECT_EQ(machine.debounceAt(), 1000.0);

    clock.setNow(1002.9);
    EXPECT_EQ(see({taking("us.zoom.xos")}), Actions{});
    EXPECT_EQ(machine.tick(), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::debouncing);

    clock.setNow(1003.0);
    EXPECT_EQ(machine.tick(), Actions{}) << "no audio yet: the part begins with the next chunk";
    EXPECT_EQ(machine.state(), CaptureState::recording);
    EXPECT_EQ(machine.recordingApp(), "us.zoom.xos");
    EXPECT_FALSE(machine.segment());

    position = 777;
    const Date wall = clock.wallDate();
    const CaptureSegment expected{"session-1", 0, "us.zoom.xos", wall - 0.25, 777};
    const Actions actions = feed(chunkFrames);
    ASSERT_EQ(actions, (Actions{CaptureAction::begin(expected),
                                CaptureAction::append(Bytes(audio.chunk(777, chunkFrames).begin(),
                                                            audio.chunk(777, chunkFrames).end()))}));
    EXPECT_EQ(machine.segment(), expected);
    EXPECT_EQ(machine.partFrames(), chunkFrames);
    EXPECT_EQ(feed(chunkFrames).size(), 1u) << "later chunks only append";
}

TEST_F(CaptureMachineTest, AudioArrivingAsTheDebounceEndsOpensThePartWithIt) {
    see({taking("us.zoom.xos")});
    Actions last;
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(last, Actions{});
        clock.advance(0.25);
        last = feed(chunkFrames);
    }
    ASSERT_EQ(last.size(), 2u) << "the twelfth chunk arrives at exactly 3 s";
    EXPECT_EQ(last[0].segment(), (CaptureSegment{"session-1", 0, "us.zoom.xos", clock.wallDate() - 3.0, 0}));
    EXPECT_EQ(last[1].data().size(), CaptureMachine::prebufferLimit);
    EXPECT_TRUE(test::PositionedAudio::matches(last[1].data(), 0));
    EXPECT_EQ(machine.prebufferSize(), 0u);
}

TEST_F(CaptureMachineTest, OnlyTheLastThreeSecondsOfTheDebounceAreKept) {
    position = 5'000;
    see({taking("us.zoom.xos")});
    for (int i = 0; i < 40; ++i) { // 10 s delivered at once, as after a stall
        ASSERT_EQ(feed(chunkFrames), Actions{});
    }
    EXPECT_EQ(machine.prebufferSize(), CaptureMachine::prebufferLimit);
    EXPECT_EQ(machine.firstBufferedFrame(), 5'000 + 160'000 - 48'000);

    clock.advance(3.0);
    const Actions actions = machine.tick();
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].segment(),
              (CaptureSegment{"session-1", 0, "us.zoom.xos", clock.wallDate() - 3.0, 117'000}));
    EXPECT_EQ(actions[1].data().size(), 192'000u);
    EXPECT_TRUE(test::PositionedAudio::matches(actions[1].data(), 117'000));
    EXPECT_EQ(machine.partFrames(), 48'000);

    const Actions next = feed(chunkFrames);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_TRUE(test::PositionedAudio::matches(next[0].data(), 165'000));
}

TEST_F(CaptureMachineTest, LosingEligibilityWhileDebouncingDropsTheAudio) {
    see({taking("us.zoom.xos")});
    feed(chunkFrames);
    EXPECT_EQ(see({taking("us.zoom.xos", 100), {101, "com.hnc.Discord", false}}), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::debouncing);

    EXPECT_EQ(see({}), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::armed);
    EXPECT_EQ(machine.prebufferSize(), 0u);
    EXPECT_FALSE(machine.nextFrame());
    EXPECT_EQ(feed(chunkFrames), Actions{}) << "audio is dropped while armed";

    clock.advance(10);
    see({taking("us.zoom.xos")});
    EXPECT_EQ(machine.debounceAt(), clock.now()) << "a new debounce starts from zero";
    position += 50'000; // the stream moved on while armed: not a gap
    EXPECT_EQ(feed(chunkFrames), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::debouncing);
    EXPECT_EQ(machine.firstBufferedFrame(), position - chunkFrames);
}

TEST_F(CaptureMachineTest, TheFirstEligibleIdentifierIsRecordedAndSwitchingKeepsTheDebounce) {
    see({taking("us.zoom.xos", 1),
         {2, "com.aaa.NotAllowed", true},
         taking("com.hnc.Discord", 3),
         taking("com.apple.Siri", 4),
         taking("com.hnc.Discord", 5),
         {6, "com.apple.FaceTime", true}});
    EXPECT_EQ(machine.eligibleApp(), "com.hnc.Discord");
    const double started = machine.debounceAt();

    clock.advance(2.0);
    see({taking("us.zoom.xos", 1)});
    EXPECT_EQ(machine.eligibleApp(), "us.zoom.xos");
    EXPECT_EQ(machine.debounceAt(), started);

    clock.advance(1.0);
    machine.tick();
    EXPECT_EQ(machine.state(), CaptureState::recording);
    EXPECT_EQ(machine.recordingApp(), "us.zoom.xos");
}

TEST_F(CaptureMachineTest, TheGraceIntervalKeepsThePartUntilFifteenSecondsPass) {
    startPart();
    const CaptureSegment segment = *machine.segment();

    EXPECT_EQ(see({}), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::idleGrace);
    EXPECT_EQ(machine.idleAt(), clock.now());
    clock.advance(14.9);
    EXPECT_EQ(machine.tick(), Actions{});
    EXPECT_EQ(feed(chunkFrames).size(), 1u) << "audio heard during the grace belongs to the part";

    EXPECT_EQ(see({taking("com.hnc.Discord")}), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::recording);
    EXPECT_EQ(machine.segment(), segment);
    EXPECT_EQ(machine.recordingApp(), "us.zoom.xos") << "the session keeps its application";

    see({});
    const double idleAt = machine.idleAt();
    clock.advance(10);
    see({});
    EXPECT_EQ(machine.idleAt(), idleAt) << "still idle does not restart the grace";
    clock.advance(5);
    EXPECT_EQ(machine.tick(), Actions{CaptureAction::finish(false, clock.wallDate())});
    EXPECT_EQ(machine.state(), CaptureState::finalising);
    EXPECT_EQ(feed(chunkFrames), Actions{}) << "audio is dropped while finalising";
    EXPECT_EQ(see({taking("us.zoom.xos")}), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::finalising);

    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::armed);
    EXPECT_FALSE(machine.segment());
    EXPECT_EQ(machine.partFrames(), 0);
    EXPECT_FALSE(machine.nextFrame());
}

TEST_F(CaptureMachineTest, AGraceWithoutAnyAudioEndsWithoutAPart) {
    startRecording();
    see({});
    clock.advance(15);
    EXPECT_EQ(machine.tick(), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::armed);
}

TEST_F(CaptureMachineTest, AGapOrOverlapEndsThePartAsInterruptedAndDropsTheChunk) {
    for (const std::int64_t shift :
         {std::int64_t{1}, std::int64_t{-1}, -chunkFrames, std::int64_t{1'000'000}}) {
        CaptureMachine local(clock, test::testAllowlist(), false, test::CountingIDs{});
        const std::vector<ProcessActivity> zoom{taking("us.zoom.xos")};
        local.processes(zoom);
        clock.advance(3);
        local.tick();
        local.samples(audio.chunk(8'000, chunkFrames), 8'000);
        EXPECT_EQ(local.samples(audio.chunk(12'000 + shift, chunkFrames), 12'000 + shift),
                  Actions{CaptureAction::finish(true, clock.wallDate())})
            << shift;
        EXPECT_EQ(local.state(), CaptureState::finalising);
        EXPECT_FALSE(local.nextFrame());
        EXPECT_FALSE(local.eligibleApp());
        EXPECT_EQ(local.partFrames(), chunkFrames);
    }

    see({taking("us.zoom.xos")});
    feed(chunkFrames);
    EXPECT_EQ(machine.samples(audio.chunk(position + 4, chunkFrames), position + 4), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::armed) << "a gap while debouncing starts over";
    EXPECT_EQ(machine.prebufferSize(), 0u);
}

// A cut (a break in the audio, a device change) ends the part, not the call:
// the next audio opens the session's next part at once, whatever its
// position, and a grace under way keeps running. A call that ended after the
// cut (its grace ran out, or a failure) leaves nothing behind: the next call
// is a session of its own.
TEST_F(CaptureMachineTest, ACutEndsThePartButNotTheCall) {
    startPart();
    const CaptureSegment first = *machine.segment();
    see({});
    const double idleAt = machine.idleAt();
    clock.advance(5);
    EXPECT_EQ(machine.cut(), Actions{CaptureAction::finish(true, clock.wallDate())});
    EXPECT_EQ(machine.state(), CaptureState::finalising);
    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::idleGrace);
    EXPECT_EQ(machine.idleAt(), idleAt);
    EXPECT_FALSE(machine.segment());
    position += 1'000'000; // the streams start over after the break
    Actions actions = feed(chunkFrames);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].segment().captureSessionId, first.captureSessionId);
    EXPECT_EQ(actions[0].segment().partIndex, 1);
    EXPECT_EQ(actions[0].segment().app, "us.zoom.xos");
    EXPECT_EQ(actions[0].segment().firstFrame, position - chunkFrames);
    clock.advance(10);
    EXPECT_EQ(machine.tick(), Actions{CaptureAction::finish(false, clock.wallDate())});
    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::armed);

    // Cut, and the call lets go before any audio came back.
    startPart();
    EXPECT_EQ(machine.segment()->captureSessionId, "session-2");
    machine.cut();
    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::recording);
    see({});
    clock.advance(CaptureMachine::idleGraceInterval);
    EXPECT_EQ(machine.tick(), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::armed);
    startPart();
    EXPECT_EQ(machine.segment()->captureSessionId, "session-3");
    EXPECT_EQ(machine.segment()->partIndex, 0);

    // Cut, and applying the finish failed.
    machine.cut();
    machine.failed();
    machine.acknowledgeError();
    startRecording();
    actions = feed(chunkFrames);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].segment().captureSessionId, "session-4");
    EXPECT_EQ(actions[0].segment().partIndex, 0);
}

// A call a run was recording when it ended goes on in a later run (the sound
// server restarted): taken up as a grace, the call's application (or another
// allowed one) holding input makes it record again at once, into the next
// part of its session; a call that does not come back leaves nothing.
TEST_F(CaptureMachineTest, ACallTakenUpByALaterRunGoesOnInItsNextPart) {
    EXPECT_FALSE(machine.continuation()) << "no call";
    startPart();
    const CallContinuation call{"session-1", 1, "us.zoom.xos"};
    EXPECT_EQ(machine.continuation(), call);
    machine.cut();
    machine.finalised();
    EXPECT_EQ(machine.continuation(), call) << "cut, before its next part holds audio";
    EXPECT_TRUE(machine.interrupt().empty());
    EXPECT_FALSE(machine.continuation());

    CaptureMachine later(clock, test::testAllowlist(), false, test::CountingIDs{});
    EXPECT_FALSE(later.continueCall({"", 1, "us.zoom.xos"}));
    ASSERT_TRUE(later.continueCall(call));
    EXPECT_FALSE(later.continueCall(call)) << "only when armed";
    EXPECT_EQ(later.state(), CaptureState::idleGrace);
    EXPECT_EQ(later.continuation(), call);
    later.processes(std::vector{taking("us.zoom.xos")});
    EXPECT_EQ(later.state(), CaptureState::recording) << "no debounce";
    position += 5'000;
    const Actions actions = later.samples(audio.chunk(position, chunkFrames), position);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].segment().captureSessionId, "session-1");
    EXPECT_EQ(actions[0].segment().partIndex, 1);
    EXPECT_EQ(actions[0].segment().app, "us.zoom.xos");
    EXPECT_EQ(later.continuation(), (CallContinuation{"session-1", 2, "us.zoom.xos"}));

    // Not back within the grace: armed, and the next call is a session of its own.
    CaptureMachine gone(clock, test::testAllowlist(), false, test::CountingIDs{});
    ASSERT_TRUE(gone.continueCall(call));
    clock.advance(CaptureMachine::idleGraceInterval);
    EXPECT_EQ(gone.tick(), Actions{});
    EXPECT_EQ(gone.state(), CaptureState::armed);
    gone.processes(std::vector{taking("us.zoom.xos")});
    EXPECT_EQ(gone.state(), CaptureState::debouncing);
    CaptureMachine paused(clock, test::testAllowlist(), true);
    EXPECT_FALSE(paused.continueCall(call));
}

TEST_F(CaptureMachineTest, BadChunksThrowAndChangeNothing) {
    auto expectError = [this](ByteView data, std::int64_t first, const CoreError& expected) {
        const Snapshot before = snapshot();
        try {
            machine.samples(data, first);
            ADD_FAILURE() << "no error for " << data.size() << " bytes at " << first;
        } catch (const CoreError& error) {
            EXPECT_EQ(error, expected);
        }
        EXPECT_EQ(snapshot(), before);
    };
    const Bytes threeBytes{1, 2, 3};
    const std::int64_t largest = std::numeric_limits<std::int64_t>::max();

    see({taking("us.zoom.xos")});
    feed(chunkFrames);
    expectError(threeBytes, position, CoreError::invalid("whole PCM frames"));
    expectError(audio.chunk(0, 1), -1, CoreError::invalid("whole PCM frames"));
    expectError(audio.chunk(0, 2), largest - 1, CoreError::invalid("frame overflow"));

    clock.advance(3);
    feed(chunkFrames);
    ASSERT_TRUE(machine.segment());
    expectError(threeBytes, position, CoreError::invalid("whole PCM frames"));
    expectError(audio.chunk(0, 1), largest, CoreError::invalid("frame overflow"));
    EXPECT_EQ(machine.samples({}, position + 99), Actions{}) << "an empty chunk is never a gap";
    EXPECT_EQ(machine.state(), CaptureState::recording);

    machine.pause();
    expectError(threeBytes, 0, CoreError::invalid("whole PCM frames"));
}

TEST_F(CaptureMachineTest, AChunkCrossingThePartLimitIsSplitIntoTheNextPart) {
    startPart();
    const CaptureSegment first = *machine.segment();
    auto fillTo = [this](std::int64_t remaining) {
        while (CaptureMachine::rolloverFrames - machine.partFrames() > remaining) {
            feed(std::min(test::PositionedAudio::patternFrames,
                          CaptureMachine::rolloverFrames - machine.partFrames() - remaining));
        }
    };

    fillTo(6'000);
    const std::int64_t start = position;
    const Actions crossing = feed(10'000);
    const CaptureSegment second{"session-1", 1, "us.zoom.xos", first.startedAt + 10'800.0, start + 6'000};
    ASSERT_EQ(crossing.size(), 4u);
    EXPECT_EQ(crossing[0].kind(), CaptureAction::Kind::append);
    EXPECT_EQ(crossing[0].data().size(), 6'000u * 4);
    EXPECT_TRUE(test::PositionedAudio::matches(crossing[0].data(), start));
    EXPECT_EQ(crossing[1], CaptureAction::finish(false, first.startedAt + 10'800.0));
    EXPECT_EQ(crossing[2], CaptureAction::begin(second));
    EXPECT_EQ(crossing[3].data().size(), 4'000u * 4);
    EXPECT_TRUE(test::PositionedAudio::matches(crossing[3].data(), start + 6'000));
    EXPECT_EQ(machine.segment(), second);
    EXPECT_EQ(machine.partFrames(), 4'000);

    // A chunk that ends exactly on the limit opens the next part with no audio yet.
    fillTo(3'000);
    const Actions exact = feed(3'000);
    ASSERT_EQ(exact.size(), 3u);
    EXPECT_EQ(exact[1], CaptureAction::finish(false, first.startedAt + 21'600.0));
    EXPECT_EQ(exact[2].segment(),
              (CaptureSegment{"session-1", 2, "us.zoom.xos", first.startedAt + 21'600.0, position}));
    EXPECT_EQ(machine.partFrames(), 0);
    EXPECT_EQ(feed(chunkFrames).size(), 1u);
}

TEST_F(CaptureMachineTest, PauseFinishesAnOpenPartAndResumeForgetsIt) {
    startPart();
    const CaptureSegment segment = *machine.segment();
    EXPECT_EQ(machine.pause(),
              (Actions{CaptureAction::persistPaused(true), CaptureAction::finish(false, clock.wallDate())}));
    EXPECT_EQ(machine.state(), CaptureState::paused);
    EXPECT_EQ(machine.segment(), segment) << "kept until resume";
    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::paused);
    EXPECT_EQ(feed(chunkFrames), Actions{});
    EXPECT_EQ(see({taking("us.zoom.xos")}), Actions{});
    EXPECT_EQ(machine.interrupt(), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::paused);
    EXPECT_EQ(machine.pause(), Actions{CaptureAction::persistPaused(true)}) << "no part open any more";

    EXPECT_EQ(machine.resume(), Actions{CaptureAction::persistPaused(false)});
    EXPECT_EQ(machine.state(), CaptureState::armed);
    EXPECT_FALSE(machine.segment());
    EXPECT_FALSE(machine.pausedRequested());
    EXPECT_EQ(machine.resume(), Actions{}) << "resume outside PAUSED does nothing";

    see({taking("us.zoom.xos")});
    feed(chunkFrames);
    EXPECT_EQ(machine.pause(), Actions{CaptureAction::persistPaused(true)});
    EXPECT_EQ(machine.prebufferSize(), 0u) << "a pause while debouncing drops the audio";
}

TEST_F(CaptureMachineTest, SleepInterruptsAnOpenPartAndWakeAsksForObservers) {
    startPart();
    EXPECT_EQ(machine.sleep(), Actions{CaptureAction::finish(true, clock.wallDate())});
    EXPECT_EQ(machine.state(), CaptureState::finalising);
    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::armed);
    EXPECT_EQ(machine.sleep(), Actions{});

    startRecording();
    EXPECT_EQ(machine.interrupt(), Actions{}) << "recording but no part open yet";
    EXPECT_EQ(machine.state(), CaptureState::armed);

    startPart();
    EXPECT_EQ(machine.wake(), Actions{CaptureAction::reregisterObservers()});
    EXPECT_EQ(machine.state(), CaptureState::recording);
    EXPECT_FALSE(machine.eligibleApp());
}

TEST_F(CaptureMachineTest, AfterAFailureAudioIsIgnoredUntilTheErrorIsAcknowledged) {
    startPart();
    machine.pause();
    machine.resume();
    startPart();
    machine.failed();
    EXPECT_EQ(machine.state(), CaptureState::errorVisible);
    EXPECT_FALSE(machine.nextFrame());
    EXPECT_EQ(feed(chunkFrames), Actions{});
    EXPECT_EQ(see({taking("us.zoom.xos")}), Actions{});
    clock.advance(20);
    EXPECT_EQ(machine.tick(), Actions{});
    machine.finalised();
    EXPECT_EQ(machine.state(), CaptureState::errorVisible);

    machine.acknowledgeError();
    EXPECT_EQ(machine.state(), CaptureState::armed);
    EXPECT_FALSE(machine.segment());
    EXPECT_FALSE(machine.eligibleApp());

    machine.pause();
    machine.failed();
    machine.acknowledgeError();
    EXPECT_EQ(machine.state(), CaptureState::paused) << "the user's pause outlives the error";
}

// After a failure the owner abandons its open part. An interrupt then returns
// the machine to ARMED with that part's identity still set; the next session
// must open its own part rather than append to the abandoned one.
TEST_F(CaptureMachineTest, ANewSessionNeverAppendsToAPartAbandonedByAFailure) {
    startPart();
    machine.failed();
    EXPECT_EQ(machine.sleep(), Actions{});
    EXPECT_EQ(machine.state(), CaptureState::armed);

    startRecording();
    EXPECT_FALSE(machine.segment());
    const Actions actions = feed(chunkFrames);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].segment().captureSessionId, "session-2");
    EXPECT_EQ(actions[0].segment().firstFrame, position - chunkFrames);
}

TEST_F(CaptureMachineTest, AFailingIdentifierSourceLeavesTheMachineUnchanged) {
    int calls = 0;
    CaptureMachine local(clock, test::testAllowlist(), false, [&calls]() -> std::string {
        if (++calls == 1) {
            throw std::runtime_error("no identifier");
        }
        return "session-ok";
    });
    const std::vector<ProcessActivity> zoom{taking("us.zoom.xos")};
    local.processes(zoom);
    local.samples(audio.chunk(0, chunkFrames), 0);
    clock.advance(3);
    EXPECT_THROW(local.tick(), std::runtime_error);
    EXPECT_EQ(local.state(), CaptureState::debouncing);
    EXPECT_EQ(local.prebufferSize(), 16'000u);
    const Actions actions = local.tick();
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].segment().captureSessionId, "session-ok");
}

} // namespace
} // namespace zoq
