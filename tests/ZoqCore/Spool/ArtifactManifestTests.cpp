#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/ZoqCore/Spool/ArtifactTestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace zoq::test {
namespace {

std::string fileText(const std::filesystem::path& path) {
    return textOf(DurableIO().read(path, 0));
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    DurableIO().atomic(viewOf(text), path);
}

TEST(WAVHeader, WritesTheCanonicalHeaderAndChecksEveryByteButTheSizes) {
    const Bytes header = pcm::wavHeader(1000);
    ASSERT_EQ(header, canonicalWAVHeader(4000));
    EXPECT_EQ(caughtError([] { pcm::wavHeader(-1); }), CoreError::invalid("WAV frames"));
    EXPECT_EQ(caughtError([] { pcm::wavHeader(pcm::maximumPartFrames + 1); }),
              CoreError::invalid("WAV frames"));
    EXPECT_NO_THROW(pcm::wavHeader(pcm::maximumPartFrames));

    Bytes sizes = header;
    sizes[4] ^= 0xff;
    sizes[43] ^= 0xff;
    EXPECT_NO_THROW(pcm::validateHeader(sizes));
    EXPECT_EQ(caughtError([&] { pcm::validateHeader(ByteView(header.data(), 43)); }),
              CoreError::corrupt("WAV header length"));
    for (const std::size_t at : {0, 8, 20, 22, 24, 34, 36}) {
        Bytes changed = header;
        changed[at] ^= 0x01;
        EXPECT_EQ(caughtError([&] { pcm::validateHeader(changed); }), CoreError::corrupt("WAV format")) << at;
    }
}

class ManifestRead : public ArtifactTest {};

TEST_F(ManifestRead, AcceptsReorderedAndPrettyPrintedFilesButNoChangedDigit) {
    const auto artifact = create();
    write(*artifact, 16'000 * 6);
    artifact->flush();
    const ArtifactManifest manifest = artifact->manifest();
    EXPECT_EQ(Artifact::readManifest(directory, *io), manifest);

    // The checksum covers the canonical re-encoding, not the stored bytes.
    const std::string body = textOf(Artifact::encode(manifest));
    std::string pretty;
    for (const char c : body) {
        pretty += c;
        if (c == ',' || c == '{') {
            pretty += "\n    ";
        }
    }
    const std::string checksum = SHA256::hex(viewOf(body));
    writeText(directory / Artifact::manifestName,
              "{\n  \"manifest\": " + pretty + ",\n  \"checksum\": \"" + checksum + "\"\n}\n");
    EXPECT_EQ(Artifact::readManifest(directory, *io), manifest);

    std::string text = fileText(directory / Artifact::manifestName);
    const std::size_t digit = text.find("\"durableFrames\":") + 16;
    text[digit] = text[digit] == '9' ? '8' : static_cast<char>(text[digit] + 1);
    writeText(directory / Artifact::manifestName, text);
    EXPECT_EQ(caughtError([&] { Artifact::readManifest(directory, *io); }),
              CoreError::corrupt("manifest checksum"));
}

TEST_F(ManifestRead, ReadsOneMebibyteAndRefusesOneByteMore) {
    const auto artifact = create();
    const std::string canonical = fileText(directory / Artifact::manifestName);
    const std::string atCap = canonical + std::string(1'048'576 - canonical.size(), ' ');
    writeText(directory / Artifact::manifestName, atCap);
    EXPECT_EQ(Artifact::readManifest(directory, *io), artifact->manifest());
    writeText(directory / Artifact::manifestName, atCap + " ");
    EXPECT_EQ(caughtError([&] { Artifact::readManifest(directory, *io); }),
              CoreError::corrupt("manifest too large"));

    writeText(directory / Artifact::manifestName, "{\"checksum\": ");
    EXPECT_THROW(Artifact::readManifest(directory, *io), JSONSyntaxError);
    writeText(directory / Artifact::manifestName, "{\"checksum\":\"00\",\"manifest\":{},\"extra\":1}");
    EXPECT_EQ(caughtError([&] { Artifact::readManifest(directory, *io); }),
              CoreError::corrupt("manifest decoding"));
}

TEST_F(ManifestRead, AppliesEveryRuleWithItsOwnReason) {
    const auto artifact = published();
    const ArtifactManifest ready = artifact->manifest();
    const JSONValue single =
        JSONValue::Object{{"mode", "multipart"}, {"partSizeBytes", 16'777'216}, {"partCount", 2}};
    struct Case {
        const char* name;
        std::function<void(ArtifactManifest&)> edit;
        CoreError expected;
    };
    const Case cases[] = {
        {"version", [](auto& m) { m.version = 2; }, CoreError::corrupt("manifest invariants")},
        {"wav path", [](auto& m) { m.wavPath = "../audio.wav"; }, CoreError::corrupt("manifest invariants")},
        {"frames", [](auto& m) { m.durableFrames = pcm::maximumPartFrames + 1; },
         CoreError::corrupt("manifest invariants")},
        {"failures", [](auto& m) { m.queue.failures = 1'000'001; },
         CoreError::corrupt("manifest invariants")},
        {"end", [](auto& m) { m.endedAt = m.capture.startedAt - 1; },
         CoreError::corrupt("manifest invariants")},
        {"hash case",
         [](auto& m) {
             m.durablePCMHash[0] = 'A';
             m.durablePCMHash[1] = 'B';
         },
         CoreError::invalid("format")},
        {"device", [](auto& m) { m.deviceId = "device"; }, CoreError::invalid("format")},
        {"binding", [](auto& m) { m.capture.partIndex = 1; }, CoreError::corrupt("metadata binding")},
        {"binding end", [](auto& m) { m.endedAt = *m.endedAt + 1; }, CoreError::corrupt("metadata binding")},
        {"identity",
         [](auto& m) {
             m.queue.identity = UploadIdentity{"x", testRecording, {}};
         },
         CoreError::invalid("format")},
        {"part count", [&](auto& m) { m.queue.transfer = single; },
         CoreError::corrupt("manifest part count")},
        {"parts",
         [](auto& m) {
             m.queue.completedParts = {JSONValue::Object{{"partNumber", 1}, {"etag", "e"}}};
         },
         CoreError::corrupt("parts without attempt")},
        {"short upload", [](auto& m) { m.durableFrames = 319'999; },
         CoreError::corrupt("upload state without finalized metadata")},
        {"transfer", [](auto& m) { m.queue.stage = QueueStage::transferring; },
         CoreError::corrupt("transfer state without identity")},
        {"verify", [](auto& m) { m.queue.stage = QueueStage::verifying; },
         CoreError::corrupt("verify state without identity")},
        {"receipt", [](auto& m) { m.state = ArtifactState::stored; },
         CoreError::corrupt("missing stored receipt")},
        {"receipt binding",
         [](auto& m) {
             m = storedManifest(m);
             m.queue.identity->uploadId = testAttempt;
         },
         CoreError::corrupt("receipt binding")},
        {"short discard", [](auto& m) { m.state = ArtifactState::discardedShort; },
         CoreError::corrupt("invalid short discard")},
    };
    for (const Case& c : cases) {
        ArtifactManifest edited = ready;
        c.edit(edited);
        writeManifest(directory, edited);
        EXPECT_EQ(caughtError([&] { Artifact::readManifest(directory, *io); }), c.expected) << c.name;
    }
    // A short part may be discarded; at 320 000 frames it may not.
    ArtifactManifest discarded = ready;
    discarded.metadata.reset();
    discarded.state = ArtifactState::discardedShort;
    discarded.durableFrames = 319'999;
    writeManifest(directory, discarded);
    EXPECT_NO_THROW(Artifact::readManifest(directory, *io));
    discarded.durableFrames = 320'000;
    writeManifest(directory, discarded);
    EXPECT_EQ(caughtError([&] { Artifact::readManifest(directory, *io); }),
              CoreError::corrupt("invalid short discard"));
}

TEST_F(ManifestRead, MatchesOnlyAReceiptForThisFileAndIdentity) {
    const auto artifact = published();
    const ArtifactManifest stored = storedManifest(artifact->manifest());
    const UploadStatusResponse& receipt = *stored.receipt;
    EXPECT_TRUE(Artifact::matches(receipt, stored));

    const auto variant = [&](const char* key, JSONValue value) {
        JSONValue::Object object = *receipt.json().object();
        object[key] = std::move(value);
        return UploadStatusResponse::fromJSON(object);
    };
    const JSONValue otherFile = JSONValue::Object{{"sha256", std::string(64, 'a')},
                                                  {"byteSize", stored.metadata->byteSize()},
                                                  {"storedAt", "2026-01-01T00:00:00.000Z"}};
    EXPECT_FALSE(Artifact::matches(variant("stored", otherFile), stored));
    EXPECT_FALSE(Artifact::matches(variant("recordingId", testUpload), stored));
    EXPECT_TRUE(
        Artifact::matches(variant("attemptId", std::string("9A8B7C6D-5E4F-4A3B-8C2D-1E0F9A8B7C6D")), stored));
    EXPECT_FALSE(Artifact::matches(variant("attemptId", testUpload), stored));
    ArtifactManifest unbound = stored;
    unbound.queue.identity.reset();
    EXPECT_FALSE(Artifact::matches(receipt, unbound));
}

class ManifestCommit : public ArtifactTest {};

TEST_F(ManifestCommit, KeepsMetadataImmutableUnlessRebinding) {
    const auto artifact = published();
    ArtifactManifest changed = artifact->manifest();
    changed.metadata.reset();
    EXPECT_EQ(caughtError([&] { artifact->commit(changed); }), CoreError::invalid("immutable metadata"));
    EXPECT_FALSE(artifact->poisoned());

    // A manifest that reading would refuse never reaches the disk.
    ArtifactManifest broken = artifact->manifest();
    broken.durableFrames = 10;
    EXPECT_EQ(caughtError([&] { artifact->commit(broken); }),
              CoreError::corrupt("upload state without finalized metadata"));
    EXPECT_FALSE(artifact->poisoned());
    EXPECT_EQ(Artifact::readManifest(directory, *io), artifact->manifest());
}

TEST_F(ManifestCommit, AFailedCommitLeavesTheOldManifestAndPoisons) {
    const auto artifact = create();
    write(*artifact, 16'000 * 21);
    const ArtifactManifest before = Artifact::readManifest(directory, *io);
    io->boundary = [](const std::string& name) {
        if (name == "before:manifest-commit:READY") {
            throw CoreError::io("simulated", 5);
        }
    };
    EXPECT_EQ(caughtError([&] { artifact->finalise(encoder, endOf(16'000 * 21), false); }),
              CoreError::io("simulated", 5));
    EXPECT_TRUE(artifact->poisoned());
    EXPECT_EQ(Artifact::readManifest(directory, *io).state, ArtifactState::finalisingFLAC);
    EXPECT_TRUE(io->exists(artifact->wav()));
    EXPECT_EQ(caughtError([&] { artifact->commit(artifact->manifest()); }), CoreError::invalidState());
    EXPECT_EQ(caughtError([&] { artifact->flush(); }), CoreError::invalidState());
    EXPECT_NE(before.state, ArtifactState::ready);
}

} // namespace
} // namespace zoq::test
