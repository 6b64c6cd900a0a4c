#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/ZoqCore/Spool/ArtifactTestSupport.h"

#include <gtest/gtest.h>

namespace zoq::test {
namespace {

class ArtifactLifecycle : public ArtifactTest {};

TEST_F(ArtifactLifecycle, CreateChecksItsInputBeforeTouchingTheDisk) {
    CaptureSegment segment = testSegment();
    EXPECT_EQ(caughtError([&] { Artifact::create(directory, segment, "not-a-uuid", clock, io); }),
              CoreError::invalid("format"));
    segment.partIndex = -1;
    EXPECT_EQ(caughtError([&] { Artifact::create(directory, segment, testDevice, clock, io); }),
              CoreError::invalid("capture"));
    segment = testSegment();
    segment.startedAt = Date{4e11};
    EXPECT_EQ(caughtError([&] { Artifact::create(directory, segment, testDevice, clock, io); }),
              CoreError::invalid("capture"));
    segment = testSegment();
    segment.app = "";
    EXPECT_EQ(caughtError([&] { Artifact::create(directory, segment, testDevice, clock, io); }),
              CoreError::invalid("string length"));
    EXPECT_FALSE(io->exists(directory));

    const auto artifact = create();
    EXPECT_EQ(artifact->manifest().state, ArtifactState::writingWAV);
    EXPECT_EQ(artifact->manifest().durablePCMHash, SHA256::hex(ByteView()));
    EXPECT_EQ(io->read(artifact->wav(), 0), pcm::wavHeader(0));
    EXPECT_EQ(caughtError([&] { create(); }), CoreError::io("mkdir capture", EEXIST));
}

TEST_F(ArtifactLifecycle, FlushMakesAPrefixDurableWithTheSameHashAsAFullRead) {
    const auto artifact = create();
    EXPECT_EQ(caughtError([&] { artifact->append(Bytes(6)); }), CoreError::invalidState());
    EXPECT_EQ(io->size(artifact->wav()), 44);

    write(*artifact, 16'000 * 12 + 5); // two timed flushes, then 2 s that are not yet durable
    EXPECT_EQ(artifact->manifest().durableFrames, 16'000 * 10);
    EXPECT_EQ(artifact->writtenFrames(), 16'000 * 12 + 5);
    artifact->flush();
    const ArtifactManifest& manifest = artifact->manifest();
    EXPECT_EQ(manifest.durableFrames, artifact->writtenFrames());
    EXPECT_EQ(manifest.durablePCMHash, prefixHash(written, manifest.durableFrames));
    EXPECT_EQ(manifest.durablePCMHash, io->hash(artifact->wav(), 44, manifest.durableFrames * 4));
    EXPECT_EQ(io->read(artifact->wav(), 0, 44), pcm::wavHeader(manifest.durableFrames));
    EXPECT_EQ(Artifact::readManifest(directory, *io), manifest);
}

// The minimum length is for calls: a part that ended by interruption, or a
// later part of its session, is a piece of a call and is kept however short.
TEST_F(ArtifactLifecycle, ShortCallsAreDiscardedButNoPieceOfACallIs) {
    struct Case {
        std::int64_t frames;
        bool interrupted;
        std::int64_t partIndex;
        bool published;
    };
    for (const Case c :
         {Case{319'999, false, 0, false}, Case{320'000, true, 0, true}, Case{319'999, true, 0, true},
          Case{16'000, false, 1, true}, Case{0, true, 2, false}}) {
        SCOPED_TRACE(testing::Message()
                     << c.frames << " frames, interrupted " << c.interrupted << ", part " << c.partIndex);
        written.clear();
        std::filesystem::remove_all(directory);
        CaptureSegment segment = testSegment();
        segment.partIndex = c.partIndex;
        const auto artifact = Artifact::create(directory, segment, testDevice, clock, io);
        write(*artifact, c.frames);
        DurableIO().write(directory / "decode-1b4e28ba-2fa1-41d2-883f-0016d3cca427.pcm", Bytes(3), 0, true,
                          false);
        DurableIO().write(directory / "decode-not-a-uuid-at-all-but-still-36chars.pcm", Bytes(3), 0, true,
                          false);
        artifact->finalise(encoder, endOf(c.frames), c.interrupted);
        const ArtifactManifest& manifest = artifact->manifest();
        EXPECT_FALSE(io->exists(artifact->wav()));
        EXPECT_TRUE(io->exists(directory / "decode-not-a-uuid-at-all-but-still-36chars.pcm"));
        // What was written reads back as valid, for recovery and the uploader.
        EXPECT_EQ(Artifact::readManifest(directory, *io), manifest);
        if (!c.published) {
            EXPECT_EQ(manifest.state, ArtifactState::discardedShort);
            EXPECT_FALSE(io->exists(artifact->flac()));
            EXPECT_FALSE(io->exists(directory / "decode-1b4e28ba-2fa1-41d2-883f-0016d3cca427.pcm"));
            continue;
        }
        EXPECT_EQ(manifest.state, ArtifactState::ready);
        EXPECT_EQ(encoder.inspect(artifact->flac()).pcmSHA256, prefixHash(written, c.frames));
        EXPECT_EQ(manifest.metadata->json().find("interrupted")->boolean(), c.interrupted);
        if (c.frames != 320'000) {
            continue;
        }
        const JSONValue& metadata = manifest.metadata->json();
        EXPECT_EQ(metadata.object()->size(), 15U);
        EXPECT_EQ(*metadata.find("startedAt")->string(), "2026-05-09T06:13:20.000Z");
        EXPECT_EQ(*metadata.find("endedAt")->string(), "2026-05-09T06:13:40.000Z");
        EXPECT_EQ(manifest.metadata->sha256(), io->hash(artifact->flac(), 0));
        EXPECT_EQ(manifest.metadata->byteSize(), io->size(artifact->flac()));
        EXPECT_EQ(metadata.find("interrupted")->boolean(), true);
        EXPECT_EQ(caughtError([&] { artifact->append(Bytes(4)); }), CoreError::invalidState());
    }
}

TEST_F(ArtifactLifecycle, AnEncoderThatLiesNeverPublishes) {
    using Mode = FakeFLACEncoder::Mode;
    const std::pair<Mode, CoreError> faults[] = {
        {Mode::oneFrameFewer, CoreError::corrupt("FLAC decode mismatch")},
        {Mode::wrongHash, CoreError::corrupt("FLAC decode mismatch")},
        {Mode::throws, CoreError::processFailed(1)},
        {Mode::slow, CoreError::deadline()},
    };
    for (const auto& [mode, expected] : faults) {
        std::filesystem::remove_all(directory);
        written.clear();
        auto artifact = create();
        write(*artifact, 320'000);
        encoder.mode = mode;
        EXPECT_EQ(caughtError([&] { artifact->finalise(encoder, endOf(320'000), false); }), expected);
        EXPECT_TRUE(artifact->poisoned());
        EXPECT_FALSE(io->exists(artifact->flac()));
        EXPECT_TRUE(io->exists(artifact->wav()));
        artifact.reset();

        // The next attempt starts over from the WAV, replacing the stale output.
        encoder.mode = Mode::faithful;
        RecoveryResult result = Artifact::recover(directory, clock, encoder, io);
        ASSERT_TRUE(result.isRecovered()) << result.reason();
        EXPECT_EQ(result.artifact().manifest().state, ArtifactState::ready);
        EXPECT_FALSE(io->exists(directory / Artifact::temporaryFLACName));
    }
}

TEST_F(ArtifactLifecycle, CleanupNeedsABoundReceiptAndThenRemovesTheAudio) {
    const auto artifact = published();
    EXPECT_EQ(caughtError([&] { artifact->cleanup(false); }), CoreError::invalidState());
    artifact->commit(storedManifest(artifact->manifest()));
    const ArtifactManifest stored = artifact->manifest();
    artifact->cleanup(true);
    EXPECT_EQ(artifact->manifest(), stored);
    EXPECT_TRUE(io->exists(artifact->flac()));

    artifact->cleanup(false);
    EXPECT_EQ(artifact->manifest().state, ArtifactState::cleaned);
    EXPECT_EQ(artifact->manifest().queue.stage, QueueStage::done);
    EXPECT_FALSE(io->exists(artifact->flac()));
    EXPECT_EQ(Artifact::readManifest(directory, *io), artifact->manifest());
}

TEST_F(ArtifactLifecycle, RebaseRebindsTheUploadToANewDevice) {
    const auto artifact = published();
    EXPECT_EQ(caughtError([&] { artifact->rebaseUploadIntent(testUpload); }), CoreError::invalidState());
    ArtifactManifest blocked = artifact->manifest();
    blocked.state = ArtifactState::blockedAuth;
    blocked.queue.stage = QueueStage::blockedAuth;
    blocked.queue.generation = 4;
    artifact->commit(blocked);
    EXPECT_EQ(caughtError([&] { artifact->rebaseUploadIntent("x"); }), CoreError::invalid("format"));

    artifact->rebaseUploadIntent(testUpload);
    EXPECT_EQ(artifact->manifest().deviceId, testUpload);
    EXPECT_EQ(artifact->manifest().metadata->deviceId(), testUpload);
    EXPECT_EQ(artifact->manifest().state, ArtifactState::ready);
    EXPECT_EQ(artifact->manifest().queue, QueueRecord::fresh());
}

TEST_F(ArtifactLifecycle, PublishesThroughRealFFmpeg) {
    const FFmpegFLACEncoder ffmpeg;
    const auto artifact = create();
    write(*artifact, 320'000 + 123);
    artifact->finalise(ffmpeg, endOf(320'123), false);
    EXPECT_EQ(artifact->manifest().state, ArtifactState::ready);
    EXPECT_EQ(ffmpeg.inspect(artifact->flac()).pcmSHA256, prefixHash(written, 320'123));
}

} // namespace
} // namespace zoq::test
