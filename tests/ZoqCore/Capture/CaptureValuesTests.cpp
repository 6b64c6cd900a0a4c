#include "ZoqCore/Capture/CaptureAction.h"
#include "ZoqCore/Capture/CaptureAllowlist.h"
#include "ZoqCore/Capture/CapturePrebuffer.h"
#include "ZoqCore/Capture/CaptureState.h"
#include "ZoqCore/Support/CoreError.h"

#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <variant>

namespace zoq {
namespace {

template <class T>
std::string printed(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

TEST(CaptureAllowlist, OnlyAllowedAppsTakingInputAreEligible) {
    const CaptureAllowlist allowlist{
        .allowed = {"us.zoom.xos", "com.apple.Siri", "com.apple.CoreSpeech", "org.zoq.Zoq"},
        .ownPID = 42,
        .ownBundleId = "org.zoq.Zoq"};
    EXPECT_TRUE(allowlist.eligible({100, "us.zoom.xos", true}));
    EXPECT_FALSE(allowlist.eligible({100, "us.zoom.xos", false})) << "not taking input";
    EXPECT_FALSE(allowlist.eligible({42, "us.zoom.xos", true})) << "our own process";
    EXPECT_FALSE(allowlist.eligible({100, "org.zoq.Zoq", true})) << "our own bundle, even when allowed";
    EXPECT_FALSE(allowlist.eligible({100, "com.apple.Siri", true})) << "ignored, even when allowed";
    EXPECT_FALSE(allowlist.eligible({100, "com.apple.CoreSpeech", true}));
    EXPECT_FALSE(allowlist.eligible({100, "com.google.Chrome", true})) << "a seed option is not allowed";
    EXPECT_FALSE(allowlist.eligible({100, "US.ZOOM.XOS", true})) << "exact comparison";
    EXPECT_FALSE(allowlist.eligible({100, "us.zoom.xos ", true}));
}

TEST(CaptureAllowlist, FixedSetsHoldExactlyTheirIdentifiers) {
    EXPECT_EQ(
        CaptureAllowlist::seedOptions,
        (CaptureAllowlist::BundleIds{"us.zoom.xos", "com.microsoft.teams2", "com.microsoft.teams",
                                     "com.google.Chrome", "com.apple.Safari", "com.tinyspeck.slackmacgap",
                                     "com.hnc.Discord", "net.whatsapp.WhatsApp", "com.apple.FaceTime"}));
    EXPECT_EQ(CaptureAllowlist::ignored,
              (CaptureAllowlist::BundleIds{
                  "com.apple.VoiceMemos", "com.apple.VoiceMemos.VoiceMemos", "com.apple.DictationIM",
                  "com.apple.SpeechRecognitionCore.speechrecognitiond", "com.apple.assistantd",
                  "com.apple.Siri", "com.apple.CoreSpeech"}));
}

TEST(CaptureState, RawValuesRoundTripAndOtherTextIsRejected) {
    const std::pair<CaptureState, const char*> cases[] = {
        {CaptureState::armed, "ARMED"},
        {CaptureState::debouncing, "DEBOUNCING"},
        {CaptureState::recording, "RECORDING"},
        {CaptureState::idleGrace, "IDLE_GRACE"},
        {CaptureState::finalising, "FINALISING"},
        {CaptureState::paused, "PAUSED"},
        {CaptureState::errorVisible, "ERROR_VISIBLE"},
    };
    for (const auto& [state, text] : cases) {
        EXPECT_EQ(toText(state), text);
        EXPECT_EQ(captureStateFromText(text), state);
        EXPECT_EQ(printed(state), text);
    }
    for (const char* bad : {"armed", "IDLE GRACE", "", "ARMED ", "idleGrace"}) {
        EXPECT_THROW(
            try { captureStateFromText(bad); } catch (const CoreError& error) {
                EXPECT_EQ(error, CoreError::invalid("capture state"));
                throw;
            },
            CoreError)
            << bad;
    }
}

TEST(CaptureAction, ComparesByCaseAndPayloadAndPrintsOneLine) {
    const CaptureSegment segment{"abc", 2, "us.zoom.xos", Date{100.5}, 48'000};
    EXPECT_EQ(CaptureAction::begin(segment), CaptureAction::begin(segment));
    EXPECT_NE(CaptureAction::begin(segment),
              CaptureAction::begin({"abc", 3, "us.zoom.xos", Date{100.5}, 48'000}));
    EXPECT_NE(CaptureAction::persistPaused(true), CaptureAction::persistPaused(false));
    EXPECT_NE(CaptureAction::finish(true, Date{1}), CaptureAction::finish(false, Date{1}));
    EXPECT_NE(CaptureAction::append(Bytes{1, 2, 3, 4}), CaptureAction::append(Bytes{1, 2, 3, 5}));
    EXPECT_EQ(CaptureAction::reregisterObservers(), CaptureAction::reregisterObservers());

    EXPECT_EQ(printed(CaptureAction::begin(segment)),
              "begin{session abc, part 2, app us.zoom.xos, startedAt 100.500, firstFrame 48000}");
    EXPECT_EQ(printed(CaptureAction::append(Bytes(16'000))), "append(16000 bytes, 4000 frames)");
    EXPECT_EQ(printed(CaptureAction::finish(true, Date{12.25})),
              "finish(interrupted: true, endedAt: 12.250)");
    EXPECT_EQ(printed(CaptureAction::persistPaused(false)), "persistPaused(false)");
    EXPECT_EQ(printed(CaptureAction::reregisterObservers()), "reregisterObservers");

    const CaptureAction finish = CaptureAction::finish(false, Date{3});
    EXPECT_EQ(finish.kind(), CaptureAction::Kind::finish);
    EXPECT_EQ(finish.endedAt(), Date{3});
    EXPECT_THROW((void)finish.segment(), std::bad_variant_access);
}

// The ring must behave exactly like "append, then erase the oldest bytes over
// the limit" for every mix of chunk sizes, including chunks larger than it.
TEST(CapturePrebuffer, KeepsTheNewestBytesLikeATrimmedVector) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 200; ++round) {
        CapturePrebuffer ring(64);
        Bytes model;
        std::int64_t modelFirst = 0;
        std::int64_t position = 1'000;
        std::uint8_t counter = 0;
        for (int step = 0; step < 30; ++step) {
            if (random() % 8 == 0) {
                ring.clear();
                model.clear();
            }
            Bytes chunk(4 * (random() % 24));
            for (auto& byte : chunk) {
                byte = counter++;
            }
            if (model.empty()) {
                modelFirst = position;
            }
            model.insert(model.end(), chunk.begin(), chunk.end());
            if (model.size() > 64) {
                const std::size_t excess = model.size() - 64;
                model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(excess));
                modelFirst += static_cast<std::int64_t>(excess / 4);
            }
            ring.push(chunk, position);
            position += static_cast<std::int64_t>(chunk.size() / 4);
            ASSERT_EQ(ring.contents(), model) << "round " << round << " step " << step;
            ASSERT_EQ(ring.size(), model.size());
            if (!model.empty()) {
                ASSERT_EQ(ring.firstFrame(), modelFirst);
            }
        }
        EXPECT_EQ(ring.take(), model);
        EXPECT_TRUE(ring.empty());
    }
    EXPECT_THROW(CapturePrebuffer(6), CoreError);
}

} // namespace
} // namespace zoq
