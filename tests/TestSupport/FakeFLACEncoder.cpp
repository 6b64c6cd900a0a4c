#include "tests/TestSupport/FakeFLACEncoder.h"

#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Support/SHA256.h"

#include <chrono>
#include <string_view>
#include <thread>

namespace zoq::test {
namespace {

constexpr std::string_view magic = "FAKEFLAC\n";
constexpr std::int64_t wavHeaderBytes = 44;

} // namespace

void FakeFLACEncoder::encode(const std::filesystem::path& wav,
                             const std::filesystem::path& temporaryFLAC) const {
    ++encodes;
    const Mode current = mode.load();
    if (current == Mode::throws) {
        throw CoreError::processFailed(1);
    }
    const DurableIO io;
    Bytes pcm = io.read(wav, wavHeaderBytes);
    pcm.resize(pcm.size() - pcm.size() % pcm::bytesPerFrame);
    if (current == Mode::oneFrameFewer && !pcm.empty()) {
        pcm.resize(pcm.size() - pcm::bytesPerFrame);
    }
    if (current == Mode::wrongHash && !pcm.empty()) {
        pcm[pcm.size() / 2] ^= 0x01;
    }
    Bytes file(magic.begin(), magic.end());
    if (current == Mode::slow) {
        io.write(temporaryFLAC, file, 0, true, false);
        std::this_thread::sleep_for(std::chrono::duration<double>(slowSeconds));
        throw CoreError::deadline();
    }
    file.insert(file.end(), pcm.begin(), pcm.end());
    io.write(temporaryFLAC, file, 0, true, false);
}

DecodedAudio FakeFLACEncoder::inspect(const std::filesystem::path& flac) const {
    ++inspections;
    const DurableIO io;
    const Bytes file = io.read(flac, 0);
    if (file.size() < magic.size() ||
        std::string_view(reinterpret_cast<const char*>(file.data()), magic.size()) != magic ||
        (file.size() - magic.size()) % pcm::bytesPerFrame != 0) {
        throw CoreError::corrupt("FLAC STREAMINFO");
    }
    const ByteView pcm(file.data() + magic.size(), file.size() - magic.size());
    return DecodedAudio{static_cast<std::int64_t>(pcm.size() / pcm::bytesPerFrame), pcm::sampleRate,
                        pcm::channels, pcm::bytesPerSample * 8, SHA256::hex(pcm)};
}

} // namespace zoq::test
