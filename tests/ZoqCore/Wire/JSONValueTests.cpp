#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/JSONValue.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace zoq {
namespace {

std::string canonical(std::string_view text) {
    return JSONValue::parse(text).canonicalText();
}

void expectSyntaxError(std::string_view text) {
    try {
        (void)JSONValue::parse(text);
        ADD_FAILURE() << "accepted: " << text;
    } catch (const JSONSyntaxError& error) {
        const std::string message = error.what();
        EXPECT_TRUE(message.starts_with("json: ")) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        for (const char c : message) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << message;
        }
    }
}

TEST(JSONValueAccessors, IntegerIsIntegralAndExact) {
    EXPECT_EQ(JSONValue(1.0).integer(), 1);
    EXPECT_EQ(JSONValue(-0.0).integer(), 0);
    EXPECT_EQ(JSONValue(9007199254740991.0).integer(), 9007199254740991);
    EXPECT_EQ(JSONValue(-9007199254740991.0).integer(), -9007199254740991);
    EXPECT_EQ(JSONValue(9007199254740992.0).integer(), std::nullopt);
    EXPECT_EQ(JSONValue(1.5).integer(), std::nullopt);
    EXPECT_EQ(JSONValue(1e300).integer(), std::nullopt);
    EXPECT_EQ(JSONValue("1").integer(), std::nullopt);
    EXPECT_EQ(JSONValue(true).integer(), std::nullopt);
}

TEST(JSONValueAccessors, KeyLookupAndCaseAccessors) {
    const JSONValue value = JSONValue::parse(R"({"a":"x","b":[1,null]})");
    ASSERT_NE(value.find("a"), nullptr);
    EXPECT_EQ(*value.find("a")->string(), "x");
    EXPECT_EQ(value.find("c"), nullptr);
    EXPECT_EQ(value.find("b")->find("a"), nullptr);
    EXPECT_EQ(value.find("b")->array()->size(), 2u);
    EXPECT_TRUE(value.find("b")->array()->at(1).isNull());
    EXPECT_EQ(JSONValue(false).string(), nullptr);
}

TEST(JSONValueAccessors, NonFiniteNumbersCannotBeHeld) {
    EXPECT_THROW(JSONValue{std::numeric_limits<double>::infinity()}, CoreError);
    EXPECT_THROW(JSONValue{std::nan("")}, CoreError);
}

TEST(JSONParse, ReadsEveryCase) {
    const JSONValue value =
        JSONValue::parse(R"( {"o":{},"a":[],"s":"t\u00e9\n","n":-2.5e1,"t":true,"f":false,"z":null} )");
    const JSONValue expected(JSONValue::Object{{"o", JSONValue::Object{}},
                                               {"a", JSONValue::Array{}},
                                               {"s", "t\xC3\xA9\n"},
                                               {"n", -25},
                                               {"t", true},
                                               {"f", false},
                                               {"z", nullptr}});
    EXPECT_EQ(value, expected);
}

TEST(JSONParse, RefusesMalformedText) {
    for (const char* text : {"", " ", "{", "[1,]", "{\"a\":1,}", "tru", "01", "1.", "'a'", "[1] [2]",
                             "{\"a\" 1}", "NaN", "Infinity", "-Infinity", "/*c*/1", "\"\t\"", "{1:2}"}) {
        expectSyntaxError(text);
    }
}

TEST(JSONParse, IgnoresOnlyALeadingByteOrderMark) {
    EXPECT_EQ(JSONValue::parse("\xEF\xBB\xBF{}"), JSONValue(JSONValue::Object{}));
    expectSyntaxError("\xEF\xBB{}");
    expectSyntaxError("{}\xEF\xBB\xBF");
    expectSyntaxError(" \xEF\xBB\xBF{}");
}

TEST(JSONParse, RefusesDuplicateKeysAtAnyDepth) {
    expectSyntaxError(R"({"a":1,"a":1})");
    expectSyntaxError(R"({"x":[{"k":1,"b":2,"k":3}]})");
    EXPECT_NO_THROW(JSONValue::parse(R"({"a":{"a":1},"b":{"a":2}})"));
}

TEST(JSONParse, RefusesInvalidUTF8AndLoneSurrogates) {
    expectSyntaxError("\"\xC3\"");
    expectSyntaxError("\"\xC0\xAF\"");         // overlong "/"
    expectSyntaxError("\"\xED\xA0\x80\"");     // encoded surrogate
    expectSyntaxError("\"\xF4\x90\x80\x80\""); // above U+10FFFF
    expectSyntaxError(R"("\ud800")");
    expectSyntaxError(R"("\udc00\ud800")");
    expectSyntaxError("\xFF");
    EXPECT_EQ(*JSONValue::parse(R"("\ud83d\ude00")").string(), "\xF0\x9F\x98\x80");
}

TEST(JSONParse, NumbersStayFiniteDoubles) {
    expectSyntaxError("1e400");
    expectSyntaxError("-1e400");
    EXPECT_EQ(JSONValue::parse("99999999999999999999").number(), 1e20);
    EXPECT_EQ(JSONValue::parse("-99999999999999999999").number(), -1e20);
    EXPECT_EQ(JSONValue::parse("18446744073709551615").number(), 18446744073709551615.0);
    EXPECT_EQ(JSONValue::parse("-9223372036854775808").number(), -9223372036854775808.0);
    EXPECT_EQ(JSONValue::parse("1e-400").number(), 0.0);
    EXPECT_EQ(JSONValue::parse("9007199254740993").integer(), std::nullopt);
}

TEST(JSONParse, NestingIsBounded) {
    const std::string deepest = std::string(JSONValue::maxDepth, '[') + std::string(JSONValue::maxDepth, ']');
    EXPECT_NO_THROW(JSONValue::parse(deepest));
    expectSyntaxError("[" + deepest + "]");
    expectSyntaxError(std::string(1 << 20, '['));
    expectSyntaxError(std::string(1 << 19, '{') + "\"a\":");
}

TEST(CanonicalJSON, SortsKeysCompactlyWithoutEscapingSlash) {
    EXPECT_EQ(canonical(R"( { "b" : [ 1 , "x/y" ] , "a" : { "d" : null , "c" : true } } )"),
              R"({"a":{"c":true,"d":null},"b":[1,"x/y"]})");
}

TEST(CanonicalJSON, KeysSortByCodePoint) {
    // "Z" < "a" < "é" (U+00E9) < "€" (U+20AC) < "😀" (U+1F600): code point order,
    // which differs from UTF-16 order only for the last two.
    EXPECT_EQ(canonical("{\"\xF0\x9F\x98\x80\":1,\"\xE2\x82\xAC\":2,\"\xC3\xA9\":3,\"a\":4,\"Z\":5}"),
              "{\"Z\":5,\"a\":4,\"\xC3\xA9\":3,\"\xE2\x82\xAC\":2,\"\xF0\x9F\x98\x80\":1}");
}

TEST(CanonicalJSON, NumbersArePlainIntegersOrShortestRoundTrip) {
    EXPECT_EQ(canonical("[1.0,-0.0,0,1e2,-12,9007199254740991,9007199254740992]"),
              "[1,0,0,100,-12,9007199254740991,9007199254740992]");
    EXPECT_EQ(canonical("[0.1,1.5,-2.25e-7,1e300,99999999999999999999]"), "[0.1,1.5,-2.25e-07,1e+300,1e+20]");
    for (const double number :
         {0.1, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, 123456789.125, 1e21, -4.5e15}) {
        const std::string text = JSONValue(number).canonicalText();
        EXPECT_EQ(JSONValue::parse(text).number(), number) << text;
        EXPECT_EQ(JSONValue::parse(text).canonicalText(), text);
    }
}

TEST(CanonicalJSON, StringsEscapeOnlyWhatMust) {
    EXPECT_EQ(JSONValue(std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f\xC3\xA9\xE2\x80\xA8")).canonicalText(),
              "\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xC3\xA9\xE2\x80\xA8\"");
    EXPECT_EQ(JSONValue(std::string("a\0b", 3)).canonicalText(), "\"a\\u0000b\"");
    EXPECT_EQ(*JSONValue::parse(R"("\u0061\/")").string(), "a/");
}

TEST(CanonicalJSON, RoundTripsToAFixedPoint) {
    const char* text = R"({"z":[{"k":"\u00e9\u0000"},-1.25,[[]],{}],"a":"\ud83d\ude00","m":1E3})";
    const JSONValue value = JSONValue::parse(text);
    const std::string once = value.canonicalText();
    EXPECT_EQ(JSONValue::parse(once), value);
    EXPECT_EQ(JSONValue::parse(once).canonicalText(), once);
    EXPECT_EQ(value.canonicalBytes(), bytesOf(once));
}

TEST(CanonicalJSON, RefusesWhatJSONCannotCarry) {
    try {
        (void)JSONValue(std::string("\xC3")).canonicalText();
        ADD_FAILURE();
    } catch (const CoreError& error) {
        EXPECT_EQ(error, CoreError::invalid("UTF-8"));
    }
    EXPECT_THROW((void)JSONValue(JSONValue::Object{{"\xFF", 1}}).canonicalText(), CoreError);
    JSONValue deep = JSONValue::Array{};
    for (std::size_t i = 0; i < JSONValue::maxDepth; ++i) {
        deep = JSONValue::Array{std::move(deep)};
    }
    EXPECT_THROW((void)deep.canonicalText(), CoreError);
}

} // namespace
} // namespace zoq
