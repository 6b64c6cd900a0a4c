#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/SHA256.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zoq {
namespace {

namespace fs = std::filesystem;
using test::caughtError;
using test::TempDirectory;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void plant(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

/// A minimal FLAC start: "fLaC" and a STREAMINFO block with the given format
/// fields; enough for the header checks, which run before any decoding.
Bytes streamInfo(std::uint64_t sampleRate, std::uint64_t channels, std::uint64_t bits, std::uint64_t frames) {
    Bytes out = {'f', 'L', 'a', 'C', 0x80, 0, 0, 34};
    out.resize(42, 0);
    const std::uint64_t packed = (sampleRate << 44) | ((channels - 1) << 41) | ((bits - 1) << 36) | frames;
    for (int i = 0; i < 8; ++i) {
        out[18 + i] = static_cast<std::uint8_t>(packed >> (56 - 8 * i));
    }
    return out;
}

std::vector<std::string> scratchFiles(const fs::path& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with("decode-")) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

class FFmpegFLACEncoderTest : public ::testing::Test {
protected:
    /// Encodes `frames` of synthetic audio to "audio.flac" with the real ffmpeg.
    Bytes encodeSynthetic(std::int64_t frames, std::uint32_t sampleRate = 16'000,
                          std::uint16_t channels = 2) {
        Bytes pcm = test::syntheticPCM(frames, 7, channels);
        test::writeWAV(dir / "audio.wav", pcm, sampleRate, channels);
        encoder.encode(dir / "audio.wav", dir / "audio.flac");
        return pcm;
    }

    /// An executable shell script standing in for ffmpeg.
    fs::path fakeTool(const std::string& body) {
        const fs::path path = dir / "fake-ffmpeg";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    TempDirectory dir;
    FFmpegFLACEncoder encoder;
};

TEST_F(FFmpegFLACEncoderTest, RoundTripDecodesExactlyThePCMThatWasEncoded) {
    const Bytes pcm = encodeSynthetic(16'000 + 123);
    const DecodedAudio decoded = encoder.inspect(dir / "audio.flac");
    EXPECT_EQ(decoded, (DecodedAudio{16'123, 16'000, 2, 16, SHA256::hex(pcm)}));
    EXPECT_TRUE(scratchFiles(dir.path()).empty());
}

TEST_F(FFmpegFLACEncoderTest, EncodeNeverOverwritesAnExistingOutput) {
    plant(dir / "audio.flac", bytesOf("leftover"));
    test::writeWAV(dir / "audio.wav", test::syntheticPCM(1'000));
    EXPECT_EQ(caughtError([&] { encoder.encode(dir / "audio.wav", dir / "audio.flac"); }).kind(),
              CoreError::Kind::processFailed);
    EXPECT_EQ(contentOf(dir / "audio.flac"), "leftover");
}

TEST_F(FFmpegFLACEncoderTest, WrongFormatIsRefusedBeforeAnyChildStarts) {
    // An executable that does not exist proves no child was started: starting
    // one would fail with io("spawn", ENOENT) instead.
    const FFmpegFLACEncoder noTool(dir / "no-such-ffmpeg");
    encodeSynthetic(4'800, 48'000, 2);
    EXPECT_EQ(caughtError([&] { noTool.inspect(dir / "audio.flac"); }), CoreError::corrupt("FLAC format"));
    fs::remove(dir / "audio.flac");
    encodeSynthetic(1'600, 16'000, 1);
    EXPECT_EQ(caughtError([&] { noTool.inspect(dir / "audio.flac"); }), CoreError::corrupt("FLAC format"));

    plant(dir / "crafted.flac", streamInfo(16'000, 2, 24, 100));
    EXPECT_EQ(caughtError([&] { noTool.inspect(dir / "crafted.flac"); }), CoreError::corrupt("FLAC format"));
    plant(dir / "crafted.flac", streamInfo(16'000, 2, 16, 172'800'001));
    EXPECT_EQ(caughtError([&] { noTool.inspect(dir / "crafted.flac"); }), CoreError::corrupt("FLAC format"));
    EXPECT_TRUE(scratchFiles(dir.path()).empty());

    // The largest allowed count passes the header check and reaches the child.
    plant(dir / "crafted.flac", streamInfo(16'000, 2, 16, 172'800'000));
    EXPECT_EQ(caughtError([&] { noTool.inspect(dir / "crafted.flac"); }), CoreError::io("spawn", ENOENT));
    EXPECT_TRUE(scratchFiles(dir.path()).empty());
}

TEST_F(FFmpegFLACEncoderTest, MalformedStartIsNotStreamInfo) {
    const FFmpegFLACEncoder noTool(dir / "no-such-ffmpeg");
    const Bytes good = streamInfo(16'000, 2, 16, 100);
    const auto refused = [&](Bytes bytes) {
        plant(dir / "bad.flac", bytes);
        return caughtError([&] { noTool.inspect(dir / "bad.flac"); }) ==
               CoreError::corrupt("FLAC STREAMINFO");
    };
    EXPECT_TRUE(refused(Bytes(good.begin(), good.begin() + 41)));
    EXPECT_TRUE(refused({}));
    Bytes magic = good;
    magic[3] = 'c';
    EXPECT_TRUE(refused(magic));
    Bytes otherBlock = good;
    otherBlock[4] = 0x04; // VORBIS_COMMENT first
    EXPECT_TRUE(refused(otherBlock));
    Bytes length = good;
    length[7] = 33;
    EXPECT_TRUE(refused(length));
    Bytes lengthHigh = good;
    lengthHigh[5] = 1;
    EXPECT_TRUE(refused(lengthHigh));
    // The last-metadata-block flag alone does not matter.
    Bytes notLast = good;
    notLast[4] = 0x00;
    plant(dir / "ok.flac", notLast);
    EXPECT_EQ(caughtError([&] { noTool.inspect(dir / "ok.flac"); }), CoreError::io("spawn", ENOENT));
}

TEST_F(FFmpegFLACEncoderTest, InspectRefusesLinksLikeEveryDurableRead) {
    encodeSynthetic(1'000);
    fs::create_symlink(dir / "audio.flac", dir / "link.flac");
    EXPECT_EQ(caughtError([&] { encoder.inspect(dir / "link.flac"); }),
              CoreError::io("open link.flac", ELOOP));
}

TEST_F(FFmpegFLACEncoderTest, CorruptedAudioFailsAndLeavesNoScratchFile) {
    encodeSynthetic(16'000);
    Bytes flac;
    {
        std::ifstream in(dir / "audio.flac", std::ios::binary);
        flac.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_GT(flac.size(), 2'000u);
    Bytes damaged = flac;
    for (std::size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i) {
        damaged[i] ^= 0x5a;
    }
    plant(dir / "damaged.flac", damaged);
    EXPECT_EQ(caughtError([&] { encoder.inspect(dir / "damaged.flac"); }).kind(),
              CoreError::Kind::processFailed);

    plant(dir / "short.flac",
          Bytes(flac.begin(), flac.begin() + static_cast<std::ptrdiff_t>(flac.size() / 2)));
    const CoreError shortError = caughtError([&] { encoder.inspect(dir / "short.flac"); });
    EXPECT_TRUE(shortError.kind() == CoreError::Kind::processFailed ||
                shortError == CoreError::corrupt("decoded frame count"))
        << shortError.reason();
    EXPECT_TRUE(scratchFiles(dir.path()).empty());
}

TEST_F(FFmpegFLACEncoderTest, DecodedSizeMustMatchTheHeader) {
    plant(dir / "crafted.flac", streamInfo(16'000, 2, 16, 3));
    const FFmpegFLACEncoder shortTool(fakeTool("printf 'abcdefgh'"));
    EXPECT_EQ(caughtError([&] { shortTool.inspect(dir / "crafted.flac"); }),
              CoreError::corrupt("decoded frame count"));
    const FFmpegFLACEncoder exactTool(fakeTool("printf 'abcdefghijkl'"));
    EXPECT_EQ(exactTool.inspect(dir / "crafted.flac"),
              (DecodedAudio{3, 16'000, 2, 16, SHA256::hex("abcdefghijkl")}));
    const FFmpegFLACEncoder failingTool(fakeTool("printf 'abcdefghijkl'; exit 1"));
    EXPECT_EQ(caughtError([&] { failingTool.inspect(dir / "crafted.flac"); }), CoreError::processFailed(1));
    const FFmpegFLACEncoder slowTool(fakeTool("exec sleep 60"), 0.2);
    EXPECT_EQ(caughtError([&] { slowTool.inspect(dir / "crafted.flac"); }), CoreError::deadline());
    EXPECT_TRUE(scratchFiles(dir.path()).empty());
}

TEST_F(FFmpegFLACEncoderTest, CommandLinesAreExact) {
    const fs::path log = dir / "arguments";
    const FFmpegFLACEncoder recording(fakeTool("printf '%s\\n' \"$@\" >> '" + log.string() + "'"));
    recording.encode(dir / "in.wav", dir / "out.flac.tmp");
    const std::string encodeLine = "-nostdin\n-v\nerror\n-n\n-i\n" + (dir / "in.wav").string() +
                                   "\n-map\n0:a:0\n-c:a\nflac\n-sample_fmt\ns16\n-f\nflac\n" +
                                   (dir / "out.flac.tmp").string() + "\n";
    EXPECT_EQ(contentOf(log), encodeLine);

    fs::remove(log);
    plant(dir / "crafted.flac", streamInfo(16'000, 2, 16, 0));
    EXPECT_EQ(recording.inspect(dir / "crafted.flac").frames, 0);
    EXPECT_EQ(contentOf(log), "-nostdin\n-v\nerror\n-xerror\n-err_detect\nexplode\n-i\n" +
                                  (dir / "crafted.flac").string() +
                                  "\n-map\n0:a:0\n-f\ns16le\n-c:a\npcm_s16le\npipe:1\n");
}

} // namespace
} // namespace zoq
