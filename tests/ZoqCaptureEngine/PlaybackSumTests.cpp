#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/PlaybackSum.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

constexpr std::uint64_t origin = 5'000'000'000;

/// `frames` stereo frames of `value` stamped at host time `at` (1 kHz: one
/// frame per millisecond keeps the arithmetic readable).
RawChunk chunk(std::uint64_t at, std::int64_t frames, float value) {
    return RawChunk(at, at, 0, std::vector<float>(static_cast<std::size_t>(frames) * 2, value), 2, true,
                    true);
}

std::uint64_t ms(std::uint64_t milliseconds) {
    return origin + milliseconds * 1'000'000;
}

// Inputs come, go, overlap, arrive late or with a stamp that strays: the
// output is every frame once, on stamps the stream clock accepts, with each
// input where it belongs.
TEST(PlaybackSum, SumsInputsOnOneContinuousTimeline) {
    PlaybackSum sum(1'000, 2);
    ClockedStream clock(1'000, 2);
    EXPECT_FALSE(sum.produce(origin)); // fixes the origin
    sum.add(1, chunk(ms(10), 20, 0.25f));
    sum.add(2, chunk(ms(20), 20, 0.5f));           // overlaps input 1 for 10 frames
    sum.add(1, chunk(ms(30) + 50'000, 10, 0.25f)); // within the slack: continues at 30
    sum.add(1, chunk(ms(150), 5, 0.125f));         // beyond the slack (96 frames): placed by its stamp
    std::vector<float> out;
    for (const std::uint64_t upTo : {ms(25), ms(25), ms(70), ms(200)}) {
        if (std::optional<RawChunk> produced = sum.produce(upTo)) {
            (void)clock.push(*produced); // throws on a stamp that breaks the stream
            EXPECT_EQ(produced->hostTimeNanos,
                      origin + static_cast<std::uint64_t>(out.size() / 2) * 1'000'000);
            out.insert(out.end(), produced->samples.begin(), produced->samples.end());
        }
        if (upTo == ms(70)) {
            sum.add(3, chunk(ms(65), 10, 1.0f)); // 5 frames late: only its last 5 count
        }
    }
    ASSERT_EQ(out.size(), 400u);
    const auto at = [&](std::size_t frame) { return out[frame * 2]; };
    struct Expected {
        std::size_t from, to;
        float value;
    };
    for (const Expected& expected :
         {Expected{0, 10, 0}, Expected{10, 20, 0.25f}, Expected{20, 40, 0.75f}, Expected{40, 70, 0},
          Expected{70, 75, 1.0f}, Expected{75, 150, 0}, Expected{150, 155, 0.125f}, Expected{155, 200, 0}}) {
        for (std::size_t frame = expected.from; frame < expected.to; ++frame) {
            EXPECT_FLOAT_EQ(at(frame), expected.value) << "frame " << frame;
        }
    }
    EXPECT_EQ(sum.droppedFrames(), 5u);
}

} // namespace
} // namespace zoq
