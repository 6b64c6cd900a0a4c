#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/HostTimeAnchor.h"
#include "ZoqCaptureEngine/StreamClockError.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <utility>

namespace zoq {
namespace {

constexpr std::uint32_t rate = 48'000;
constexpr std::uint64_t start = 7'000'000'000'000;

/// A simulated record stream: deliveries of varying size whose frames are
/// captured on a clock that may run fast or slow and may skip (lost audio),
/// arriving after a delay that is at least `latency` and sometimes much more.
struct Simulation {
    explicit Simulation(std::uint32_t sampleRate = rate) : streamRate(sampleRate), anchor(sampleRate) {}

    std::uint32_t streamRate;
    double ppm = 0;
    std::uint64_t latency = 1'000'000;
    std::uint64_t cycleFrames = 0; // nonzero: deliveries come in batches, one per cycle
    std::mt19937 random{42};
    std::uint64_t frame = 0;
    double trueNanos = static_cast<double>(start);
    std::uint64_t lastArrival = 0;
    bool lossReported = false; // the next delivery follows an overflow the server reported
    HostTimeAnchor anchor;
    std::vector<RawChunk> stamped;
    std::vector<std::uint64_t> trueStarts; // true capture time of each delivery's first frame

    /// One delivery of `frames` frames, `extraDelay` ns later than the latency,
    /// arriving no earlier than `notBefore` (a server that held it back) and,
    /// like everything on one connection, not before the one before it.
    void deliver(std::uint64_t frames, std::uint64_t extraDelay, std::uint64_t notBefore = 0) {
        trueStarts.push_back(static_cast<std::uint64_t>(trueNanos));
        trueNanos += static_cast<double>(frames) * 1e9 / streamRate * (1 + ppm / 1e6);
        // A server running in cycles sends a fragment at the end of the cycle
        // that completed it.
        double captured = trueNanos;
        if (cycleFrames != 0) {
            const double cycle = static_cast<double>(cycleFrames) * 1e9 / streamRate;
            captured = static_cast<double>(start) +
                       std::ceil((trueNanos - static_cast<double>(start)) / cycle) * cycle;
        }
        const std::uint64_t arrival =
            std::max({static_cast<std::uint64_t>(captured) + latency + extraDelay, notBefore, lastArrival});
        lastArrival = arrival;
        RawChunk chunk(0, arrival, static_cast<double>(frame), std::vector<float>(frames, 0.f), 1, true,
                       false);
        chunk.lossBefore = std::exchange(lossReported, false);
        anchor.add(std::move(chunk), stamped);
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
            deliver(streamRate / 100, jitter(random));
        }
    }

    /// The stream clock's verdict on the stamped chunks: the index of every
    /// chunk it refuses as a discontinuity, and of every one it accepts after
    /// filling a loss, with the frames filled.
    struct Verdict {
        std::vector<std::size_t> breaks;
        std::vector<std::pair<std::size_t, std::uint64_t>> gaps;
    };
    Verdict verdict() const {
        Verdict found;
        auto clock = std::make_unique<ClockedStream>(streamRate, 1);
        for (std::size_t i = 0; i < stamped.size(); ++i) {
            try {
                clock->push(stamped[i]);
                if (clock->lastGapFrames() > 0) {
                    found.gaps.emplace_back(i, clock->lastGapFrames());
                }
            } catch (const StreamClockError& error) {
                EXPECT_EQ(error.kind(), StreamClockError::Kind::discontinuity);
                found.breaks.push_back(i);
                clock = std::make_unique<ClockedStream>(streamRate, 1);
                clock->push(stamped[i]);
            }
        }
        return found;
    }
    std::vector<std::size_t> breaks() const { return verdict().breaks; }

    /// True when no stamp lies before the one of the chunk before it.
    bool stampsNeverGoBack() const {
        for (std::size_t i = 1; i < stamped.size(); ++i) {
            if (stamped[i].hostTimeNanos < stamped[i - 1].hostTimeNanos) {
                return false;
            }
        }
        return true;
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

// A server that drops audio without a hole in the frame counter reports an
// overflow: the arrivals' jump at the next delivery is then the loss, kept in
// the stream as that much silence rather than a break.
TEST(HostTimeAnchor, AReportedLossMovesTheLineByItsLengthAndIsFilledInsteadOfBreaking) {
    Simulation stream;
    stream.run(2);
    const std::size_t gap = stream.trueStarts.size();
    stream.trueNanos += 150e6;
    stream.lossReported = true;
    stream.run(2);
    stream.anchor.flush(stream.stamped);

    const Simulation::Verdict verdict = stream.verdict();
    EXPECT_EQ(verdict.breaks, std::vector<std::size_t>{});
    ASSERT_EQ(verdict.gaps.size(), 1u);
    EXPECT_EQ(verdict.gaps[0].first, gap);
    EXPECT_NEAR(static_cast<double>(verdict.gaps[0].second), 0.150 * rate, 2);
    EXPECT_EQ(stream.anchor.reanchors(), 1u);
    // The new line goes through the earliest arrivals after the gap again.
    EXPECT_NEAR(static_cast<double>(stream.stamped[gap].hostTimeNanos),
                static_cast<double>(stream.trueStarts[gap] + stream.latency), 2);
}

// PipeWire runs its graph in cycles (often 1024 frames) and sends each
// cycle's audio as a batch of 10 ms fragments, so departures saw-tooth by a
// fragment's length: neither that nor the batch's first fragments, waiting
// for the rest, may hide a reported loss of whole cycles or misplace it.
TEST(HostTimeAnchor, BatchedCyclesPlaceAReportedLossWhereItWas) {
    for (const std::uint64_t cycle : {256u, 1024u, 2048u}) {
        SCOPED_TRACE(cycle);
        Simulation stream;
        stream.cycleFrames = cycle;
        // 320 fragments of 480 frames end on a cycle's end for all three.
        stream.runFragments(3.2);
        const std::size_t gap = stream.trueStarts.size();
        ASSERT_EQ(gap, 320u);
        stream.trueNanos += 7.0 * static_cast<double>(cycle) * 1e9 / rate;
        stream.lossReported = true;
        stream.runFragments(3);
        stream.anchor.flush(stream.stamped);

        const Simulation::Verdict verdict = stream.verdict();
        EXPECT_EQ(verdict.breaks, std::vector<std::size_t>{});
        ASSERT_EQ(verdict.gaps.size(), 1u);
        EXPECT_EQ(verdict.gaps[0].first, gap);
        // Within the batching's spread (a 10 ms fragment) of the truth.
        EXPECT_NEAR(static_cast<double>(verdict.gaps[0].second), 7.0 * static_cast<double>(cycle), 480);
        EXPECT_EQ(stream.anchor.reanchors(), 1u);
    }
}

// The server stalls (30, 80, 300 ms, again and again) and loses nothing: it
// delivers the held-back audio in a burst, and pipewire-pulse may then go on
// delivering a cycle or more later than before. None of that is a loss.
TEST(HostTimeAnchor, StallsThatLoseNothingNeverBreakTheStream) {
    for (const std::uint64_t cycle : {0u, 256u, 1024u}) {
        SCOPED_TRACE(cycle);
        Simulation stream;
        stream.cycleFrames = cycle;
        stream.runFragments(2);
        for (int i = 0; i < 21; ++i) {
            const double stall = std::array{30e6, 80e6, 300e6}[static_cast<std::size_t>(i % 3)];
            const auto resume = static_cast<std::uint64_t>(stream.trueNanos + stall);
            for (double held = 0; held < stall; held += 10e6) {
                stream.deliver(rate / 100, 0, resume);
            }
            if (cycle != 0 && i % 2 == 0) {
                // From here on a whole cycle later, or back to where it was.
                stream.latency +=
                    (i % 4 == 0 ? 1 : -1) * static_cast<std::int64_t>(cycle * 1'000'000'000u / rate);
            }
            stream.runFragments(2);
        }
        stream.anchor.flush(stream.stamped);

        const Simulation::Verdict verdict = stream.verdict();
        EXPECT_EQ(verdict.breaks, std::vector<std::size_t>{});
        EXPECT_EQ(verdict.gaps.size(), 0u);
        EXPECT_EQ(stream.anchor.reanchors(), 0u);
    }
}

// At 96 and 192 kHz PulseAudio may hand out fragments of a few frames, far
// shorter than the line's usual step: the stamps must still never go back.
TEST(HostTimeAnchor, TinyFragmentsAtHighRatesKeepTheirOrder) {
    for (const std::uint32_t highRate : {96'000u, 192'000u}) {
        SCOPED_TRACE(highRate);
        Simulation stream(highRate);
        // The first deliveries come late, so the line starts late and must
        // move back over thousands of chunks shorter than its usual step.
        std::uniform_int_distribution<std::uint64_t> size(1, 3);
        std::uniform_int_distribution<std::uint64_t> jitter(0, 500'000);
        while (stream.trueNanos < static_cast<double>(start) + 0.12e9) {
            stream.deliver(size(stream.random), 6'000'000 + jitter(stream.random));
        }
        while (stream.trueNanos < static_cast<double>(start) + 0.3e9) {
            stream.deliver(size(stream.random), jitter(stream.random));
        }
        stream.anchor.flush(stream.stamped);

        EXPECT_TRUE(stream.stampsNeverGoBack());
        EXPECT_EQ(stream.breaks(), std::vector<std::size_t>{});
        EXPECT_EQ(stream.anchor.reanchors(), 0u);
    }
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
