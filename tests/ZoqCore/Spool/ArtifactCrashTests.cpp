#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/PCM.h"
#include "tests/TestSupport/BoundaryRecorder.h"
#include "tests/TestSupport/InterruptedCreation.h"
#include "tests/TestSupport/PowerLossModel.h"
#include "tests/ZoqCore/Spool/ArtifactTestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <system_error>

namespace zoq::test {
namespace {

/// The sweep writes thousands of fsyncs; on tmpfs they cost nothing, and the
/// power-loss model, not the disk, decides what survives a crash.
class ScratchRoot {
public:
    ScratchRoot() {
        const std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::string pattern = (base / "zoq-sweep-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~ScratchRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

enum class Lifecycle { publish, discard };

constexpr std::int64_t chunkFrames = 16'000 * 7;

/// Audio for the whole lifecycle, made once.
const Bytes& lifecycleAudio() {
    static const Bytes audio = syntheticPCM(3 * chunkFrames + 16'000, 11);
    return audio;
}

/// Watches the boundaries of one run for the promises that must hold at every
/// step, and remembers what was committed.
class Watch {
public:
    Watch(std::filesystem::path directory, const FLACEncoder& encoder)
        : directory_(std::move(directory)), encoder_(encoder) {}

    std::int64_t committedFrames = 0;
    std::optional<ArtifactState> committedState;

    void observe(const std::string& name) {
        if (name.rfind("after:manifest-commit:", 0) == 0) {
            const ArtifactManifest manifest = onDisk();
            committedFrames = std::max(committedFrames, manifest.durableFrames);
            committedState = manifest.state;
        } else if (name == "after:rename:audio.flac") {
            const ArtifactManifest manifest = onDisk();
            const DecodedAudio decoded = encoder_.inspect(directory_ / Artifact::flacName);
            EXPECT_EQ(decoded.frames, manifest.durableFrames) << "published unverified";
            EXPECT_EQ(decoded.pcmSHA256, prefixHash(lifecycleAudio(), manifest.durableFrames));
        } else if (name == "before:unlink:audio.wav") {
            const ArtifactState state = onDisk().state;
            EXPECT_TRUE(state != ArtifactState::allocated && state != ArtifactState::writingWAV &&
                        state != ArtifactState::finalisingFLAC)
                << "WAV removed in " << rawValue(state);
        }
    }

private:
    ArtifactManifest onDisk() const { return Artifact::readManifest(directory_, DurableIO()); }

    std::filesystem::path directory_;
    const FLACEncoder& encoder_;
};

void runLifecycle(Lifecycle kind, const std::filesystem::path& directory, ManualClock& clock,
                  const std::shared_ptr<DurableIO>& io, const FLACEncoder& encoder) {
    const Bytes& audio = lifecycleAudio();
    const auto artifact = Artifact::create(directory, testSegment(), testDevice, clock, io);
    const int chunks = kind == Lifecycle::publish ? 3 : 2;
    for (int i = 0; i < chunks; ++i) {
        clock.advance(7);
        artifact->append(ByteView(audio.data() + i * chunkFrames * 4, chunkFrames * 4));
    }
    clock.advance(1); // one more second, made durable only by finalise
    artifact->append(ByteView(audio.data() + chunks * chunkFrames * 4, 16'000 * 4));
    const std::int64_t frames = chunks * chunkFrames + 16'000;
    artifact->finalise(encoder, testSegment().startedAt + static_cast<double>(frames) / 16'000.0, false);
    if (kind == Lifecycle::publish) {
        artifact->commit(storedManifest(artifact->manifest()));
        artifact->cleanup(false);
    }
}

std::vector<std::string> boundaryNames(Lifecycle kind, const FLACEncoder& encoder) {
    const ScratchRoot root;
    ManualClock clock;
    BoundaryRecorder recorder;
    runLifecycle(kind, root.path() / "part", clock, std::make_shared<DurableIO>(INT64_MAX, recorder.hook()),
                 encoder);
    return recorder.names();
}

struct Tally {
    int recovered = 0;
    int quarantined = 0;
    int vanished = 0;
};

/// Runs the lifecycle with a crash at boundary call `k` (optionally followed
/// by a power cut) and recovers `passes` times: the first recovery must keep
/// every promise, a second must change nothing.
void crashAt(std::size_t k, Lifecycle kind, const FLACEncoder& encoder, bool powerLoss, int passes,
             Tally& tally) {
    SCOPED_TRACE("crash at call " + std::to_string(k) + (powerLoss ? " with power loss" : ""));
    const ScratchRoot root;
    const std::filesystem::path directory = root.path() / "part";
    ManualClock clock;
    BoundaryRecorder recorder;
    recorder.failAtCall(k);
    Watch watch(directory, encoder);
    PowerLossModel model(directory);
    const BoundaryRecorder::Hook crash = recorder.hook();
    const auto io = std::make_shared<DurableIO>(INT64_MAX, [&](const std::string& name) {
        watch.observe(name);
        if (powerLoss) {
            model.observe(name);
        }
        crash(name);
    });
    EXPECT_THROW(runLifecycle(kind, directory, clock, io, encoder), SimulatedCrash);
    if (powerLoss) {
        model.crash();
    }

    if (!std::filesystem::exists(directory)) {
        EXPECT_FALSE(watch.committedState) << "a committed directory vanished";
        ++tally.vanished;
        return;
    }
    // What the crashed run committed; recovery's own commits come on top.
    const std::int64_t committedFrames = watch.committedFrames;
    const std::optional<ArtifactManifest> leftBehind = manifestLeftBehind(directory);
    const auto recoveryIO =
        std::make_shared<DurableIO>(INT64_MAX, [&](const std::string& name) { watch.observe(name); });
    std::optional<ArtifactManifest> first;
    for (int pass = 0; pass < passes; ++pass) {
        RecoveryResult result = Artifact::recover(directory, clock, encoder, recoveryIO);
        if (result.isQuarantined()) {
            // Only a part whose creation was cut short may be beyond repair.
            expectInterruptedCreation(directory, leftBehind ? std::optional(leftBehind->state) : std::nullopt,
                                      result.reason());
            tally.quarantined += pass == 0 ? 1 : 0;
            continue;
        }
        const ArtifactManifest manifest = result.artifact().manifest();
        if (pass == 1) {
            EXPECT_EQ(manifest, first) << "recovery is not idempotent";
            continue;
        }
        first = manifest;
        ++tally.recovered;
        EXPECT_GE(manifest.durableFrames, committedFrames) << "durable audio lost";
        EXPECT_EQ(manifest.durablePCMHash, prefixHash(lifecycleAudio(), manifest.durableFrames));
        const bool hasWAV = std::filesystem::exists(directory / Artifact::wavName);
        const bool hasFLAC = std::filesystem::exists(directory / Artifact::flacName);
        EXPECT_FALSE(hasWAV);
        switch (manifest.state) {
        case ArtifactState::ready:
        case ArtifactState::stored: {
            ASSERT_TRUE(hasFLAC || manifest.state == ArtifactState::stored);
            if (hasFLAC) {
                const DecodedAudio decoded = encoder.inspect(directory / Artifact::flacName);
                EXPECT_EQ(decoded.frames, manifest.durableFrames);
                EXPECT_EQ(decoded.pcmSHA256, manifest.durablePCMHash);
            }
            break;
        }
        case ArtifactState::cleaned:
            EXPECT_FALSE(hasFLAC);
            break;
        case ArtifactState::discardedShort:
            EXPECT_LT(committedFrames, pcm::minimumPartFrames);
            EXPECT_FALSE(hasFLAC);
            break;
        default:
            ADD_FAILURE() << "recovered into " << rawValue(manifest.state);
        }
    }
}

TEST(ArtifactCrashSweep, EveryBoundaryOfTheLifecycleRecovers) {
    const FakeFLACEncoder encoder;
    for (const Lifecycle kind : {Lifecycle::publish, Lifecycle::discard}) {
        const std::size_t count = boundaryNames(kind, encoder).size();
        for (const bool powerLoss : {false, true}) {
            Tally tally;
            for (std::size_t k = 0; k < count; ++k) {
                crashAt(k, kind, encoder, powerLoss, 2, tally);
            }
            std::cout << (kind == Lifecycle::publish ? "publish" : "discard")
                      << (powerLoss ? " + power loss" : "") << ": N = " << count << ", recovered "
                      << tally.recovered << ", quarantined " << tally.quarantined << ", vanished "
                      << tally.vanished << "\n";
            EXPECT_EQ(tally.recovered + tally.quarantined + tally.vanished, static_cast<int>(count));
        }
    }
}

TEST(ArtifactCrashSweep, ThePublishSectionRecoversThroughRealFFmpeg) {
    const FFmpegFLACEncoder ffmpeg;
    const std::vector<std::string> names = boundaryNames(Lifecycle::publish, ffmpeg);
    const auto at = [&](const std::string& name) {
        return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    // From the encode to the end of publication; the fake encoder's sweep
    // covers the rest, and idempotency.
    const std::size_t from = at("after:manifest-commit:FINALISING_FLAC");
    const std::size_t to = at("before:manifest-commit:STORED");
    ASSERT_LT(from, to);
    for (const bool powerLoss : {false, true}) {
        Tally tally;
        for (std::size_t k = from; k < to; ++k) {
            crashAt(k, Lifecycle::publish, ffmpeg, powerLoss, 1, tally);
        }
        EXPECT_EQ(tally.recovered, static_cast<int>(to - from));
    }
}

} // namespace
} // namespace zoq::test
