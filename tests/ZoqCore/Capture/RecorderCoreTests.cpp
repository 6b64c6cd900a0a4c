#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "tests/TestSupport/BoundaryRecorder.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/FakeFLACEncoder.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>

namespace zoq {
namespace {

namespace fs = std::filesystem;
using test::caughtError;

constexpr const char* deviceId = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
constexpr std::int64_t chunkFrames = pcm::sampleRate / 4;

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> entries(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class RecorderCoreTest : public ::testing::Test {
protected:
    std::unique_ptr<RecorderCore> makeCore() {
        return std::make_unique<RecorderCore>(root.path(), clock,
                                              CaptureAllowlist{{"org.example.Call"}, 42, "org.zoq.Zoq"},
                                              deviceId, encoder, io);
    }

    void writePreferences(const std::string& text) {
        std::ofstream(root / RecorderCore::preferencesFileName, std::ios::binary) << text;
        fs::permissions(root / RecorderCore::preferencesFileName,
                        fs::perms::owner_read | fs::perms::owner_write);
    }

    /// One engine tick: rescan, a 250 ms chunk of the synthetic call, tick.
    void step(RecorderCore& core, bool talking = true) {
        const std::vector<ProcessActivity> activity{{4242, "org.example.Call", talking}};
        core.processes(activity);
        core.samples(test::syntheticPCM(chunkFrames, static_cast<std::uint32_t>(position + 1)), position);
        core.tick();
        position += chunkFrames;
        clock.advance(0.25);
    }

    void stepFor(RecorderCore& core, double seconds, bool talking = true) {
        for (double elapsed = 0; elapsed < seconds; elapsed += 0.25) {
            step(core, talking);
        }
    }

    test::TempDirectory root;
    ManualClock clock;
    test::FakeFLACEncoder encoder;
    std::shared_ptr<DurableIO> io = std::make_shared<DurableIO>();
    std::int64_t position = 0;
};

TEST_F(RecorderCoreTest, PreferencesFileDecidesTheStartingStateOrFailsWithoutHoldingTheLock) {
    EXPECT_EQ(makeCore()->machine().state(), CaptureState::armed) << "no file: not paused";

    struct Case {
        const char* text;
        std::optional<CaptureState> state;
        std::optional<CoreError> error;
    };
    const Case cases[] = {
        {R"({"paused":true})", CaptureState::paused, {}},
        {R"({ "paused" : false })", CaptureState::armed, {}},
        {R"({"paused":1})", {}, CoreError::invalid("boolean")},
        {R"({"paused":"true"})", {}, CoreError::invalid("boolean")},
        {R"({"paused":true,"extra":1})", {}, CoreError::invalid("closed object")},
        {R"({})", {}, CoreError::invalid("closed object")},
        {R"([true])", {}, CoreError::invalid("closed object")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        writePreferences(c.text);
        if (c.state) {
            EXPECT_EQ(makeCore()->machine().state(), *c.state);
        } else {
            EXPECT_EQ(caughtError([&] { makeCore(); }), *c.error);
        }
    }
    // Only the first 1024 bytes are read: a longer file is cut off and is no JSON.
    writePreferences(R"({"paused":true,"note":")" + std::string(2000, 'x') + "\"}");
    EXPECT_THROW(makeCore(), JSONSyntaxError);
    // A failed start never leaves the spool locked, and never rewrites the file.
    writePreferences(R"({"paused":1})");
    EXPECT_THROW(makeCore(), CoreError);
    EXPECT_EQ(fileText(root / RecorderCore::preferencesFileName), R"({"paused":1})");
    fs::remove(root / RecorderCore::preferencesFileName);
    EXPECT_NO_THROW(makeCore());
}

TEST_F(RecorderCoreTest, SecondCoreOnTheSameRootIsLockedOut) {
    const auto first = makeCore();
    EXPECT_EQ(caughtError([&] { makeCore(); }), CoreError::locked());
}

TEST_F(RecorderCoreTest, PauseWhileRecordingPersistsAndFinishesThePartAcrossLaunches) {
    auto core = makeCore();
    stepFor(*core, 3.0 + 6.0);
    ASSERT_EQ(core->machine().state(), CaptureState::recording);
    ASSERT_NE(core->active(), nullptr);
    const fs::path part = core->active()->directory();
    EXPECT_EQ(part, root / (core->machine().segment()->captureSessionId + "-0"));
    EXPECT_GT(Artifact::readManifest(part, *io).durableFrames, 0) << "tick flushes the active part";

    core->pause();
    EXPECT_EQ(fileText(root / RecorderCore::preferencesFileName), R"({"paused":true})");
    EXPECT_EQ(core->machine().state(), CaptureState::paused);
    EXPECT_EQ(core->active(), nullptr);
    ASSERT_EQ(core->completed(), std::vector<fs::path>{part});
    // Under 20 s: the part is kept as a record without audio.
    EXPECT_EQ(Artifact::readManifest(part, *io).state, ArtifactState::discardedShort);
    stepFor(*core, 4.0);
    EXPECT_EQ(core->active(), nullptr) << "paused: audio is ignored";

    core.reset();
    core = makeCore();
    EXPECT_EQ(core->machine().state(), CaptureState::paused) << "the choice survives a restart";
    const auto before = entries(root.path());
    EXPECT_EQ(core->wake(), std::vector<CaptureAction>{CaptureAction::reregisterObservers()});
    EXPECT_EQ(entries(root.path()), before) << "wake writes nothing";
    core->resume();
    EXPECT_EQ(fileText(root / RecorderCore::preferencesFileName), R"({"paused":false})");
    EXPECT_EQ(core->machine().state(), CaptureState::armed);
}

TEST_F(RecorderCoreTest, PartsOfOneSessionDifferOnlyInTheIndexSuffix) {
    // A rollover (after three hours of audio) opens the next part of the same
    // session; the machine's tests cover the split itself.
    CaptureSegment segment{"0b4f3c2a-1d2e-4f5a-8b6c-7d8e9f0a1b2c", 0, "org.example.Call", Date{800'000'000.0},
                           0};
    const fs::path first = RecorderCore::partDirectory(root.path(), segment);
    segment.partIndex = 1;
    segment.startedAt = segment.startedAt + CaptureMachine::partBoundaryOffset;
    const fs::path second = RecorderCore::partDirectory(root.path(), segment);
    EXPECT_EQ(first.filename(), "0b4f3c2a-1d2e-4f5a-8b6c-7d8e9f0a1b2c-0");
    EXPECT_EQ(second.filename(), "0b4f3c2a-1d2e-4f5a-8b6c-7d8e9f0a1b2c-1");
    EXPECT_EQ(first.parent_path(), root.path());
    segment.partIndex = 12;
    EXPECT_EQ(RecorderCore::partDirectory(root.path(), segment).filename(),
              "0b4f3c2a-1d2e-4f5a-8b6c-7d8e9f0a1b2c-12");
}

TEST_F(RecorderCoreTest, FailingActionShowsTheErrorAndIgnoresLaterAudio) {
    struct Case {
        const char* failAt;
        bool keepsActive;
    };
    // Creating the part fails (nothing active), or a later flush fails (the
    // poisoned part is kept for the owner to drop).
    for (const Case c :
         {Case{"before:manifest-commit:ALLOCATED", false}, Case{"before:manifest-commit:WRITING_WAV", false},
          Case{"before:fsync:audio.wav", true}}) {
        SCOPED_TRACE(c.failAt);
        test::TempDirectory spool;
        test::BoundaryRecorder boundaries;
        io->boundary = boundaries.hook();
        // The empty WAV is synced once at creation; fail at the first flush after it.
        boundaries.failAtName(c.failAt, c.keepsActive ? 2 : 1,
                              std::make_exception_ptr(CoreError::io("fsync", 5)));
        RecorderCore core(spool.path(), clock, CaptureAllowlist{{"org.example.Call"}, 42, "org.zoq.Zoq"},
                          deviceId, encoder, io);
        position = 0;
        EXPECT_EQ(caughtError([&] { stepFor(core, 3.0 + 6.0); }), CoreError::io("fsync", 5));
        EXPECT_EQ(core.machine().state(), CaptureState::errorVisible);
        EXPECT_EQ(core.active() != nullptr, c.keepsActive);
        // Audio is ignored until the owner drops the core; a kept, poisoned part
        // refuses its periodic flush, which the owner sees as the same failure.
        const std::vector<ProcessActivity> activity{{4242, "org.example.Call", true}};
        const Bytes chunk(chunkFrames * pcm::bytesPerFrame, 0);
        const std::int64_t written = c.keepsActive ? core.active()->writtenFrames() : 0;
        EXPECT_NO_THROW(core.processes(activity));
        EXPECT_NO_THROW(core.samples(chunk, position));
        if (c.keepsActive) {
            EXPECT_EQ(core.active()->writtenFrames(), written);
            EXPECT_EQ(caughtError([&] { core.tick(); }), CoreError::invalidState());
        } else {
            EXPECT_NO_THROW(core.tick());
        }
        EXPECT_EQ(core.machine().state(), CaptureState::errorVisible);
        EXPECT_TRUE(core.completed().empty());
        io->boundary = {};
    }
}

} // namespace
} // namespace zoq
