#include "ZoqCore/Wire/WireFields.h"
#include "ZoqCore/Wire/WirePattern.h"
#include "tests/ZoqCore/Wire/WireTestSupport.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::reasonOf;

TEST(WireFieldsString, NormalisesToNFCAndCountsScalars) {
    // "e" + combining acute becomes one precomposed scalar.
    EXPECT_EQ(WireFields::string(JSONValue("Cafe\xCC\x81"), 1, 4, true), JSONValue("Caf\xC3\xA9"));
    EXPECT_EQ(reasonOf([] { (void)WireFields::string(JSONValue("Cafe\xCC\x81"), 1, 4, false); }),
              "string length");
    EXPECT_EQ(
        reasonOf([] { (void)WireFields::string(JSONValue("\xF0\x9F\x98\x80\xF0\x9F\x98\x80"), 2, 2, true); }),
        "ok");
    EXPECT_EQ(reasonOf([] { (void)WireFields::string(JSONValue(""), 1, 4, true); }), "string length");
    EXPECT_EQ(reasonOf([] { (void)WireFields::string(JSONValue(1), 0, 4, true); }), "string");
    EXPECT_EQ(reasonOf([] { (void)WireFields::string(JSONValue(nullptr), 0, 4, true); }), "string");
    // Text that is not UTF-8 can only come from code, never from parsed JSON.
    EXPECT_EQ(reasonOf([] { (void)WireFields::string(JSONValue("a\xFF"), 0, 4, true); }), "string");
    EXPECT_EQ(reasonOf([] { (void)WireFields::string(JSONValue("a\xFF"), 0, 4, false); }), "string");
}

TEST(WireFieldsToken, KeepsBytesButRefusesControlCharacters) {
    EXPECT_EQ(WireFields::token(JSONValue("Cafe\xCC\x81")), JSONValue("Cafe\xCC\x81"));
    EXPECT_EQ(reasonOf([] { (void)WireFields::token(JSONValue("")); }), "string length");
    EXPECT_EQ(reasonOf([] { (void)WireFields::token(JSONValue("abc\r\nX-Evil: 1")); }), "format");
    EXPECT_EQ(reasonOf([] { (void)WireFields::token(JSONValue("abc\x7F")); }), "format");
}

TEST(WireFieldsInteger, FollowsTheIntegerRule) {
    EXPECT_EQ(WireFields::integer(JSONValue(1.0), 1, 1), JSONValue(1));
    for (const JSONValue& bad : {JSONValue(1.5), JSONValue(2), JSONValue("1"), JSONValue(9007199254740992.0),
                                 JSONValue(true), JSONValue(nullptr)}) {
        EXPECT_EQ(reasonOf([&] { (void)WireFields::integer(bad, 1, 1); }), "integer range")
            << bad.canonicalText();
    }
    EXPECT_EQ(
        reasonOf([] { (void)WireFields::integer(JSONValue(-9007199254740991.0), -9007199254740991, 0); }),
        "ok");
}

TEST(WireFieldsPatterns, NamedPatterns) {
    const auto matches = [](const WirePattern& pattern, std::string_view text) {
        return pattern.matches(text);
    };
    EXPECT_TRUE(matches(WirePattern::uuid(), "3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B"));
    EXPECT_TRUE(matches(WirePattern::uuid(), "00000000-0000-0000-0000-000000000000"));
    EXPECT_TRUE(matches(WirePattern::uuid(), "FFFFFFFF-ffff-ffff-ffff-ffffffffffff"));
    EXPECT_FALSE(matches(WirePattern::uuid(), "3f2b8c1e-9a4d-0e6f-8b2a-1c3d5e7f9a0b")); // version 0
    EXPECT_FALSE(matches(WirePattern::uuid(), "3f2b8c1e-9a4d-9e6f-8b2a-1c3d5e7f9a0b")); // version 9
    EXPECT_FALSE(matches(WirePattern::uuid(), "3f2b8c1e-9a4d-4e6f-cb2a-1c3d5e7f9a0b")); // variant
    EXPECT_FALSE(matches(WirePattern::uuid(), "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b\n"));
    EXPECT_FALSE(matches(WirePattern::uuid(), "{3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b}"));
    EXPECT_FALSE(matches(WirePattern::sha256Hex(), std::string(64, 'A')));
    EXPECT_FALSE(matches(WirePattern::sha256Hex(), std::string(63, 'a')));
    EXPECT_TRUE(matches(WirePattern::pairingCode(), "abcd-EFGH-jkmn"));
    EXPECT_TRUE(matches(WirePattern::pairingCode(), "ABCDEFGH0123"));
    EXPECT_TRUE(matches(WirePattern::pairingCode(), "ABCD-EFGH0123"));
    EXPECT_FALSE(matches(WirePattern::pairingCode(), "ABCD--EFGH-0123"));
    EXPECT_FALSE(matches(WirePattern::pairingCode(), "ABCD-EFGH-012"));
    EXPECT_TRUE(matches(WirePattern::redemptionNonce(), std::string(42, '-') + "w"));
    EXPECT_FALSE(matches(WirePattern::redemptionNonce(), std::string(42, 'A') + "B")); // stray bits
    EXPECT_FALSE(matches(WirePattern::redemptionNonce(), std::string(43, 'A') + "A"));
    EXPECT_FALSE(matches(WirePattern::redemptionNonce(), std::string(42, '+') + "A"));
    // A NUL byte inside the subject does not end it.
    EXPECT_FALSE(matches(WirePattern::sha256Hex(), std::string(64, 'a') + std::string(1, '\0')));
}

TEST(WireFieldsHeaders, NamesAreTokensAndValuesSingleLineStrings) {
    const auto reason = [](std::string_view json) {
        return reasonOf([&] { (void)WireFields::headers(JSONValue::parse(json)); });
    };
    EXPECT_EQ(reason(R"({})"), "ok");
    EXPECT_EQ(reason(R"({"Content-Type":"audio/flac","x-meta-a":""})"), "ok");
    EXPECT_EQ(reason(R"({"":"x"})"), "headers");
    EXPECT_EQ(reason(R"({"a":1})"), "string");
    EXPECT_EQ(reason(R"({"a":null})"), "string");
    EXPECT_EQ(reason(R"([])"), "headers");
    EXPECT_EQ(reason(R"("a")"), "headers");
    EXPECT_EQ(reason(R"({"a b":"x"})"), "headers");
    EXPECT_EQ(reason(R"({"a:":"x"})"), "headers");
    EXPECT_EQ(reason(R"({"a\r\nb":"x"})"), "headers");
    EXPECT_EQ(reason(R"({"a":"x\r\nHost: evil"})"), "headers");
    EXPECT_EQ(reason(R"({"a":"x\u0000"})"), "headers");
    EXPECT_EQ(WireFields::headers(JSONValue::parse(R"({"X-Name":"Cafe\u0301"})")),
              JSONValue::parse(R"({"X-Name":"Caf\u00e9"})"));
}

} // namespace
} // namespace zoq
