// Two device streams at different rates, delivered in irregular chunks with
// jittered timestamps, converted and mixed the way the engine's tick does it:
// left and right must stay aligned to the frame for a whole minute.
#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/StereoFrameMixer.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <gtest/gtest.h>
#include <limits>
#include <random>

namespace zoq {
namespace {

constexpr std::uint64_t start = 7'000'000'000'000; // host time of the first microphone frame
constexpr double seconds = 60;
constexpr std::uint64_t tickNanos = 250'000'000;

/// One simulated device: its whole signal, cut into chunks of random length
/// whose host times wobble by up to ±50 µs (within the continuity tolerance).
/// The first chunk is on time: it fixes the stream's origin, and the test is
/// about later chunks not moving anything.
std::deque<RawChunk> deviceChunks(double rate, int channels, std::uint64_t origin,
                                  const std::vector<float>& signal, std::mt19937& random) {
    std::deque<RawChunk> chunks;
    const std::size_t frames = signal.size() / static_cast<std::size_t>(channels);
    for (std::size_t offset = 0; offset < frames;) {
        const std::size_t count = std::min<std::size_t>(frames - offset, 128 + random() % 1024);
        const auto jitter = offset == 0 ? 0 : static_cast<std::int64_t>(random() % 100'001) - 50'000;
        const auto host =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(origin) +
                                       std::llround(static_cast<double>(offset) * 1e9 / rate) + jitter);
        const auto begin =
            signal.begin() + static_cast<std::ptrdiff_t>(offset * static_cast<std::size_t>(channels));
        chunks.emplace_back(
            host, host, static_cast<double>(offset) + 1'000'000,
            std::vector<float>(
                begin, begin + static_cast<std::ptrdiff_t>(count * static_cast<std::size_t>(channels))),
            channels, true, true);
        offset += count;
    }
    return chunks;
}

TEST(StreamAlignment, ClicksAtOneHostTimeLandInOneOutputFrameForAMinute) {
    const double micRate = 48'000, systemRate = 44'100;
    // The system stream starts 70 ms after the microphone: a whole number of
    // output frames, so both streams share the output grid.
    const std::uint64_t systemOrigin = start + 70'000'000;
    const std::vector<double> clicks{0.5, 5.0, 17.31, 33.07, 47.99, 59.5}; // seconds after `start`

    std::vector<float> mic(static_cast<std::size_t>(seconds * micRate), 0.0f);
    std::vector<float> system(static_cast<std::size_t>((seconds - 0.07) * systemRate) * 2, 0.0f);
    for (const double click : clicks) {
        mic[static_cast<std::size_t>(std::llround(click * micRate))] = 0.8f;
        const auto index = static_cast<std::size_t>(std::llround((click - 0.07) * systemRate));
        system[2 * index] = 0.6f;     // left: the mixer uses this one
        system[2 * index + 1] = 0.6f; // right
    }

    std::mt19937 random(99);
    auto micChunks = deviceChunks(micRate, 1, start, mic, random);
    auto systemChunks = deviceChunks(systemRate, 2, systemOrigin, system, random);

    ClockedStream micStream(micRate, 1);
    ClockedStream systemStream(systemRate, 2);
    StereoFrameMixer mixer;
    std::vector<std::int16_t> left, right;
    const auto collect = [&](const std::optional<StereoFrameMixer::Block>& block) {
        if (!block) {
            return false;
        }
        EXPECT_EQ(static_cast<std::size_t>(block->first), left.size()); // contiguous
        for (std::size_t i = 0; i + 3 < block->pcm.size(); i += 4) {
            left.push_back(static_cast<std::int16_t>(block->pcm[i] | block->pcm[i + 1] << 8));
            right.push_back(static_cast<std::int16_t>(block->pcm[i + 2] | block->pcm[i + 3] << 8));
        }
        return true;
    };

    // The engine's tick: ingest every chunk that has arrived, then hand out
    // what is at least half a second old and behind the slower stream.
    for (std::uint64_t now = start + tickNanos; !micChunks.empty() || !systemChunks.empty();
         now += tickNanos) {
        const auto ingest = [&](std::deque<RawChunk>& chunks, ClockedStream& stream, bool isMic,
                                double rate) {
            while (!chunks.empty() && chunks.front().hostTimeNanos +
                                              static_cast<std::uint64_t>(
                                                  static_cast<double>(chunks.front().frames) * 1e9 / rate) <=
                                          now) {
                if (auto segment = stream.push(chunks.front())) {
                    isMic ? mixer.pushMic(segment->startNanos, std::move(segment->samples))
                          : mixer.pushSystem(segment->startNanos, std::move(segment->samples));
                }
                chunks.pop_front();
            }
        };
        ingest(micChunks, micStream, true, micRate);
        ingest(systemChunks, systemStream, false, systemRate);
        std::uint64_t pendingFrom = std::numeric_limits<std::uint64_t>::max();
        for (const ClockedStream* stream : {&micStream, &systemStream}) {
            if (const auto end = stream->outputEndNanos()) {
                pendingFrom = std::min(pendingFrom, *end);
            }
        }
        while (collect(mixer.pullReadyFrames(now, pendingFrom, 16'000))) {
        }
    }
    // The end of the part: finish both streams and flush everything.
    if (auto tail = micStream.finish()) {
        mixer.pushMic(tail->startNanos, std::move(tail->samples));
    }
    if (auto tail = systemStream.finish()) {
        mixer.pushSystem(tail->startNanos, std::move(tail->samples));
    }
    while (collect(mixer.pullFrames(std::numeric_limits<std::uint64_t>::max(), 16'000, 20'000'000'000))) {
    }

    EXPECT_EQ(mixer.originNanos(), start);
    EXPECT_EQ(left.size(), static_cast<std::size_t>(seconds * 16'000));
    for (const double click : clicks) {
        SCOPED_TRACE(click);
        const auto expected = static_cast<std::ptrdiff_t>(std::llround(click * 16'000));
        const auto peak = [&](const std::vector<std::int16_t>& channel) {
            const auto from = channel.begin() + expected - 200, to = channel.begin() + expected + 200;
            return std::max_element(
                       from, to, [](std::int16_t a, std::int16_t b) { return std::abs(a) < std::abs(b); }) -
                   channel.begin();
        };
        EXPECT_EQ(peak(left), expected);
        EXPECT_EQ(peak(right), expected);
        EXPECT_GT(left[static_cast<std::size_t>(expected)], 8'000);
        EXPECT_GT(right[static_cast<std::size_t>(expected)], 6'000);
    }
}

} // namespace
} // namespace zoq
