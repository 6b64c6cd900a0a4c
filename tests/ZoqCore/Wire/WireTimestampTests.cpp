#include "ZoqCore/Wire/WireTimestamp.h"
#include "tests/ZoqCore/Wire/WireTestSupport.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::reasonOf;

std::string reason(std::string_view text) {
    return reasonOf([&] { (void)WireTimestamp(text); });
}

std::string canonical(std::string_view text) {
    return WireTimestamp(text).canonical();
}

TEST(WireTimestamp, CanonicalFormIsUTCWithTruncatedMilliseconds) {
    EXPECT_EQ(canonical("2025-03-01T10:00:00+01:00"), "2025-03-01T09:00:00.000Z");
    EXPECT_EQ(canonical("2025-03-01T09:00:00.123456Z"), "2025-03-01T09:00:00.123Z");
    EXPECT_EQ(canonical("2025-03-01T09:00:00.9999Z"), "2025-03-01T09:00:00.999Z");
    EXPECT_EQ(canonical("2025-03-01T09:00:00.5Z"), "2025-03-01T09:00:00.500Z");
    EXPECT_EQ(canonical("2024-12-31T23:30:00-00:45"), "2025-01-01T00:15:00.000Z");
    EXPECT_EQ(canonical("2024-03-01T00:10:00+00:20"), "2024-02-29T23:50:00.000Z");
    EXPECT_EQ(canonical("0000-01-01T00:00:00Z"), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(canonical("9999-12-31T23:59:59.999999Z"), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(canonical("0000-01-01T23:00:00+23:00"), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(canonical("2025-03-01T09:00:00.123Z"), "2025-03-01T09:00:00.123Z");
}

TEST(WireTimestamp, ShapeFailsWithTimestamp) {
    for (const char* text :
         {"2025-03-01t09:00:00Z", "2025-03-01T09:00:00z", "2025-03-01 09:00:00Z", "2025-03-01T09:00:00",
          "2025-03-01T09:00Z", "2025-03-01T09:00:00.Z", "25-03-01T09:00:00Z", "2025-03-01T09:00:00+0100",
          "2025-03-01T09:00:00+01", "+2025-03-01T09:00:00Z", "2025-03-01T09:00:00Z ",
          "2025-03-01T09:00:00\xD9\xA0Z", ""}) {
        EXPECT_EQ(reason(text), "timestamp") << text;
    }
}

TEST(WireTimestamp, CalendarRangesIncludeLeapYears) {
    EXPECT_EQ(reason("2024-02-29T00:00:00Z"), "ok");
    EXPECT_EQ(reason("2000-02-29T00:00:00Z"), "ok");
    EXPECT_EQ(reason("0000-02-29T12:00:00Z"), "ok");
    EXPECT_EQ(reason("2023-02-29T00:00:00Z"), "calendar");
    EXPECT_EQ(reason("1900-02-29T00:00:00Z"), "calendar");
    EXPECT_EQ(reason("2025-01-01T00:00:60Z"), "calendar");
    EXPECT_EQ(reason("2025-04-31T00:00:00Z"), "calendar");
    EXPECT_EQ(reason("2025-00-10T00:00:00Z"), "calendar");
    EXPECT_EQ(reason("2025-13-10T00:00:00Z"), "calendar");
    EXPECT_EQ(reason("2025-01-00T00:00:00Z"), "calendar");
    EXPECT_EQ(reason("2025-01-01T24:00:00Z"), "calendar");
    EXPECT_EQ(reason("2025-01-01T00:60:00Z"), "calendar");
}

TEST(WireTimestamp, OffsetAndYearRangeComeAfterTheCalendar) {
    EXPECT_EQ(reason("2025-01-01T00:00:00+24:00"), "offset");
    EXPECT_EQ(reason("2025-01-01T00:00:00-00:60"), "offset");
    EXPECT_EQ(reason("2025-01-01T00:00:00+23:59"), "ok");
    // The calendar is checked before the offset, the offset before the year.
    EXPECT_EQ(reason("2025-02-30T00:00:00+24:00"), "calendar");
    EXPECT_EQ(reason("0000-01-01T00:30:00+24:00"), "offset");
    EXPECT_EQ(reason("0000-01-01T00:30:00+01:00"), "UTC year");
    EXPECT_EQ(reason("9999-12-31T23:59:59-00:01"), "UTC year");
    EXPECT_EQ(reason("9999-12-31T23:59:59+00:01"), "ok");
}

TEST(WireTimestamp, OrdersBySecondsThenFractionDigits) {
    EXPECT_LT(WireTimestamp("2025-01-01T10:00:00.25Z"), WireTimestamp("2025-01-01T10:00:00.5Z"));
    EXPECT_EQ(WireTimestamp("2025-01-01T10:00:00.50Z"), WireTimestamp("2025-01-01T10:00:00.5Z"));
    EXPECT_EQ(WireTimestamp("2025-01-01T10:00:00.000Z"), WireTimestamp("2025-01-01T11:00:00+01:00"));
    EXPECT_LT(WireTimestamp("2025-01-01T10:00:00.99999Z"), WireTimestamp("2025-01-01T10:00:01Z"));
    EXPECT_LT(WireTimestamp("2025-01-01T10:00:00.1234Z"), WireTimestamp("2025-01-01T10:00:00.1235Z"));
    EXPECT_GT(WireTimestamp("2025-01-01T10:00:00Z"), WireTimestamp("2025-01-01T10:30:00+01:00"));
}

TEST(WireTimestamp, DateIsSecondsSince2001) {
    EXPECT_EQ(WireTimestamp("2001-01-01T00:00:00Z").date(), Date{0});
    EXPECT_EQ(WireTimestamp("2001-01-01T01:00:00.5+01:00").date(), Date{0.5});
    EXPECT_EQ(WireTimestamp("1970-01-01T00:00:00Z").date(), Date::fromUnix(0));
    EXPECT_EQ(WireTimestamp("2025-03-01T09:00:00Z").date(), Date::fromUnix(1740819600));
}

} // namespace
} // namespace zoq
