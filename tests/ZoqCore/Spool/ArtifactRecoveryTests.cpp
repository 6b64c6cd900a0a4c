#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/ZoqCore/Spool/ArtifactTestSupport.h"

#include <gtest/gtest.h>

namespace zoq::test {
namespace {

class ArtifactRecovery : public ArtifactTest {
protected:
    RecoveryResult recover() { return Artifact::recover(directory, clock, encoder, io); }

    /// Recovers a directory that must end quarantined; checks that a second
    /// recovery says the same and returns the reason.
    std::string quarantineReason() {
        const RecoveryResult first = recover();
        EXPECT_TRUE(first.isQuarantined());
        const RecoveryResult second = recover();
        EXPECT_EQ(second.reason(), first.reason());
        return first.reason();
    }
};

TEST_F(ArtifactRecovery, AnUnreadableManifestGetsAMarkerAndIsLeftAsItIs) {
    std::filesystem::create_directory(directory);
    EXPECT_EQ(quarantineReason(), R"(io("open manifest.json", 2))");
    EXPECT_EQ(textOf(io->read(directory / Artifact::quarantineName, 0)),
              "QUARANTINED: invalid or absent manifest\n");

    const std::string garbage = "{\"checksum\":";
    DurableIO().write(directory / Artifact::manifestName, viewOf(garbage), 0, true, false);
    EXPECT_EQ(quarantineReason().rfind("json: ", 0), 0U);
    EXPECT_EQ(textOf(io->read(directory / Artifact::manifestName, 0)), garbage);
}

TEST_F(ArtifactRecovery, RebuildsFromTheDurablePrefixAndDropsTheRest) {
    for (const std::int64_t seconds : {25, 15}) {
        std::filesystem::remove_all(directory);
        written.clear();
        auto artifact = create();
        write(*artifact, 16'000 * seconds);
        artifact->flush();
        write(*artifact, 16'000 * 3 - 1); // written, never flushed
        artifact.reset();

        RecoveryResult result = recover();
        ASSERT_TRUE(result.isRecovered()) << result.reason();
        const ArtifactManifest& manifest = result.artifact().manifest();
        EXPECT_TRUE(manifest.interrupted);
        EXPECT_EQ(manifest.endedAt, endOf(16'000 * seconds));
        EXPECT_FALSE(io->exists(directory / Artifact::wavName));
        // Cut short by the crash, not by the call: published however short.
        EXPECT_EQ(manifest.state, ArtifactState::ready);
        EXPECT_EQ(encoder.inspect(directory / Artifact::flacName).pcmSHA256,
                  prefixHash(written, 16'000 * seconds));
        {
            const RecoveryResult released = std::move(result); // and with it the lock
        }
        EXPECT_TRUE(recover().isRecovered()) << "a short published piece reads as corrupt";
    }
}

TEST_F(ArtifactRecovery, QuarantinesAWAVThatLostDurableAudio) {
    const auto damage = [&](const std::function<void()>& edit, const std::string& reason) {
        std::filesystem::remove_all(directory);
        auto artifact = create();
        write(*artifact, 16'000 * 21);
        artifact->flush();
        artifact.reset();
        edit();
        EXPECT_EQ(quarantineReason(), reason);
        const ArtifactManifest manifest = Artifact::readManifest(directory, *io);
        EXPECT_EQ(manifest.state, ArtifactState::quarantined);
        EXPECT_EQ(manifest.error, reason);
        EXPECT_TRUE(io->exists(directory / Artifact::wavName)); // never deleted
    };
    const std::filesystem::path wav = directory / Artifact::wavName;
    damage([&] { DurableIO().write(wav, Bytes{0x5a}, 44 + 16'000 * 4, false, false); },
           R"(corrupt("durable watermark data missing or changed"))");
    damage([&] { DurableIO().truncate(wav, 44 + 16'000 * 21 * 4 - 1); },
           R"(corrupt("durable watermark data missing or changed"))");
    damage([&] { DurableIO().write(wav, Bytes{'X'}, 8, false, false); }, R"(corrupt("WAV format"))");
    damage([&] { DurableIO().write(directory / Artifact::flacName, Bytes(4), 0, true, false); },
           R"(corrupt("unexpected FLAC"))");
}

TEST_F(ArtifactRecovery, RechecksPublishedFilesAndReleasesStaleLeases) {
    auto artifact = published();
    ArtifactManifest leased = artifact->manifest();
    leased.queue.leased = true;
    leased.queue.generation = 7;
    artifact->commit(leased);
    artifact.reset();

    RecoveryResult result = recover();
    ASSERT_TRUE(result.isRecovered()) << result.reason();
    EXPECT_EQ(result.artifact().manifest().queue.generation, 8);
    EXPECT_FALSE(result.artifact().manifest().queue.leased);
    EXPECT_EQ(result.artifact().manifest().state, ArtifactState::ready);

    // With an identity bound the upload resumes by asking the portal.
    leased = result.artifact().manifest();
    leased.queue.leased = true;
    leased.queue.identity = UploadIdentity{testUpload, testRecording, {}};
    result.artifact().commit(leased);
    EXPECT_EQ(caughtError([&] { recover(); }), CoreError::locked());
    result = RecoveryResult::quarantined("released");
    result = recover();
    EXPECT_EQ(result.artifact().manifest().state, ArtifactState::verifyingRemote);
    EXPECT_EQ(result.artifact().manifest().queue.stage, QueueStage::verifying);
}

TEST_F(ArtifactRecovery, FinishesAnInterruptedPublishAndJudgesLeftoverFiles) {
    // The FLAC was renamed into place, then the process died before READY.
    auto artifact = create();
    write(*artifact, 320'000);
    io->boundary = [](const std::string& name) {
        if (name == "before:manifest-commit:READY") {
            throw CoreError::io("simulated", 5);
        }
    };
    EXPECT_THROW(artifact->finalise(encoder, endOf(320'000), false), CoreError);
    io->boundary = nullptr;
    artifact.reset();
    const Bytes wav = io->read(directory / Artifact::wavName, 0);
    RecoveryResult result = recover();
    ASSERT_TRUE(result.isRecovered()) << result.reason();
    EXPECT_EQ(result.artifact().manifest().state, ArtifactState::ready);
    EXPECT_FALSE(io->exists(directory / Artifact::wavName));

    // A WAV reappearing beside the published FLAC must be the durable one.
    ArtifactManifest stored = storedManifest(result.artifact().manifest());
    result.artifact().commit(stored);
    result = RecoveryResult::quarantined("released");
    Bytes other = wav;
    other[100] ^= 1;
    DurableIO().write(directory / Artifact::wavName, other, 0, true, false);
    EXPECT_EQ(quarantineReason(), R"(corrupt("conflicting WAV"))");
}

TEST_F(ArtifactRecovery, TrustsAStoredRecordingWithoutItsAudio) {
    auto artifact = published();
    artifact->commit(storedManifest(artifact->manifest()));
    io->remove(artifact->flac());
    artifact.reset();
    const int inspections = encoder.inspections;
    RecoveryResult result = recover();
    ASSERT_TRUE(result.isRecovered());
    EXPECT_EQ(result.artifact().manifest().state, ArtifactState::stored);
    EXPECT_EQ(encoder.inspections, inspections);
}

TEST_F(ArtifactRecovery, ADecoderThatCannotRunLeavesAPublishedRecordingAlone) {
    const FFmpegFLACEncoder ffmpeg;
    auto artifact = create();
    write(*artifact, 16'000 * 21);
    artifact->finalise(ffmpeg, clock.wallDate(), false);
    artifact.reset();
    const ArtifactManifest before = Artifact::readManifest(directory, *io);

    // ffmpeg missing, stalled past its deadline, or killed by a signal: none of
    // these is a finding about the recording.
    const std::filesystem::path stalled = directory.parent_path() / "stalled-ffmpeg";
    const std::filesystem::path killed = directory.parent_path() / "killed-ffmpeg";
    io->write(stalled, bytesOf("#!/bin/sh\nexec sleep 30\n"), 0, true, false);
    io->write(killed, bytesOf("#!/bin/sh\nkill -9 $$\n"), 0, true, false);
    std::filesystem::permissions(stalled, std::filesystem::perms::owner_all);
    std::filesystem::permissions(killed, std::filesystem::perms::owner_all);
    const struct {
        FFmpegFLACEncoder decoder;
        CoreError expected;
    } cases[] = {
        {FFmpegFLACEncoder("/nonexistent/ffmpeg"), CoreError::io("spawn", ENOENT)},
        {FFmpegFLACEncoder(stalled, 0.2), CoreError::deadline()},
        {FFmpegFLACEncoder(killed), CoreError::processFailed(-9)},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(caughtError([&] { Artifact::recover(directory, clock, each.decoder, io); }), each.expected);
        EXPECT_EQ(Artifact::readManifest(directory, *io), before);
    }

    const RecoveryResult result = Artifact::recover(directory, clock, ffmpeg, io);
    ASSERT_TRUE(result.isRecovered()) << result.reason();
    EXPECT_EQ(result.artifact().manifest().state, ArtifactState::ready);
}

TEST_F(ArtifactRecovery, RecoversThroughRealFFmpeg) {
    const FFmpegFLACEncoder ffmpeg;
    auto artifact = create();
    write(*artifact, 16'000 * 21);
    artifact->flush();
    artifact.reset();
    RecoveryResult result = Artifact::recover(directory, clock, ffmpeg, io);
    ASSERT_TRUE(result.isRecovered()) << result.reason();
    EXPECT_EQ(ffmpeg.inspect(directory / Artifact::flacName).pcmSHA256, prefixHash(written, 16'000 * 21));
    result = RecoveryResult::quarantined("released");
    // Re-verification of the published file decodes it again.
    EXPECT_TRUE(Artifact::recover(directory, clock, ffmpeg, io).isRecovered());
}

} // namespace
} // namespace zoq::test
