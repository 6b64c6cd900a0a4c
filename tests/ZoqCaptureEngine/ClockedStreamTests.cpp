#include "ZoqCaptureEngine/ClockedStream.h"
#include "ZoqCaptureEngine/ResampleError.h"
#include "ZoqCaptureEngine/StreamClockError.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqCaptureEngine/AudioMeasure.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <random>

namespace zoq {
namespace {

constexpr std::uint64_t origin = 5'000'000'000'000;

RawChunk chunk(std::uint64_t host, double sampleTime, std::size_t frames, int channels = 1) {
    return RawChunk(host, host + 1'000'000, sampleTime,
                    std::vector<float>(frames * static_cast<std::size_t>(channels), 0.1f), channels, true,
                    true);
}

std::optional<StreamClockError::Kind> refusal(ClockedStream& stream, const RawChunk& raw) {
    try {
        stream.push(raw);
    } catch (const StreamClockError& error) {
        return error.kind();
    }
    return std::nullopt;
}

TEST(ClockedStreamTiming, FirstChunkSetsTheOriginWhateverItsSampleCounter) {
    ClockedStream stream(48'000, 1);
    stream.push(chunk(origin, 123'456'789.0, 480));
    EXPECT_EQ(stream.originNanos(), origin);
    EXPECT_EQ(stream.expectedSample(), 123'456'789.0 + 480);
    stream.push(chunk(origin + 10'000'000, 123'456'789.0 + 480, 480));
    EXPECT_EQ(stream.originNanos(), origin);
}

TEST(ClockedStreamTiming, SampleCounterMayOnlySkipAheadByWholeFrames) {
    for (const double offset : {-1.0, 0.5}) {
        ClockedStream stream(48'000, 1);
        stream.push(chunk(origin, 0, 480));
        // The host time fits perfectly; the counter alone is off.
        EXPECT_EQ(refusal(stream, chunk(origin + 10'000'000, 480 + offset, 480)),
                  StreamClockError::Kind::discontinuity)
            << offset;
        EXPECT_EQ(stream.expectedSample(), 480.0); // a refusal changes nothing
        EXPECT_EQ(refusal(stream, chunk(origin + 10'000'000, 480, 480)), std::nullopt);
        EXPECT_EQ(stream.lastGapFrames(), 0u);
    }
}

TEST(ClockedStreamTiming, HostTimeToleranceIsTwoFramesButAtLeast125Microseconds) {
    struct Case {
        double rate;
        std::uint64_t tolerance;
    };
    // 480 frames at 48 kHz last 10 ms; 80 frames at 8 kHz too.
    for (const Case c : {Case{48'000, 125'000}, Case{8'000, 250'000}}) {
        SCOPED_TRACE(c.rate);
        const auto frames = static_cast<std::size_t>(c.rate / 100);
        ClockedStream stream(c.rate, 1);
        stream.push(chunk(origin, 0, frames));
        // Earlier than the frames allow: the stamps went back.
        EXPECT_EQ(refusal(stream,
                          chunk(origin + 10'000'000 - c.tolerance - 1, static_cast<double>(frames), frames)),
                  StreamClockError::Kind::discontinuity);
        EXPECT_EQ(
            refusal(stream, chunk(origin + 10'000'000 - c.tolerance, static_cast<double>(frames), frames)),
            std::nullopt);
        EXPECT_EQ(stream.lastGapFrames(), 0u);
        // The next step is measured from the accepted chunk's own host time;
        // within the tolerance late is jitter, beyond it a loss.
        std::uint64_t previous = origin + 10'000'000 - c.tolerance;
        EXPECT_EQ(refusal(stream, chunk(previous + 10'000'000 + c.tolerance,
                                        2.0 * static_cast<double>(frames), frames)),
                  std::nullopt);
        EXPECT_EQ(stream.lastGapFrames(), 0u);
        previous += 10'000'000 + c.tolerance;
        EXPECT_EQ(refusal(stream, chunk(previous + 10'000'000 + 3 * c.tolerance,
                                        3.0 * static_cast<double>(frames), frames)),
                  std::nullopt);
        EXPECT_EQ(stream.lastGapFrames(),
                  3 * c.tolerance * static_cast<std::uint64_t>(c.rate) / 1'000'000'000u);
    }
}

TEST(ClockedStreamTiming, ToleranceStaysExactForLargeHostTimes) {
    // Beyond 2^53 ns a double cannot hold every host time; the step between
    // chunks must still be measured to the nanosecond.
    const std::uint64_t late = (std::uint64_t{1} << 60) + 1;
    ClockedStream stream(48'000, 1);
    stream.push(chunk(late, 0, 480));
    EXPECT_EQ(refusal(stream, chunk(late + 9'874'999, 480, 480)), StreamClockError::Kind::discontinuity);
    EXPECT_EQ(refusal(stream, chunk(late + 9'875'000, 480, 480)), std::nullopt);
}

// A loss the server reported, by a hole in the frame counter or by stamps
// that jump ahead of the frames, stays inside the stream as exactly that much
// silence up to two seconds, so all that follows keeps its place; a longer
// one breaks the stream.
TEST(ClockedStreamTiming, ShortLossesBecomeSilenceInPlaceAndLongOnesBreak) {
    struct Case {
        const char* name;
        double skippedFrames;         // the counter's jump
        std::uint64_t extraHostNanos; // the stamps' jump beyond the counter's
        std::uint64_t gapFrames;      // 0: a break
    };
    for (const Case c : {Case{"hole", 24'000, 0, 24'000}, Case{"reported overflow", 0, 100'000'000, 4'800},
                         Case{"both", 4'800, 50'000'000, 7'200}, Case{"longest hole", 96'000, 0, 96'000},
                         Case{"hole too long", 96'048, 0, 0}, Case{"jump too long", 0, 2'001'000'000, 0}}) {
        SCOPED_TRACE(c.name);
        ClockedStream stream(48'000, 1);
        std::uint64_t handedOut = 0;
        const auto take = [&](std::optional<MixSegment> segment) {
            if (segment) {
                EXPECT_EQ(segment->startNanos, origin + handedOut * 62'500);
                handedOut += segment->samples.size();
            }
        };
        take(stream.push(chunk(origin, 0, 4'800)));
        const std::uint64_t host = origin + 100'000'000 +
                                   static_cast<std::uint64_t>(c.skippedFrames) * 1'000'000'000u / 48'000 +
                                   c.extraHostNanos;
        const RawChunk after = chunk(host, 4'800 + c.skippedFrames, 4'800);
        if (c.gapFrames == 0) {
            EXPECT_EQ(refusal(stream, after), StreamClockError::Kind::discontinuity);
            continue;
        }
        take(stream.push(after));
        EXPECT_EQ(stream.lastGapFrames(), c.gapFrames);
        take(stream.push(chunk(host + 100'000'000, 9'600 + c.skippedFrames, 4'800)));
        EXPECT_EQ(stream.lastGapFrames(), 0u);
        take(stream.finish());
        // Every frame, the silence included, is on the 16 kHz time line.
        EXPECT_EQ(handedOut, (3 * 4'800 + c.gapFrames) / 3);
    }
}

TEST(ClockedStreamChecks, MalformedChunksAreRefusedInOrderAndChangeNothing) {
    ClockedStream stream(48'000, 2);
    stream.push(chunk(origin, 0, 480, 2));
    const auto expected = stream.expectedSample();
    const auto produced = stream.converter().consumedFrames();

    using K = StreamClockError::Kind;
    RawChunk wrongChannels = chunk(origin + 10'000'000, 480, 480, 1);
    EXPECT_EQ(refusal(stream, wrongChannels), K::invalidPCM);
    RawChunk empty(origin + 10'000'000, 0, 480, {}, 2, true, true);
    EXPECT_EQ(refusal(stream, empty), K::invalidPCM);
    RawChunk ragged = chunk(origin + 10'000'000, 480, 480, 2);
    ragged.samples.pop_back();
    EXPECT_EQ(refusal(stream, ragged), K::invalidPCM);
    RawChunk noChannels(origin + 10'000'000, 0, 480, std::vector<float>(4, 0.0f), 0, true, true);
    EXPECT_EQ(noChannels.frames, 0);
    EXPECT_EQ(refusal(stream, noChannels), K::invalidPCM);

    // The PCM check runs before the clock check.
    RawChunk badBoth = ragged;
    badBoth.hostTimeValid = false;
    EXPECT_EQ(refusal(stream, badBoth), K::invalidPCM);

    for (const auto& spoil : std::vector<std::function<void(RawChunk&)>>{
             [](RawChunk& c) { c.hostTimeValid = false; },
             [](RawChunk& c) { c.sampleTimeValid = false; },
             [](RawChunk& c) { c.sampleTime = std::numeric_limits<double>::infinity(); },
             [](RawChunk& c) { c.sampleTime = std::numeric_limits<double>::quiet_NaN(); },
         }) {
        RawChunk raw = chunk(origin + 10'000'000, 480, 480, 2);
        spoil(raw);
        EXPECT_EQ(refusal(stream, raw), K::invalidClock);
    }
    // The clock check runs before the continuity check.
    RawChunk discontinuousAndInvalid = chunk(origin + 90'000'000, 9999, 480, 2);
    discontinuousAndInvalid.sampleTimeValid = false;
    EXPECT_EQ(refusal(stream, discontinuousAndInvalid), K::invalidClock);

    EXPECT_EQ(stream.expectedSample(), expected);
    EXPECT_EQ(stream.converter().consumedFrames(), produced);
    EXPECT_EQ(refusal(stream, chunk(origin + 10'000'000, 480, 480, 2)), std::nullopt);
}

TEST(ClockedStreamPositions, SegmentsStartAtOriginPlusFramesHandedOut) {
    // At 16 kHz the converter passes frames straight through, so every push
    // yields a segment; the chunks' own host times wobble within tolerance
    // and must not move the segments.
    ClockedStream stream(16'000, 1);
    std::uint64_t handedOut = 0;
    double sampleTime = 0;
    std::mt19937 random(7);
    for (int i = 0; i < 50; ++i) {
        const auto frames = static_cast<std::size_t>(1 + random() % 400);
        const auto jitter = static_cast<std::int64_t>(random() % 120'001) - 60'000;
        const std::uint64_t host =
            origin +
            static_cast<std::uint64_t>(sampleTime * 62'500 + static_cast<double>(i == 0 ? 0 : jitter));
        const auto segment = stream.push(chunk(host, sampleTime, frames));
        sampleTime += static_cast<double>(frames);
        ASSERT_TRUE(segment);
        EXPECT_EQ(segment->startNanos, origin + 62'500 * handedOut);
        handedOut += segment->samples.size();
    }
    EXPECT_EQ(stream.outputFrames(), handedOut);
    EXPECT_EQ(stream.outputEndNanos(), origin + 62'500 * handedOut);
    EXPECT_EQ(stream.finish(), std::nullopt);
}

TEST(ClockedStreamPositions, StereoSegmentsCountFramesNotValues) {
    ClockedStream stream(48'000, 2);
    std::uint64_t handedOut = 0;
    for (int i = 0; i < 20; ++i) {
        if (auto segment =
                stream.push(chunk(origin + static_cast<std::uint64_t>(i) * 10'000'000, 480.0 * i, 480, 2))) {
            EXPECT_EQ(segment->startNanos, origin + 62'500 * handedOut);
            handedOut += segment->samples.size() / 2;
        }
    }
    auto tail = stream.finish();
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->startNanos, origin + 62'500 * handedOut);
    EXPECT_EQ(handedOut + tail->samples.size() / 2, 3200u);
    EXPECT_THROW(stream.push(chunk(origin + 200'000'000, 9600, 480, 2)), ResampleError);
}

TEST(ClockedStreamPositions, PositionBeyond64BitsIsTimestampOverflow) {
    const std::uint64_t nearEnd = std::numeric_limits<std::uint64_t>::max() - 100'000;
    ClockedStream stream(16'000, 1);
    const auto first = stream.push(chunk(nearEnd, 0, 2));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->startNanos, nearEnd);
    // The next segment would start at nearEnd + 125 000 ns, past the end of
    // the axis; its chunk's host time sits at the edge of the tolerance.
    try {
        stream.push(chunk(nearEnd, 2, 1));
        FAIL() << "expected timestampOverflow";
    } catch (const StreamClockError& error) {
        EXPECT_EQ(error, StreamClockError::timestampOverflow());
        EXPECT_STREQ(error.what(), "timestampOverflow");
    }
    // Nothing was taken: the audio stays with the converter.
    EXPECT_EQ(stream.converter().bufferedOutputFrames(), 1);
    EXPECT_EQ(stream.outputFrames(), 2u);
}

TEST(ClockedStreamErrors, BadFormatFailsAtConstruction) {
    EXPECT_THROW(ClockedStream(0, 1), ResampleError);
    EXPECT_THROW(ClockedStream(48'000, 0), ResampleError);
}

// --- Real speech, pushed the way a sound server delivers it ---------------

bool haveTool(const char* name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::vector<float> readFloats(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

TEST(ClockedStreamSpeech, IrregularChunksMatchAOneShotConversionSampleForSample) {
    if (!haveTool("espeak-ng") || !haveTool("sox")) {
        GTEST_SKIP()
            << "espeak-ng and sox are needed to make the spoken test audio; install them with ./dev deps";
    }
    test::TempDirectory directory;
    const auto wav = directory.path() / "speech.wav";
    const auto device = directory.path() / "speech48k.f32";
    const auto reference = directory.path() / "speech16k.f32";
    const std::string text =
        "The quick brown fox jumps over the lazy dog, and the recorder keeps every word in time.";
    ASSERT_EQ(std::system(("espeak-ng -w '" + wav.string() + "' '" + text + "'").c_str()), 0);
    // The sound server's view: 48 kHz float. The reference: sox's own
    // one-shot conversion of the same 48 kHz audio to 16 kHz.
    const std::string raw = " -t raw -e floating-point -b 32 -c 1 ";
    ASSERT_EQ(
        std::system(("sox '" + wav.string() + "'" + raw + "-r 48000 '" + device.string() + "'").c_str()), 0);
    ASSERT_EQ(std::system(("sox" + raw + "-r 48000 '" + device.string() + "'" + raw + "-r 16000 '" +
                           reference.string() + "'")
                              .c_str()),
              0);
    const auto input = readFloats(device);
    const auto expected = readFloats(reference);
    ASSERT_GT(input.size(), 48'000u);

    ClockedStream stream(48'000, 1);
    std::vector<std::int16_t> output;
    std::uint64_t nextStart = origin;
    const auto collect = [&](const std::optional<MixSegment>& segment) {
        if (segment) {
            ASSERT_EQ(segment->startNanos, nextStart); // contiguous, no gap, no overlap
            output.insert(output.end(), segment->samples.begin(), segment->samples.end());
            nextStart += 62'500 * segment->samples.size();
        }
    };
    std::mt19937 random(2024);
    for (std::size_t offset = 0; offset < input.size();) {
        const std::size_t frames = std::min<std::size_t>(input.size() - offset, 1 + random() % 2048);
        const auto host =
            origin + static_cast<std::uint64_t>(std::llround(static_cast<double>(offset) * 1e9 / 48'000));
        collect(stream.push(
            RawChunk(host, host, static_cast<double>(offset),
                     std::vector<float>(input.begin() + static_cast<std::ptrdiff_t>(offset),
                                        input.begin() + static_cast<std::ptrdiff_t>(offset + frames)),
                     1, true, true)));
        offset += frames;
        EXPECT_LE(stream.converter().producedFrames(),
                  stream.converter().expectedFrames() + stream.converter().slack());
    }
    collect(stream.finish());

    EXPECT_EQ(static_cast<std::int64_t>(output.size()), std::llround(static_cast<double>(input.size()) / 3));

    const auto ours = test::channel<std::int16_t>(output, 1, 0, 1.0 / 32768);
    const std::vector<double> theirs(expected.begin(), expected.end());
    const double aligned = test::correlation(ours, theirs, 0);
    EXPECT_GE(aligned, 0.999);
    // A frame of misalignment would show: speech decorrelates quickly at 16 kHz.
    EXPECT_LT(test::correlation(ours, theirs, 1), aligned);
    EXPECT_LT(test::correlation(ours, theirs, -1), aligned);

    // Chunking does not change a single sample.
    StreamResampler oneShot(48'000, 1);
    oneShot.push(input);
    oneShot.endOfStream();
    EXPECT_EQ(oneShot.pullAll(), output);
}

} // namespace
} // namespace zoq
