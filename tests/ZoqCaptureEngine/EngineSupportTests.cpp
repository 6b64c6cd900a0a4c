#include "ZoqCaptureEngine/AlertChime.h"
#include "ZoqCaptureEngine/EngineEvent.h"
#include "ZoqCaptureEngine/EngineTermination.h"
#include "ZoqCaptureEngine/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zoq {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsJobsInOrderOnItsOwnThreadAndSyncWaitsForThem) {
    SerialQueue queue("test.queue");
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) {
        queue.async([&order, i] { order.push_back(i); });
    }
    bool onQueue = false;
    queue.sync([&] {
        onQueue = queue.isCurrent();
        // A sync from the queue itself runs at once instead of waiting for itself.
        queue.sync([&] { order.push_back(-1); });
    });
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(queue.isCurrent());
    ASSERT_EQ(order.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(order.back(), -1);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("job failed"); }), std::runtime_error);
}

TEST(SerialQueue, TimerFiresAtOnceThenRepeatsAndNeverAfterCancel) {
    SerialQueue queue("test.timer");
    std::atomic<int> fired = 0;
    auto timer = queue.repeating(5ms, [&] { ++fired; });
    // The first firing comes at once; later ones keep coming.
    while (fired.load() < 3) {
        std::this_thread::sleep_for(1ms);
    }
    timer->cancel();
    const int atCancel = fired.load();
    std::this_thread::sleep_for(30ms);
    queue.sync([] {});
    EXPECT_EQ(fired.load(), atCancel);

    // A timer cancelled from its own tick finishes that tick and stops.
    std::atomic<int> selfFired = 0;
    std::unique_ptr<SerialQueue::Timer> self;
    queue.sync([&] {
        self = queue.repeating(1ms, [&] {
            ++selfFired;
            self->cancel();
        });
    });
    std::this_thread::sleep_for(20ms);
    queue.sync([] {});
    EXPECT_EQ(selfFired.load(), 1);
}

TEST(EngineEvent, JSONLineHasTheFixedMembersFieldsWinAndBadTextFailsWhole) {
    EngineEvent event{"finalized", 12.3456, Date::fromUnix(1'796'000'000.7), {{"directory", "/spool/a-0"}}};
    EXPECT_EQ(event.jsonLine(),
              R"({"directory":"/spool/a-0","event":"finalized","t":"12.346","wall":"2026-11-30T00:53:20Z"})");
    event.fields["t"] = "replaced";
    EXPECT_NE(event.jsonLine().find(R"("t":"replaced")"), std::string::npos);
    event.fields["detail"] = std::string("\xff\xfe", 2);
    EXPECT_EQ(event.jsonLine(), R"({"event":"event_encoding_error"})");
}

TEST(EngineTermination, DescriptionsNameTheCaseAndQuoteThePayload) {
    EXPECT_EQ(EngineTermination::stopped().description(), "stopped");
    EXPECT_EQ(EngineTermination::failure("tap_start_failed:x").description(),
              R"(failure("tap_start_failed:x"))");
    EXPECT_EQ(EngineTermination::deadGrant("no \"pcm\"").description(), R"(deadGrant(detail: "no \"pcm\""))");
    EXPECT_EQ(EngineTermination::permissionNotGranted("microphone", "not_determined").description(),
              R"(permissionNotGranted(service: "microphone", detail: "not_determined"))");
}

TEST(AlertChime, IsAHalfScaleSineWithAFadeInInACanonicalWAV) {
    const std::vector<std::int16_t> samples = AlertChime::samples(880, 0.12);
    ASSERT_EQ(samples.size(), 5292u);
    EXPECT_EQ(samples[0], 0);
    std::int16_t peak = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double expected = std::sin(2 * M_PI * 880 * static_cast<double>(i) / 44'100) *
                                std::min(static_cast<double>(i) / 4410, 1.0) * 0.5 * 32767;
        ASSERT_LE(std::abs(samples[i] - expected), 1.0) << i;
        peak = std::max<std::int16_t>(peak, samples[i]);
    }
    EXPECT_GE(peak, 16'000);
    EXPECT_LE(peak, 16'383);

    const Bytes wav = AlertChime::wav(880, 0.12);
    ASSERT_EQ(wav.size(), 44u + 2 * 5292);
    const auto u32 = [&](std::size_t at) {
        return wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | static_cast<std::uint32_t>(wav[at + 3]) << 24;
    };
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 36u + 2 * 5292);
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(24), 44'100u);
    EXPECT_EQ(u32(28), 88'200u);
    EXPECT_EQ(u32(40), 2u * 5292);
    EXPECT_TRUE(AlertChime::samples(880, 0).empty());
    EXPECT_TRUE(AlertChime::samples(880, 1e9).empty());
}

} // namespace
} // namespace zoq
