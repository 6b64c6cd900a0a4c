#include "Zoq/zoq/CallAudio.h"
#include "tests/TestSupport/TestAudio.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace zoq::cli {
namespace {

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

/// A chunk: tag, little-endian size, body, and the pad byte of an odd size.
Bytes chunk(const char* tag, ByteView body, std::optional<std::uint32_t> declared = std::nullopt) {
    const std::uint32_t size = declared.value_or(static_cast<std::uint32_t>(body.size()));
    Bytes out(tag, tag + 4);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(size >> shift));
    }
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) {
        out.push_back(0);
    }
    return out;
}

TEST(SimulateCallAudio, ReadsZoqsOwnFormatDirectlyAndLeavesEverythingElseToTheConverter) {
    const Bytes pcm = test::syntheticPCM(1'000, 5);
    const Bytes canonical = concat({test::canonicalWAVHeader(static_cast<std::uint32_t>(pcm.size())), pcm});
    const Bytes fmt(canonical.begin() + 20, canonical.begin() + 36);
    const auto riff = [](const Bytes& body) {
        return concat({chunk("RIFF", concat({bytesOf("WAVE"), body}))});
    };
    const Bytes odd = {1, 2, 3};

    EXPECT_EQ(directCallPCM(canonical), pcm);
    EXPECT_EQ(directCallPCM(riff(concat({chunk("fmt ", fmt), chunk("LIST", odd), chunk("data", pcm)}))), pcm)
        << "other chunks, padded to even sizes, are skipped";
    EXPECT_EQ(directCallPCM(riff(concat({chunk("fmt ", fmt), chunk("data", pcm, 0u)}))), pcm)
        << "a streamed file's zero size means to the end";
    EXPECT_EQ(directCallPCM(concat({test::canonicalWAVHeader(0xFFFFFFF0u), pcm, Bytes{9, 9}})), pcm)
        << "a size past the end takes the whole frames there are";

    for (const Bytes& other :
         {concat({test::canonicalWAVHeader(16, 8'000), pcm}),
          concat({test::canonicalWAVHeader(16, 16'000, 1), pcm}),
          riff(concat({chunk("data", pcm), chunk("fmt ", fmt)})), riff(chunk("fmt ", fmt)),
          riff(chunk("fmt ", Bytes(fmt.begin(), fmt.begin() + 14))), bytesOf("RIFF"), Bytes{}}) {
        EXPECT_EQ(directCallPCM(other), std::nullopt);
    }
    Bytes floating = canonical;
    floating[20] = 3; // IEEE float samples
    EXPECT_EQ(directCallPCM(floating), std::nullopt);
}

TEST(SimulateCallAudio, DamagedHeadersNeverReadOutsideTheFile) {
    // Under the sanitizers, any read past the buffer fails the test.
    const Bytes valid = concat({test::canonicalWAVHeader(400), test::syntheticPCM(100, 2)});
    std::mt19937 random(42);
    for (int round = 0; round < 4'000; ++round) {
        Bytes damaged(valid.begin(),
                      valid.begin() + std::uniform_int_distribution<std::size_t>(0, valid.size())(random));
        for (int flips = 0; flips < 3 && !damaged.empty(); ++flips) {
            damaged[std::uniform_int_distribution<std::size_t>(0, std::min<std::size_t>(damaged.size(), 48) -
                                                                      1)(random)] =
                static_cast<std::uint8_t>(random());
        }
        const ByteView exact(damaged.data(), damaged.size());
        if (const std::optional<Bytes> pcm = directCallPCM(exact)) {
            EXPECT_EQ(pcm->size() % 4, 0u);
            EXPECT_LE(pcm->size(), damaged.size());
        }
    }
}

} // namespace
} // namespace zoq::cli
