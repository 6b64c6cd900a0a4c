#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/HostTimeAnchor.h"
#include "ZoqCaptureEngine/StreamClockError.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>

namespace zoq {
namespace {

constexpr std::uint32_t rate = 48'000;
constexpr std::uint64_t start = 7'000'000'000'000;

/// A simulated record stream: deliveries of varying size whose frames are
/// captured on a clock that may run fast or slow and may skip (lost audio),
/// arriving after a delay that is at least `latency` and sometimes much more.
struct Simulation {
    double ppm = 0;
    std::uint64_t latency = 1'000'000;
    std::uint64_t cycleFrames = 0; // nonzero: deliveries come in batches, one per cycle
    std::mt19937 random{42};
    std::uint64_t frame = 0;
    double trueNanos = static_cast<double>(start);
    std::uint64_t lastArrival = 0;
    HostTimeAnchor anchor{rate};
    std::vector<RawChunk> stamped;
    std::vector<std::uint64_t> trueStarts; // true capture time of each delivery's first frame

    /// One delivery of `frames` frames, `extraDelay` ns later than the latency,
    /// arriving no earlier than `notBefore` (a server that held it back) and,
    /// like everything on one connection, not before the one before it.
    void deliver(std::uint64_t frames, std::uint64_t extraDelay, std::uint64_t notBefore = 0) {
        trueStarts.push_back(static_cast<std::uint64_t>(trueNanos));
        trueNanos += static_cast<double>(frames) * 1e9 / rate * (1 + ppm / 1e6);
        // A server running in cycles sends a fragment at the end of the cycle
        // that completed it.
        double captured = trueNanos;
        if (cycleFrames != 0) {
            const double cycle = static_cast<double>(cycleFrames) * 1e9 / rate;
            captured = static_cast<double>(start) +
                       std::ceil((trueNanos - static_cast<double>(start)) / cycle) * cycle;
        }
        const std::uint64_t arrival =
            std::max({static_cast<std::uint64_t>(captured) + latency + extraDelay, notBefore, lastArrival});
        lastArrival = arrival;
        anchor.add(
            RawChunk(0, arrival, static_cast<double>(frame), std::vector<float>(frames, 0.f), 1, true, false),
            stamped);
        frame += frames;
    }

    /// `seconds` of deliveries of 2 to 480 frames, as a busy server and
    /// scheduler deliver them (measured: most within half a millisecond, a
    /// few tens of milliseconds late, holding up the ones behind them).
    void run(double seconds) {
        const double end = trueNanos + seconds * 1e9;
        std::uniform_int_distribution<std::uint64_t> size(2, 480);
        std::uniform_int_distribution<std::uint64_t> jitter(0, 500'000);
        std::uniform_int_distribution<std::uint64_t> spike(0, 50'000'000);
        for (int i = 0; trueNanos < end; ++i) {
            deliver(size(random), i % 10 == 0 ? 0 : i % 20 == 7 ? spike(random) : jitter(random));
        }
    }

    /// `seconds` of 10 ms fragments, as pipewire-pulse carves a cycle of
    /// `cycleFrames` into them, each batch a little late.
    void runFragments(double seconds) {
        const double end = trueNanos + seconds * 1e9;
        std::uniform_int_distribution<std::uint64_t> jitter(0, 500'000);
        while (trueNanos < end) {
            deliver(rate / 100, jitter(random));
        }
    }

    /// The stream clock's verdict on the stamped chunks: the index of every
    /// chunk it refuses as a discontinuity.
    std::vector<std::size_t> breaks() const {
        std::vector<std::size_t> found;
        auto clock = std::make_unique<ClockedStream>(rate, 1);
        for (std::size_t i = 0; i < stamped.size(); ++i) {
            try {
                clock->push(stamped[i]);
            } catch (const StreamClockError& error) {
                EXPECT_EQ(error.kind(), StreamClockError::Kind::discontinuity);
                found.push_back(i);
                clock = std::make_unique<ClockedStream>(rate, 1);
                clock->push(stamped[i]);
            }
        }
        return found;
    }
};

TEST(HostTimeAnchor, JitteryArrivalsGiveStampsOnOneExactLineThroughTheEarliest) {
    Simulation stream;
    stream.run(60);
    stream.anchor.flush(stream.stamped);

    ASSERT_EQ(stream.stamped.size(), stream.trueStarts.size());
    EXPECT_EQ(stream.breaks(), std::vector<std::size_t>{});
    EXPECT_EQ(stream.anchor.reanchors(), 0u);
    const RawChunk& first = stream.stamped.front();
    for (const RawChunk& chunk : stream.stamped) {
        ASSERT_TRUE(chunk.hostTimeValid);
        const auto frames = static_cast<std::uint64_t>(chunk.sampleTime - first.sampleTime);
        ASSERT_EQ(chunk.hostTimeNanos - first.hostTimeNanos, frames * 1'000'000'000u / rate)
            << "frame " << chunk.sampleTime;
    }
    // The line runs through the deliveries that came without extra delay:
    // only the server's own latency separates the stamps from the truth.
    EXPECT_NEAR(static_cast<double>(first.hostTimeNanos), static_cast<double>(start + stream.latency), 2);
    EXPECT_LE(std::llabs(stream.anchor.baselineNanos()), 2);
}

TEST(HostTimeAnchor, LostAudioStartsANewAnchorAtTheFirstChunkAfterTheGap) {
    Simulation stream;
    stream.run(2);
    const std::size_t gap = stream.trueStarts.size();
    stream.trueNanos += 150e6; // the server dropped 150 ms without a word
    stream.run(2);
    stream.anchor.flush(stream.stamped);

    EXPECT_EQ(stream.breaks(), std::vector<std::size_t>{gap});
    EXPECT_EQ(stream.anchor.reanchors(), 1u);
    // The new line goes through the earliest arrivals after the gap again.
    EXPECT_NEAR(static_cast<double>(stream.stamped[gap].hostTimeNanos),
                static_cast<double>(stream.trueStarts[gap] + stream.latency), 2);
}

// PipeWire runs its graph in cycles (often 1024 frames) and sends each
// cycle's audio as a batch of 10 ms fragments, so departures saw-tooth by a
// fragment's length: neither that nor the batch's first fragments, waiting
// for the rest, may pass for a loss or hide one. A server loses whole cycles.
TEST(HostTimeAnchor, BatchedCyclesBreakOnlyWhereAudioWasLost) {
    for (const std::uint64_t cycle : {256u, 1024u, 2048u}) {
        SCOPED_TRACE(cycle);
        Simulation stream;
        stream.cycleFrames = cycle;
        // 320 fragments of 480 frames end on a cycle's end for all three.
        stream.runFragments(3.2);
        const std::size_t gap = stream.trueStarts.size();
        ASSERT_EQ(gap, 320u);
        stream.trueNanos += 7.0 * static_cast<double>(cycle) * 1e9 / rate;
        stream.runFragments(3);
        stream.anchor.flush(stream.stamped);

        EXPECT_EQ(stream.breaks(), std::vector<std::size_t>{gap});
        EXPECT_EQ(stream.anchor.reanchors(), 1u);
        // The new line lies within the batching's spread of the truth.
        EXPECT_NEAR(static_cast<double>(stream.stamped[gap].hostTimeNanos),
                    static_cast<double>(stream.trueStarts[gap] + stream.latency), 10.5e6);
    }
}

TEST(HostTimeAnchor, AStalledServerThatDeliversEverythingLaterMovesNothing) {
    Simulation stream;
    stream.run(2);
    // 300 ms of audio held back by the server, then delivered at once.
    const auto resume = static_cast<std::uint64_t>(stream.trueNanos + 300e6);
    for (int i = 0; i < 30; ++i) {
        stream.deliver(480, 0, resume);
    }
    stream.run(2);
    stream.anchor.flush(stream.stamped);

    EXPECT_EQ(stream.breaks(), std::vector<std::size_t>{});
    EXPECT_EQ(stream.anchor.reanchors(), 0u);
}

// Drift must never add up to a break: a call would be split every few
// minutes. The line follows the arrivals in steps the stream clock accepts.
TEST(HostTimeAnchor, ClocksDriftingApartAreFollowedInSmallStepsAndReported) {
    for (const double ppm : {100.0, -100.0}) {
        Simulation stream;
        stream.ppm = ppm;
        stream.run(120);
        stream.anchor.flush(stream.stamped);
        EXPECT_EQ(stream.anchor.reanchors(), 0u) << ppm;
        EXPECT_EQ(stream.breaks(), std::vector<std::size_t>{}) << ppm;
        // 100 ppm over two minutes is 12 ms, all of it followed or seen.
        const double drift = static_cast<double>(stream.anchor.slewedNanos() + stream.anchor.baselineNanos());
        EXPECT_NEAR(drift, ppm * 120 * 1e3, 0.5e6) << ppm;
        for (std::size_t i = 1; i < stream.stamped.size(); ++i) {
            const RawChunk& previous = stream.stamped[i - 1];
            const double step = static_cast<double>(stream.stamped[i].hostTimeNanos) -
                                static_cast<double>(previous.hostTimeNanos);
            ASSERT_LE(std::abs(step - static_cast<double>(previous.frames) * 1e9 / rate),
                      HostTimeAnchor::maxSlewNanos + 1)
                << ppm << " at chunk " << i;
        }
    }
}

TEST(HostTimeAnchor, HoldsChunksUntilTheyHaveSettledAndFlushStampsTheRest) {
    HostTimeAnchor anchor(rate);
    std::vector<RawChunk> ready;
    for (int i = 0; i < 5; ++i) {
        anchor.add(
            RawChunk(0, start + (i + 1) * 10'000'000u, i * 480.0, std::vector<float>(480), 1, true, false),
            ready);
    }
    EXPECT_TRUE(ready.empty());
    EXPECT_EQ(anchor.heldFrames(), 5 * 480);
    anchor.flush(ready);
    ASSERT_EQ(ready.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ready[static_cast<std::size_t>(i)].hostTimeNanos, start + i * 10'000'000u);
    }
    EXPECT_EQ(anchor.heldFrames(), 0);
}

} // namespace
} // namespace zoq
