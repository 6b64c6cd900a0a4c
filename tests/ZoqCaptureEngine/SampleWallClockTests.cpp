#include "ZoqCaptureEngine/SampleWallClock.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

TEST(SampleWallClock, FollowsTheBaseUntilTheFirstDeliveryAndAfterReanchor) {
    ManualClock base(100.0, Date{700'000'000.0});
    SampleWallClock clock(base);
    base.advance(3.0);
    EXPECT_EQ(clock.now(), 103.0);
    EXPECT_EQ(clock.wallDate(), Date{700'000'003.0});

    // The last delivered sample was captured 0.75 s after the anchor, though
    // it is delivered much later.
    clock.setSampleEnd(100.75);
    base.advance(10.0);
    EXPECT_EQ(clock.wallDate(), Date{700'000'000.75});
    EXPECT_EQ(clock.now(), 113.0);

    // Sleep: the wall clock jumps, the monotonic one does not.
    base.setWallDate(Date{700'003'600.0});
    clock.reanchor();
    EXPECT_EQ(clock.sampleEnd(), std::nullopt);
    EXPECT_EQ(clock.wallDate(), Date{700'003'600.0});
    clock.setSampleEnd(114.0);
    EXPECT_EQ(clock.wallDate(), Date{700'003'601.0});
}

TEST(HostClockConversion, HostTimeIsAlreadyNanoseconds) {
    const std::uint64_t reading = HostClock::nanos();
    static_assert(HostClock::nanosOfHostTime(42) == 42);
    EXPECT_EQ(HostClock::nanosOfHostTime(reading), reading);
    EXPECT_NEAR(static_cast<double>(reading) / 1e9, HostClock().now(), 1.0);
}

} // namespace
} // namespace zoq
