#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/ScriptedAudioBackend.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestAudio.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zoq {
namespace {

struct Collector final : RecordStreamHandler {
    std::vector<float> samples;
    std::vector<std::uint64_t> firstFrames;
    void onAudio(const RecordedAudio& audio) noexcept override {
        samples.insert(samples.end(), audio.samples.begin(), audio.samples.end());
        firstFrames.push_back(audio.firstFrame);
    }
    void onStreamFailed(std::int32_t, const std::string&) noexcept override {}
};

TEST(ScriptedAudioBackend, PlaysAWavFileInALoopIntoTheStreamsOfItsSourceAndCountsLostFrames) {
    test::TempDirectory directory;
    // Three stereo frames: (1000, -1000), (2000, -2000), (3000, -3000).
    const Bytes pcm{0xe8, 0x03, 0x18, 0xfc, 0xd0, 0x07, 0x30, 0xf8, 0xb8, 0x0b, 0x48, 0xf4};
    test::writeWAV(directory / "voice.wav", pcm, 48'000, 2);
    ScriptedAudioBackend backend;
    backend.addSource("mic", AudioFormat{"float32le", 48'000, 1, {"mono"}});
    backend.setSignal("mic", ScriptedSignal::wav(directory / "voice.wav"));
    Collector collector;
    const auto stream =
        backend.openRecordStream(RecordStreamRequest{"mic", 48'000, 1, 480, "test", std::nullopt}, collector);
    backend.deliver("mic", 4, 1);
    backend.lose("mic", 2);
    backend.deliver("mic", 1, 2);
    const float unit = 1.0f / 32768;
    EXPECT_EQ(collector.samples,
              (std::vector<float>{1000 * unit, 2000 * unit, 3000 * unit, 1000 * unit, 1000 * unit}));
    EXPECT_EQ(collector.firstFrames, (std::vector<std::uint64_t>{0, 6}));
}

TEST(ScriptedAudioBackend, AFileThatIsNotAUsableWavIsRefusedWithItsNameAndWhy) {
    test::TempDirectory directory;
    std::ofstream(directory / "text.wav") << "hello";
    const Bytes header = test::canonicalWAVHeader(0, 48'000, 1);
    std::ofstream(directory / "empty.wav", std::ios::binary)
        .write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    const std::pair<const char*, const char*> cases[] = {{"missing.wav", "cannot be opened"},
                                                         {"text.wav", "not a RIFF/WAVE file"},
                                                         {"empty.wav", "holds no audio"}};
    for (const auto& [name, why] : cases) {
        try {
            ScriptedSignal::wav(directory / name);
            ADD_FAILURE() << name << " was accepted";
        } catch (const AudioBackendError& error) {
            EXPECT_EQ(error.code(), AudioBackendError::invalidArgument);
            EXPECT_EQ(std::string(error.what()), "wav: " + (directory / name).string() + ": " + why + " (3)");
        }
    }
}

} // namespace
} // namespace zoq
