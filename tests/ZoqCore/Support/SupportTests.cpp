#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/SHA256.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace zoq {
namespace {

TEST(CoreErrorReason, SpellsKindAndValues) {
    EXPECT_EQ(CoreError::invalid("closed object").reason(), R"(invalid("closed object"))");
    EXPECT_EQ(CoreError::corrupt("manifest checksum").reason(), R"(corrupt("manifest checksum"))");
    EXPECT_EQ(CoreError::io("rename", 2).reason(), R"(io("rename", 2))");
    EXPECT_EQ(CoreError::processFailed(-9).reason(), "processFailed(-9)");
    EXPECT_EQ(CoreError::locked().reason(), "locked");
    EXPECT_EQ(CoreError::staleLease().reason(), "staleLease");
    EXPECT_EQ(CoreError::invalidState().reason(), "invalidState");
    EXPECT_EQ(CoreError::deadline().reason(), "deadline");
    EXPECT_STREQ(CoreError::locked().what(), "locked");
}

TEST(CoreErrorReason, EscapesQuotesSoTheTextStaysUnambiguous) {
    EXPECT_EQ(CoreError::io("open a\"b\\c\n", 1).reason(), R"(io("open a\"b\\c\n", 1))");
}

TEST(CoreErrorReason, KindsKeepTheirOrder) {
    using K = CoreError::Kind;
    EXPECT_LT(K::invalid, K::io);
    EXPECT_LT(K::io, K::corrupt);
    EXPECT_LT(K::corrupt, K::processFailed);
    EXPECT_LT(K::processFailed, K::locked);
    EXPECT_LT(K::locked, K::staleLease);
    EXPECT_LT(K::staleLease, K::invalidState);
    EXPECT_LT(K::invalidState, K::deadline);
}

TEST(SHA256Digest, MatchesKnownVectors) {
    EXPECT_EQ(SHA256::hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(SHA256::hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(SHA256Digest, StreamingAndCopiesAgreeWithOneShot) {
    std::string text(200'000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(i * 31 + 7);
    }
    SHA256 hasher;
    hasher.update(std::string_view(text).substr(0, 65'537));
    const SHA256 prefix = hasher; // the prefix state survives further updates of the original
    hasher.update(std::string_view(text).substr(65'537));
    EXPECT_EQ(hasher.hexDigest(), SHA256::hex(text));
    EXPECT_EQ(hasher.hexDigest(), SHA256::hex(text)); // digest() does not consume the state
    EXPECT_EQ(prefix.hexDigest(), SHA256::hex(std::string_view(text).substr(0, 65'537)));
}

TEST(Identifiers, AreRandomLowerCaseVersionFourUUIDs) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = makeUUID();
        EXPECT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(secureRandomBytes(32).size(), 32u);
}

TEST(Clocks, HostClockIsMonotonicAndWallClockIsSinceTwoThousandOne) {
    const HostClock clock;
    const double first = clock.now();
    EXPECT_LE(first, clock.now());
    // Any date this code runs on is after 2020-01-01 (599 616 000 s after 2001).
    EXPECT_GT(clock.wallDate().sinceReferenceDate, 599'616'000.0);
    EXPECT_DOUBLE_EQ(Date::fromUnix(978'307'200.0).sinceReferenceDate, 0.0);
}

TEST(Clocks, ManualClockMovesOnlyWhenAdvanced) {
    ManualClock clock(5.0, Date{100.0});
    clock.advance(2.5);
    EXPECT_EQ(clock.now(), 7.5);
    EXPECT_EQ(clock.wallDate(), Date{102.5});
    clock.setNow(1.0);
    EXPECT_EQ(clock.now(), 1.0);
}

} // namespace
} // namespace zoq
