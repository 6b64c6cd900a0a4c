// Thousands of seeded random lives of one machine, driven the way the recorder
// core drives it, with the invariants its owner relies on checked after every
// call: parts open and close in pairs, appended audio is exactly the stream's
// frames in order, parts never exceed the limit, rollovers keep the session
// and count up by one, and audio is only appended while recording.
#include "ZoqCore/Capture/CaptureMachine.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/ZoqCore/Capture/CaptureTestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <set>

namespace zoq {
namespace {

using test::taking;
using Actions = std::vector<CaptureAction>;

struct Tally {
    int parts = 0;
    int rollovers = 0;
    int interrupted = 0;
    int graceFinishes = 0;
    int failures = 0;
    int rejectedChunks = 0;
};

/// The frames at `index`, the middle and the end of `data` hold the positions
/// they should: enough to catch any misplaced split of a large append.
bool spotMatches(const Bytes& data, std::int64_t first) {
    if (data.size() <= (1u << 20)) {
        return test::PositionedAudio::matches(data, first);
    }
    const std::int64_t frames = static_cast<std::int64_t>(data.size() / 4);
    for (const std::int64_t index : {std::int64_t{0}, frames / 2, frames - 1}) {
        const Bytes frame(data.begin() + index * 4, data.begin() + index * 4 + 4);
        if (!test::PositionedAudio::matches(frame, first + index)) {
            return false;
        }
    }
    return true;
}

class SimulatedOwner {
public:
    SimulatedOwner(std::uint32_t seed, bool mayRunLong, std::set<std::string>& sessions, Tally& tally)
        : random_(seed), mayRunLong_(mayRunLong), sessions_(sessions), tally_(tally) {}

    void step() {
        const bool recordingPart = machine_.segment() && (machine_.state() == CaptureState::recording ||
                                                          machine_.state() == CaptureState::idleGrace);
        const int choice = static_cast<int>(random_() % 100);
        if (mayRunLong_ && !ranLong_ && recordingPart && choice < 25) {
            runToRollover();
        } else if (choice < 20) {
            apply(machine_.processes(activities()));
        } else if (choice < 35) {
            static constexpr double advances[] = {0.1, 0.25, 0.25, 0.5, 1.0, 2.9, 3.0, 5.0, 14.9, 15.0, 20.0};
            clock_.advance(advances[random_() % std::size(advances)]);
            apply(machine_.tick());
        } else if (choice < 75) {
            chunk();
        } else if (choice < 79) {
            apply(machine_.pause());
        } else if (choice < 84) {
            apply(machine_.resume());
        } else if (choice < 87) {
            apply(random_() % 2 ? machine_.sleep() : machine_.interrupt());
        } else if (choice < 89) {
            apply(machine_.wake());
        } else if (choice < 94) {
            machine_.acknowledgeError();
        } else if (choice < 96) {
            CaptureAllowlist allowlist = test::testAllowlist();
            if (random_() % 2) {
                allowlist.allowed.erase("us.zoom.xos");
            }
            machine_.setAllowlist(allowlist);
        }
        checkInvariants();
    }

private:
    std::vector<ProcessActivity> activities() {
        static const ProcessActivity pool[] = {
            taking("us.zoom.xos", 100),       taking("com.hnc.Discord", 101), {102, "us.zoom.xos", false},
            taking("com.apple.Siri", 103),    taking("org.zoq.Zoq", 104),     {42, "us.zoom.xos", true},
            taking("org.example.Other", 105),
        };
        std::vector<ProcessActivity> list;
        if (random_() % 2) {
            list.push_back(pool[random_() % 2]);
        }
        for (std::uint32_t n = random_() % 3; n > 0; --n) {
            list.push_back(pool[random_() % std::size(pool)]);
        }
        std::shuffle(list.begin(), list.end(), random_);
        return list;
    }

    void chunk() {
        const int kind = static_cast<int>(random_() % 400);
        std::int64_t frames = random_() % 4 == 0 ? 4'000 : 1 + random_() % 2'000;
        if (random_() % 20 == 0) {
            frames = 1 + random_() % 60'000; // more than the whole pre-buffer
        }
        std::int64_t first = position_;
        if (kind < 6 && position_ > 0) {
            first = position_ - 1 -
                    static_cast<std::int64_t>(random_() % std::min<std::int64_t>(position_, 9'000));
        } else if (kind < 8) {
            first = position_ + 1 + random_() % 9'000;
        }
        if (kind == 8) {
            checkRejected(Bytes{1, 2, 3}, first, CoreError::invalid("whole PCM frames"));
            return;
        }
        if (kind == 9) {
            checkRejected(audio_.chunk(0, 1), -1 - random_() % 5, CoreError::invalid("whole PCM frames"));
            return;
        }
        if (kind == 10) {
            checkRejected(audio_.chunk(0, 2), std::numeric_limits<std::int64_t>::max() - 1,
                          CoreError::invalid("frame overflow"));
            return;
        }
        if (kind >= 11 && kind < 20) {
            apply(machine_.samples({}, first)); // never a gap, in any state
            return;
        }
        if (random_() % 2) {
            clock_.advance(static_cast<double>(frames) / 16'000);
        }
        feed(first, frames);
    }

    void feed(std::int64_t first, std::int64_t frames) {
        const Actions actions = machine_.samples(audio_.chunk(first, frames), first);
        position_ = first + frames;
        apply(actions);
    }

    // An owner treats any error of a machine call as a failure; the machine
    // must have changed nothing before it threw.
    void checkRejected(ByteView data, std::int64_t first, const CoreError& expected) {
        const auto before = std::tuple(machine_.state(), machine_.segment(), machine_.partFrames(),
                                       machine_.nextFrame(), machine_.prebuffer());
        try {
            machine_.samples(data, first);
            ADD_FAILURE() << "accepted a bad chunk at " << first;
        } catch (const CoreError& error) {
            EXPECT_EQ(error, expected);
        }
        EXPECT_EQ(std::tuple(machine_.state(), machine_.segment(), machine_.partFrames(),
                             machine_.nextFrame(), machine_.prebuffer()),
                  before);
        ++tally_.rejectedChunks;
        fail();
    }

    // Hours of audio in large chunks, ending either exactly on the part limit
    // or across it.
    void runToRollover() {
        ranLong_ = true;
        injectFailures_ = false;
        const std::int64_t part = machine_.segment()->partIndex;
        const bool exact = random_() % 2;
        while (machine_.segment() && machine_.segment()->partIndex == part &&
               (machine_.state() == CaptureState::recording || machine_.state() == CaptureState::idleGrace)) {
            const std::int64_t remaining = CaptureMachine::rolloverFrames - machine_.partFrames();
            std::int64_t frames = std::min(remaining, test::PositionedAudio::patternFrames);
            if (frames == remaining && !exact) {
                frames = std::min(remaining + 1 + static_cast<std::int64_t>(random_() % 5'000),
                                  test::PositionedAudio::patternFrames);
            }
            feed(position_, frames);
        }
        injectFailures_ = true;
    }

    void fail() {
        machine_.failed();
        open_.reset();
        rolledFrom_.reset();
        ++tally_.failures;
    }

    // Applies actions the way the recorder core does, failing now and then
    // part-way through a list, as a full disk would.
    void apply(const Actions& actions) {
        const bool failing = injectFailures_ && !actions.empty() && random_() % 80 == 0;
        const std::size_t failAt = failing ? random_() % actions.size() : actions.size();
        for (std::size_t i = 0; i < actions.size(); ++i) {
            if (i == failAt) {
                fail();
                return;
            }
            const CaptureAction& action = actions[i];
            const bool nextIsAppend =
                i + 1 < actions.size() && actions[i + 1].kind() == CaptureAction::Kind::append;
            const bool nextIsBegin =
                i + 1 < actions.size() && actions[i + 1].kind() == CaptureAction::Kind::begin;
            switch (action.kind()) {
            case CaptureAction::Kind::begin:
                begin(action.segment(), nextIsAppend ? &actions[i + 1] : nullptr);
                break;
            case CaptureAction::Kind::append:
                append(action.data());
                break;
            case CaptureAction::Kind::finish:
                finish(action, nextIsBegin);
                break;
            case CaptureAction::Kind::persistPaused:
                EXPECT_EQ(action.paused(), machine_.pausedRequested());
                break;
            case CaptureAction::Kind::reregisterObservers:
                break;
            }
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
        EXPECT_FALSE(rolledFrom_) << "a rollover's finish must be followed by its next part";
    }

    void begin(const CaptureSegment& segment, const CaptureAction* firstAppend) {
        ASSERT_FALSE(open_) << "begin while " << open_->segment << " is open";
        if (rolledFrom_) {
            const CaptureSegment& previous = *rolledFrom_;
            EXPECT_EQ(segment.captureSessionId, previous.captureSessionId);
            EXPECT_EQ(segment.partIndex, previous.partIndex + 1);
            EXPECT_EQ(segment.app, previous.app);
            EXPECT_EQ(segment.startedAt, previous.startedAt + CaptureMachine::partBoundaryOffset);
            EXPECT_EQ(segment.firstFrame, previous.firstFrame + CaptureMachine::rolloverFrames);
            rolledFrom_.reset();
            ++tally_.rollovers;
        } else {
            EXPECT_TRUE(sessions_.insert(segment.captureSessionId).second)
                << "session id reused: " << segment.captureSessionId;
            EXPECT_EQ(segment.partIndex, 0);
            EXPECT_EQ(segment.app, machine_.recordingApp());
            ASSERT_NE(firstAppend, nullptr) << "a new session opens with audio";
            const auto frames = static_cast<double>(firstAppend->data().size() / 4);
            EXPECT_NEAR(segment.startedAt - (clock_.wallDate() - frames / 16'000), 0.0, 1e-6);
        }
        open_ = {segment, 0};
        ++tally_.parts;
    }

    void append(const Bytes& data) {
        ASSERT_TRUE(open_) << "append with no part open";
        EXPECT_TRUE(machine_.state() == CaptureState::recording ||
                    machine_.state() == CaptureState::idleGrace)
            << "appended in " << machine_.state();
        ASSERT_FALSE(data.empty());
        ASSERT_EQ(data.size() % 4, 0u);
        const std::int64_t at = open_->segment.firstFrame + open_->frames;
        open_->frames += static_cast<std::int64_t>(data.size() / 4);
        ASSERT_LE(open_->frames, CaptureMachine::rolloverFrames);
        EXPECT_TRUE(spotMatches(data, at)) << "appended audio is not the stream at frame " << at;
    }

    void finish(const CaptureAction& action, bool nextIsBegin) {
        ASSERT_TRUE(open_) << "finish with no part open";
        if (open_->frames == CaptureMachine::rolloverFrames) {
            EXPECT_FALSE(action.interrupted());
            EXPECT_EQ(action.endedAt(), open_->segment.startedAt + CaptureMachine::partBoundaryOffset);
            EXPECT_TRUE(nextIsBegin);
            rolledFrom_ = open_->segment;
        } else {
            EXPECT_EQ(action.endedAt(), clock_.wallDate());
            ++(action.interrupted() ? tally_.interrupted : tally_.graceFinishes);
        }
        open_.reset();
        machine_.finalised();
    }

    void checkInvariants() {
        const CaptureState state = machine_.state();
        ASSERT_NE(state, CaptureState::finalising) << "every finish was applied and reported at once";
        ASSERT_LT(machine_.partFrames(), CaptureMachine::rolloverFrames);
        if (state == CaptureState::recording || state == CaptureState::idleGrace) {
            if (machine_.segment()) {
                ASSERT_TRUE(open_) << "the machine records into a part its owner never opened";
                EXPECT_EQ(open_->segment, *machine_.segment());
                EXPECT_EQ(open_->frames, machine_.partFrames());
                EXPECT_EQ(machine_.nextFrame(), open_->segment.firstFrame + open_->frames);
            } else {
                EXPECT_FALSE(open_);
                EXPECT_EQ(machine_.partFrames(), 0);
            }
        } else {
            ASSERT_FALSE(open_) << "a part is left open in " << state;
        }
        if (state == CaptureState::debouncing) {
            ASSERT_LE(machine_.prebufferSize(), CaptureMachine::prebufferLimit);
            if (machine_.prebufferSize() > 0) {
                EXPECT_EQ(machine_.nextFrame(), machine_.firstBufferedFrame() +
                                                    static_cast<std::int64_t>(machine_.prebufferSize() / 4));
            }
        }
    }

    struct OpenPart {
        CaptureSegment segment;
        std::int64_t frames = 0;
    };

    std::mt19937 random_;
    bool mayRunLong_;
    bool ranLong_ = false;
    bool injectFailures_ = true;
    std::set<std::string>& sessions_;
    Tally& tally_;
    ManualClock clock_{5000.0, Date{790'000'000.0}};
    const test::PositionedAudio& audio_ = test::positionedAudio();
    CaptureMachine machine_{clock_, test::testAllowlist(), false, test::CountingIDs{}};
    std::int64_t position_ = 0;
    std::optional<OpenPart> open_;
    std::optional<CaptureSegment> rolledFrom_;
};

TEST(CaptureMachineProperties, RandomLivesKeepPartsWholeContiguousAndBounded) {
    Tally tally;
    for (std::uint32_t seed = 1; seed <= 4'000; ++seed) {
        // Session ids repeat across machines (each counts from 1), so the
        // uniqueness check is per machine.
        std::set<std::string> sessions;
        SimulatedOwner owner(seed, seed % 400 == 0, sessions, tally);
        for (int step = 0; step < 100; ++step) {
            owner.step();
            if (::testing::Test::HasFailure()) {
                FAIL() << "seed " << seed << ", step " << step;
            }
        }
    }
    // The random lives must actually reach the interesting places.
    EXPECT_GT(tally.parts, 1'000);
    EXPECT_GE(tally.rollovers, 3);
    EXPECT_GT(tally.interrupted, 100);
    EXPECT_GT(tally.graceFinishes, 50);
    EXPECT_GT(tally.failures, 100);
    EXPECT_GT(tally.rejectedChunks, 100);
    RecordProperty("parts", tally.parts);
    RecordProperty("rollovers", tally.rollovers);
    RecordProperty("failures", tally.failures);
}

} // namespace
} // namespace zoq
