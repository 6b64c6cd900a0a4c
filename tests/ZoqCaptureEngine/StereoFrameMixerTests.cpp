#include "ZoqCaptureEngine/StereoFrameMixer.h"

#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <variant>

namespace zoq {
namespace {

constexpr std::uint64_t frame = 62'500;
constexpr std::uint64_t base = 1'000'000'000'000;
constexpr std::uint64_t everything = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t twentySeconds = 20'000'000'000;

std::vector<std::int16_t> ramp(std::size_t count, std::int16_t first, std::int16_t step = 1) {
    std::vector<std::int16_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = static_cast<std::int16_t>(first + static_cast<std::int16_t>(i) * step);
    }
    return values;
}

std::vector<std::int16_t> channelOf(const StereoFrameMixer::Block& block, int which) {
    std::vector<std::int16_t> values;
    for (std::size_t i = static_cast<std::size_t>(which) * 2; i + 1 < block.pcm.size(); i += 4) {
        values.push_back(static_cast<std::int16_t>(block.pcm[i] | block.pcm[i + 1] << 8));
    }
    return values;
}

TEST(StereoFrameMixerLayout, MicrophoneAloneHasASilentRightChannel) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, {1000, -2, 300});
    const auto block = mixer.pullFrames(everything, 16'000, twentySeconds);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->first, 0);
    // Little-endian, left then right.
    EXPECT_EQ(block->pcm, (Bytes{0xe8, 0x03, 0, 0, 0xfe, 0xff, 0, 0, 0x2c, 0x01, 0, 0}));
    EXPECT_FALSE(mixer.pullFrames(everything, 16'000, twentySeconds));
}

TEST(StereoFrameMixerLayout, LaterStartWinsWhereSegmentsOverlap) {
    StereoFrameMixer mixer;
    mixer.pushMic(base + 2 * frame, ramp(4, 200)); // frames 2..5
    mixer.pushMic(base, ramp(4, 100));             // frames 0..3, pushed later but starts earlier
    mixer.pushMic(base + 2 * frame, ramp(2, 300)); // same start as the first: the later push wins
    const auto block = mixer.pullFrames(everything, 100, twentySeconds);
    ASSERT_TRUE(block);
    EXPECT_EQ(channelOf(*block, 0), (std::vector<std::int16_t>{100, 101, 300, 301, 202, 203}));
}

TEST(StereoFrameMixerLayout, GapsAreSilenceAndFramesStayContiguous) {
    StereoFrameMixer mixer;
    mixer.pushSystem(base, {1, 1, 2, 2});
    mixer.pushSystem(base + 5 * frame, {7, 7, 8, 8, 9}); // the odd last value covers nothing
    const auto block = mixer.pullFrames(everything, 100, twentySeconds);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->pcm.size(), 7u * 4);
    EXPECT_EQ(channelOf(*block, 0), std::vector<std::int16_t>(7, 0));
    EXPECT_EQ(channelOf(*block, 1), (std::vector<std::int16_t>{1, 2, 0, 0, 0, 7, 8}));
}

// The system channel is what both speakers play: a sound panned hard to
// either side is heard at half its level, one on both sides at its own.
TEST(StereoFrameMixerLayout, TheSystemChannelIsTheMeanOfBothSides) {
    struct Case {
        const char* what;
        std::vector<std::int16_t> pairs;
        std::vector<std::int16_t> heard;
    };
    const Case cases[] = {
        {"left only", {1000, 0, -600, 0}, {500, -300}},
        {"right only", {0, 1000, 0, -600}, {500, -300}},
        {"both sides alike", {1000, 1000, -600, -600}, {1000, -600}},
        {"opposite phases", {1000, -1000, 7, -7}, {0, 0}},
        {"full scale", {32767, 32767, -32768, -32768}, {32767, -32768}},
        {"odd sums round toward zero", {3, 0, -3, 0, -32768, 32767}, {1, -1, 0}},
    };
    for (const Case& test : cases) {
        StereoFrameMixer mixer;
        mixer.pushSystem(base, test.pairs);
        const auto block = mixer.pullFrames(everything, 100, twentySeconds);
        ASSERT_TRUE(block) << test.what;
        EXPECT_EQ(channelOf(*block, 1), test.heard) << test.what;
        EXPECT_EQ(channelOf(*block, 0), std::vector<std::int16_t>(test.heard.size(), 0)) << test.what;
    }
}

TEST(StereoFrameMixerLayout, SystemSegmentOfOneValueIsIgnored) {
    StereoFrameMixer mixer;
    mixer.pushSystem(base, {5});
    mixer.pushMic(base, {});
    EXPECT_EQ(mixer.originNanos(), std::nullopt);
    EXPECT_EQ(mixer.coverageEnd(), std::nullopt);
    EXPECT_FALSE(mixer.pullFrames(everything, 100, twentySeconds));
}

TEST(StereoFrameMixerLayout, OffGridSegmentTakesTheSampleAtEachFrameInstant) {
    // The system stream starts 40 µs after the output grid: output frame k
    // at base + k·62.5 µs takes system sample floor((k·62.5 − 40) ÷ 62.5).
    StereoFrameMixer mixer;
    mixer.pushMic(base, ramp(4, 10));
    mixer.pushSystem(base + 40'000, {21, 21, 22, 22, 23, 23});
    const auto block = mixer.pullFrames(everything, 100, twentySeconds);
    ASSERT_TRUE(block);
    EXPECT_EQ(channelOf(*block, 1), (std::vector<std::int16_t>{0, 21, 22, 23}));
}

TEST(StereoFrameMixerLimits, BlocksOfAtMostMaxFramesThenNothing) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, ramp(24'000, 0));
    const auto first = mixer.pullFrames(everything, 16'000, twentySeconds);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->first, 0);
    EXPECT_EQ(first->pcm.size(), 16'000u * 4);
    const auto second = mixer.pullFrames(everything, 16'000, twentySeconds);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->first, 16'000);
    EXPECT_EQ(second->pcm.size(), 8'000u * 4);
    EXPECT_EQ(channelOf(*second, 0).front(), static_cast<std::int16_t>(16'000));
    EXPECT_FALSE(mixer.pullFrames(everything, 16'000, twentySeconds));
    EXPECT_EQ(mixer.deliveredFrames(), 24'000);
}

TEST(StereoFrameMixerLimits, UpToBoundsTheBlockAndPartialFramesRoundUp) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, ramp(100, 0));
    // A frame whose instant lies before upTo is handed out.
    const auto block = mixer.pullFrames(base + 10 * frame + 1, 16'000, twentySeconds);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->pcm.size(), 11u * 4);
    EXPECT_FALSE(mixer.pullFrames(base + 11 * frame, 16'000, twentySeconds));
    EXPECT_FALSE(mixer.pullFrames(everything, 0, twentySeconds));
    EXPECT_EQ(mixer.deliveredFrames(), 11);
}

TEST(StereoFrameMixerLimits, WindowLongerThanTheSpanConsumesNothing) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, ramp(16'000, 0));
    mixer.pushSystem(base + 21'000'000'000, {1, 1});
    EXPECT_THROW(mixer.pullFrames(everything, 16'000, twentySeconds), MixError);
    EXPECT_EQ(mixer.deliveredFrames(), 0);
    // Within the span it goes on as usual.
    const auto block = mixer.pullFrames(base + twentySeconds, 16'000, twentySeconds);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->first, 0);
}

TEST(StereoFrameMixerAdmission, OriginMovesBackUntilTheFirstDeliveryThenLateDataFails) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, ramp(160, 0));
    mixer.pushSystem(base - 10 * frame, ramp(40, 0));
    EXPECT_EQ(mixer.originNanos(), base - 10 * frame);
    ASSERT_TRUE(mixer.pullFrames(base + 100 * frame, 16'000, twentySeconds));
    EXPECT_EQ(mixer.deliveredFrames(), 110);

    // Starting at the delivered end is fine; one nanosecond before is late.
    mixer.pushSystem(base + 100 * frame, ramp(20, 0));
    EXPECT_EQ(mixer.pendingError(), std::nullopt);
    mixer.pushMic(base + 100 * frame - 1, {1});
    EXPECT_EQ(mixer.originNanos(), base - 10 * frame);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            mixer.pullFrames(everything, 16'000, twentySeconds);
            FAIL() << "lateData expected";
        } catch (const MixError& error) {
            EXPECT_EQ(error, MixError::lateData());
            EXPECT_STREQ(error.what(), "lateData");
        }
    }
    mixer.reset();
    EXPECT_EQ(mixer.originNanos(), std::nullopt);
    EXPECT_EQ(mixer.deliveredFrames(), 0);
    EXPECT_EQ(mixer.bufferedFrames(), 0);
    mixer.pushMic(base, {1});
    EXPECT_TRUE(mixer.pullFrames(everything, 16'000, twentySeconds));
}

TEST(StereoFrameMixerAdmission, BacklogBeyondFortySecondsFailsEveryPullUntilReset) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, std::vector<std::int16_t>(320'000, 1));
    mixer.pushSystem(base, std::vector<std::int16_t>(2 * 320'000, 2)); // exactly 640 000 frames
    EXPECT_EQ(mixer.bufferedFrames(), 640'000);
    EXPECT_EQ(mixer.pendingError(), std::nullopt);
    mixer.pushMic(base + 320'000 * frame, {3});
    EXPECT_EQ(mixer.bufferedFrames(), 640'000); // refused, not buffered
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_THROW(mixer.pullFrames(everything, 16'000, twentySeconds), MixError);
    }
    EXPECT_EQ(mixer.pendingError(), MixError::backlogExceeded());
    mixer.reset();
    EXPECT_EQ(mixer.pendingError(), std::nullopt);
}

TEST(StereoFrameMixerAdmission, NotLiveKeepsHistoryAndAdmitsEverything) {
    StereoFrameMixer mixer(false);
    mixer.pushMic(base, ramp(100'000, 0, 0));
    ASSERT_TRUE(mixer.pullFrames(base + 64'000 * frame, 64'000, everything));
    mixer.pushMic(base, std::vector<std::int16_t>(700'000, 1)); // late and too much: both fine
    EXPECT_EQ(mixer.pendingError(), std::nullopt);
    EXPECT_EQ(mixer.micSegments().size(), 2u);
}

TEST(StereoFrameMixerPruning, LiveMixerKeepsOnlyWhatIsNotFullyDelivered) {
    StereoFrameMixer mixer;
    mixer.pushMic(base, ramp(10, 0));
    mixer.pushMic(base + 10 * frame, ramp(10, 0));
    mixer.pushSystem(base, ramp(40, 0));
    ASSERT_TRUE(mixer.pullFrames(base + 15 * frame, 16'000, twentySeconds));
    EXPECT_EQ(mixer.micSegments().size(), 1u);
    EXPECT_EQ(mixer.systemSegments().size(), 1u);
    EXPECT_EQ(mixer.bufferedFrames(), 30);
    EXPECT_EQ(mixer.coverageEnd(), base + 20 * frame);
}

TEST(StereoFrameMixerReady, PullsOnlyAudioOldEnoughAndBehindThePendingStream) {
    StereoFrameMixer mixer;
    mixer.pushMic(0, ramp(32'000, 0, 0)); // two seconds from host time 0
    EXPECT_FALSE(mixer.pullReadyFrames(500'000'000, everything, 16'000));
    auto block = mixer.pullReadyFrames(1'500'000'000, everything, 64'000);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->pcm.size(), 16'000u * 4); // up to now − 0.5 s
    block = mixer.pullReadyFrames(10'000'000'000, 1'250'000'000, 64'000);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->first, 16'000);
    EXPECT_EQ(block->pcm.size(), 4'000u * 4); // up to the slower stream's end
}

// --- Against a slow model -------------------------------------------------

/// Wide enough that no position computation of the model can overflow.
__extension__ typedef unsigned __int128 Wide;

/// The mixer's rules, written as plainly as possible: per-frame linear search
/// over every segment, no painting, no running totals.
class ReferenceMixer {
public:
    explicit ReferenceMixer(bool live) : live_(live) {}

    void push(bool mic, std::uint64_t start, std::vector<std::int16_t> samples) {
        const std::uint64_t frames = mic ? samples.size() : samples.size() / 2;
        if (frames == 0) {
            return;
        }
        if (live_) {
            if (delivered_ > 0 && origin_) {
                const Wide end = static_cast<Wide>(*origin_) + static_cast<Wide>(delivered_) * frame;
                if (end <= everything && start < static_cast<std::uint64_t>(end)) {
                    error_ = MixError::lateData();
                    return;
                }
            }
            if (buffered() + frames > 640'000) {
                error_ = MixError::backlogExceeded();
                return;
            }
        }
        if (delivered_ == 0) {
            origin_ = origin_ ? std::min(*origin_, start) : start;
        }
        (mic ? mic_ : system_).push_back({start, std::move(samples)});
    }

    std::optional<StereoFrameMixer::Block> pull(std::uint64_t upTo, std::int64_t maxFrames,
                                                std::uint64_t span) {
        if (error_) {
            throw *error_;
        }
        const auto cursor = position();
        if (!cursor || (mic_.empty() && system_.empty())) {
            return std::nullopt;
        }
        Wide coverage = 0;
        for (const auto* list : {&mic_, &system_}) {
            for (const auto& s : *list) {
                if (framesOf(s, list == &mic_) > 0) {
                    coverage = std::max(coverage, endOf(s, list == &mic_));
                }
            }
        }
        const Wide limit = std::min<Wide>(std::min<Wide>(coverage, everything), upTo);
        if (*cursor >= limit) {
            return std::nullopt;
        }
        if (limit - *cursor > span) {
            throw MixError::windowTooLong();
        }
        if (maxFrames < 1) {
            return std::nullopt;
        }
        StereoFrameMixer::Block block{static_cast<std::int64_t>(delivered_), {}};
        for (std::int64_t i = 0; i < maxFrames; ++i) {
            const Wide t = *cursor + static_cast<Wide>(i) * frame;
            if (t >= limit) {
                break;
            }
            for (const bool mic : {true, false}) {
                const MixSegment* best = nullptr;
                for (const auto& s : mic ? mic_ : system_) {
                    if (s.startNanos <= t && t < std::min<Wide>(endOf(s, mic), everything) &&
                        (!best || s.startNanos >= best->startNanos)) {
                        best = &s;
                    }
                }
                std::int16_t value = 0;
                if (best) {
                    const std::uint64_t index = std::min<std::uint64_t>(
                        framesOf(*best, mic) - 1, static_cast<std::uint64_t>((t - best->startNanos) / frame));
                    value = mic ? best->samples[index]
                                : static_cast<std::int16_t>(
                                      (best->samples[2 * index] + best->samples[2 * index + 1]) / 2);
                }
                block.pcm.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) & 0xff));
                block.pcm.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
            }
        }
        if (block.pcm.empty()) {
            return std::nullopt;
        }
        delivered_ += block.pcm.size() / 4;
        const auto after = position();
        for (auto* list : {&mic_, &system_}) {
            const bool mic = list == &mic_;
            if (!after) {
                list->clear();
                continue;
            }
            const Wide cutoff = live_ ? *after : (*after <= 2'000'000'000 ? 0 : *after - 2'000'000'000);
            std::erase_if(*list, [&](const MixSegment& s) {
                return std::min<Wide>(endOf(s, mic), everything) < cutoff;
            });
        }
        return block;
    }

    void reset() {
        origin_.reset();
        delivered_ = 0;
        mic_.clear();
        system_.clear();
        error_.reset();
    }

    std::optional<std::uint64_t> origin() const { return origin_; }
    std::uint64_t delivered() const { return delivered_; }
    std::uint64_t buffered() const {
        std::uint64_t total = 0;
        for (const auto& s : mic_) {
            total += framesOf(s, true);
        }
        for (const auto& s : system_) {
            total += framesOf(s, false);
        }
        return total;
    }

private:
    static std::uint64_t framesOf(const MixSegment& s, bool mic) {
        return mic ? s.samples.size() : s.samples.size() / 2;
    }
    static Wide endOf(const MixSegment& s, bool mic) {
        return static_cast<Wide>(s.startNanos) + static_cast<Wide>(framesOf(s, mic)) * frame;
    }
    std::optional<Wide> position() const {
        if (!origin_) {
            return std::nullopt;
        }
        const Wide p = static_cast<Wide>(*origin_) + static_cast<Wide>(delivered_) * frame;
        if (p > everything) {
            return std::nullopt;
        }
        return p;
    }

    bool live_;
    std::optional<std::uint64_t> origin_;
    std::uint64_t delivered_ = 0;
    std::vector<MixSegment> mic_;
    std::vector<MixSegment> system_;
    std::optional<MixError> error_;
};

using PullOutcome = std::variant<std::optional<StereoFrameMixer::Block>, MixError>;

template <typename Pull>
PullOutcome outcomeOf(Pull pull) {
    try {
        return pull();
    } catch (const MixError& error) {
        return error;
    }
}

TEST(StereoFrameMixerModel, RandomLayoutsMatchTheSlowModel) {
    for (const bool live : {true, false}) {
        for (std::uint32_t seed = 1; seed <= 40; ++seed) {
            SCOPED_TRACE(testing::Message() << "live " << live << " seed " << seed);
            std::mt19937_64 random(seed);
            const auto uniform = [&](std::uint64_t low, std::uint64_t high) {
                return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
            };
            StereoFrameMixer mixer(live);
            ReferenceMixer model(live);
            // Some runs live near the end of the 64-bit axis, where ends saturate.
            const std::uint64_t start = seed % 10 == 0 ? everything - 3'000'000'000 : base;
            std::uint64_t micHead = start + uniform(0, 5) * 40'000;
            std::uint64_t systemHead = start + uniform(0, 5) * 40'000;
            for (int step = 0; step < 300; ++step) {
                const std::uint64_t choice = uniform(0, 99);
                if (choice < 60) {
                    const bool mic = choice % 2 == 0;
                    std::uint64_t& head = mic ? micHead : systemHead;
                    std::size_t frames = static_cast<std::size_t>(uniform(0, 400));
                    if (uniform(0, 40) == 0) {
                        frames = static_cast<std::size_t>(uniform(100'000, 400'000)); // a backlog
                    }
                    // Mostly contiguous; sometimes a gap, an overlap, or an
                    // off-grid start.
                    std::uint64_t at = head;
                    const std::uint64_t layout = uniform(0, 9);
                    if (layout == 0) {
                        at += uniform(1, 200) * frame;
                    } else if (layout == 1) {
                        at -= std::min(at - start, uniform(1, 300) * frame);
                    } else if (layout == 2) {
                        at += uniform(1, frame - 1);
                    }
                    std::vector<std::int16_t> samples(frames * (mic ? 1 : 2));
                    for (auto& value : samples) {
                        value = static_cast<std::int16_t>(uniform(0, 65'535));
                    }
                    if (!mic && uniform(0, 5) == 0) {
                        samples.push_back(9); // an odd value count
                    }
                    const bool exceedsAxis = frames * frame > everything - at;
                    head = exceedsAxis ? everything : at + frames * frame;
                    model.push(mic, at, samples);
                    if (mic) {
                        mixer.pushMic(at, std::move(samples));
                    } else {
                        mixer.pushSystem(at, std::move(samples));
                    }
                } else if (choice < 97) {
                    const std::uint64_t horizon = std::max(micHead, systemHead);
                    const std::uint64_t upTo = uniform(0, 4) == 0
                                                   ? everything
                                                   : horizon - std::min(horizon, uniform(0, 20'000) * frame);
                    const auto maxFrames =
                        static_cast<std::int64_t>(uniform(0, 20) == 0 ? 0 : uniform(1, 20'000));
                    const std::uint64_t span = uniform(0, 3) == 0 ? uniform(0, 2'000'000'000) : twentySeconds;
                    const PullOutcome ours =
                        outcomeOf([&] { return mixer.pullFrames(upTo, maxFrames, span); });
                    const PullOutcome theirs = outcomeOf([&] { return model.pull(upTo, maxFrames, span); });
                    ASSERT_EQ(ours, theirs) << "step " << step;
                } else {
                    mixer.reset();
                    model.reset();
                }
                ASSERT_EQ(mixer.originNanos(), model.origin()) << "step " << step;
                ASSERT_EQ(static_cast<std::uint64_t>(mixer.deliveredFrames()), model.delivered())
                    << "step " << step;
                ASSERT_EQ(static_cast<std::uint64_t>(mixer.bufferedFrames()), model.buffered())
                    << "step " << step;
            }
        }
    }
}

} // namespace
} // namespace zoq
