#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Transport/RFC1123DateFormatter.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqShell/Transport/TransportResponse.h"
#include "ZoqShell/Transport/TransportUnavailable.h"

#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>

namespace zoq {
namespace {

// 1994-11-06T08:49:37Z, the example date of the HTTP RFCs.
constexpr double exampleUnix = 784'111'777;
const Date exampleDate = Date::fromUnix(exampleUnix);

TransportResponse withRetryAfter(std::string value) {
    return TransportResponse{503, {{"Retry-After", std::move(value)}}, {}};
}

TEST(TransportResponseHeader, MatchesNamesInAnyLetterCase) {
    for (const char* name : {"ETag", "etag", "ETAG", "eTaG"}) {
        const TransportResponse response{200, {{name, "\"v1\""}}, {}};
        EXPECT_EQ(response.header("etag"), "\"v1\"") << name;
    }
    const TransportResponse response{200, {{"Content-Type", "application/json"}}, {}};
    EXPECT_EQ(response.header("etag"), std::nullopt);
    EXPECT_EQ(response.header("content-typ"), std::nullopt);
}

struct RetryAfterCase {
    std::string value;
    std::optional<double> seconds;
};

TEST(TransportResponseRetryAfter, ReadsNumbersAndHTTPDates) {
    const Date now = exampleDate;
    const std::vector<RetryAfterCase> cases{
        {"120", 120.0},
        {"1.5", 1.5},
        {"0", 0.0},
        {" 7\t", 7.0},
        {"2e1", 20.0},
        {"-5", 0.0},
        {"soon", std::nullopt},
        {"", std::nullopt},
        {"120 s", std::nullopt},
        {"+5", 5.0},
        {"+-5", std::nullopt},
        {"+", std::nullopt},
        {".5", 0.5},
        {"-0", 0.0},
        {"0x10", std::nullopt},
        {"inf", std::nullopt},
        {"nan", std::nullopt},
        {"1e999", std::nullopt},
        // The date forms, relative to now = the example date.
        {"Sun, 06 Nov 1994 08:49:37 GMT", 0.0},
        {"Sun, 06 Nov 1994 08:51:07 GMT", 90.0},
        {"Sun, 06 Nov 1994 08:51:07 UTC", 90.0},
        {"Mon, 07 Nov 1994 08:49:37 GMT", 86'400.0},
        {"Sat, 01 Jan 2000 00:00:00 GMT", 162'573'023.0},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0.0},
        {"Wed, 31 Dec 1969 23:59:59 GMT", 0.0},
        {"Fri, 05 Nov 1993 08:49:37 GMT", 0.0},
        // Close to the form but not it.
        {"sun, 06 nov 1994 08:51:07 GMT", std::nullopt},
        {"Sunday, 06-Nov-94 08:51:07 GMT", std::nullopt},
        {"Sun Nov  6 08:51:07 1994", std::nullopt},
        {"Sun, 6 Nov 1994 08:51:07 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:51:07 +0000", std::nullopt},
        {"Sun, 06 Nov 1994 08:51:07 PST", std::nullopt},
        {"Sun, 06 Nov 1994 08:51:07", std::nullopt},
        {"Sun, 06 Nov 1994 08:51:07 GMTX", std::nullopt},
        {"Xyz, 06 Nov 1994 08:51:07 GMT", std::nullopt},
        {"Sun, 31 Feb 1995 08:51:07 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:60:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 23:59:60 GMT", std::nullopt},
        {"Sun, 00 Nov 1994 08:51:07 GMT", std::nullopt},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(withRetryAfter(entry.value).retryAfterSeconds(now), entry.seconds)
            << '"' << entry.value << '"';
    }
    EXPECT_EQ((TransportResponse{503, {}, {}}.retryAfterSeconds(now)), std::nullopt);
    EXPECT_EQ((TransportResponse{503, {{"retry-after", "3"}}, {}}.retryAfterSeconds(now)), 3.0);
}

TEST(TransportResponseRetryAfter, FarFutureDateGivesItsWholeDistance) {
    const auto seconds = withRetryAfter("Fri, 31 Dec 9999 23:59:59 GMT").retryAfterSeconds(exampleDate);
    ASSERT_TRUE(seconds.has_value());
    EXPECT_EQ(*seconds, 253'402'300'799.0 - exampleUnix);
}

TEST(RFC1123DateFormatter, ReadsTheExampleDateExactly) {
    EXPECT_EQ(RFC1123DateFormatter::date("Sun, 06 Nov 1994 08:49:37 GMT"), exampleDate);
    // The weekday is a name check only; a wrong one does not change the date.
    EXPECT_EQ(RFC1123DateFormatter::date("Mon, 06 Nov 1994 08:49:37 GMT"), exampleDate);
    EXPECT_EQ(RFC1123DateFormatter::date(std::string_view("Sun, 06 Nov 1994 08:49:37 GM\0", 29)),
              std::nullopt);
}

TEST(FileRange, RefusesNegativeOrOverflowingRanges) {
    EXPECT_NO_THROW(FileRange("f", 0, 0));
    EXPECT_THROW(FileRange("f", -1, 1), CoreError);
    EXPECT_THROW(FileRange("f", 0, -1), CoreError);
    EXPECT_THROW(FileRange("f", std::numeric_limits<std::int64_t>::max(), 1), CoreError);
    try {
        FileRange("f", 0, -1);
    } catch (const CoreError& error) {
        EXPECT_EQ(error, CoreError::invalid("file range"));
    }
}

TEST(RequestBody, DistinguishesNoBodyFromAnEmptyOne) {
    EXPECT_TRUE(RequestBody::none().isNone());
    EXPECT_FALSE(RequestBody(Bytes{}).isNone());
    EXPECT_NE(RequestBody::none(), RequestBody(Bytes{}));
    EXPECT_EQ(RequestBody(Bytes{1, 2, 3}).size(), 3);
    EXPECT_EQ(RequestBody(FileRange("f", 10, 4096)).size(), 4096);
    EXPECT_NE(RequestBody(FileRange("f", 10, 4096)), RequestBody(FileRange("f", 11, 4096)));
}

TEST(StubWireTransport, HandsRequestsToItsHandlerAndPassesErrorsOn) {
    std::vector<TransportRequest> seen;
    StubWireTransport transport([&](const TransportRequest& request) {
        seen.push_back(request);
        if (request.method == "DELETE") {
            throw TransportUnavailable::network("scripted");
        }
        return TransportResponse{204, {}, {}};
    });
    const TransportRequest get{
        "GET", "https://portal.test/api/v1/uploads/1", {{"authorization", "Bearer t"}}, {}};
    EXPECT_EQ(transport.execute(get), (TransportResponse{204, {}, {}}));
    try {
        transport.execute({"DELETE", "https://portal.test/", {}, {}});
        ADD_FAILURE() << "no error";
    } catch (const TransportUnavailable& error) {
        EXPECT_EQ(error, TransportUnavailable::network("scripted"));
        EXPECT_STREQ(error.what(), "network(\"scripted\")");
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], get);
}

} // namespace
} // namespace zoq
