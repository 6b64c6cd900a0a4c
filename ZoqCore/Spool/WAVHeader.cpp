#include "ZoqCore/Spool/WAVHeader.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"

namespace zoq::pcm {
namespace {

void put(Bytes& out, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void putText(Bytes& out, std::size_t at, const char (&text)[5]) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(text[i]);
    }
}

} // namespace

Bytes wavHeader(std::int64_t frames) {
    if (frames < 0 || frames > maximumPartFrames) {
        throw CoreError::invalid("WAV frames");
    }
    // At most 691 200 000 data bytes: both size fields fit in 32 bits.
    const auto dataBytes = static_cast<std::uint32_t>(frames * bytesPerFrame);
    Bytes header(wavHeaderSize);
    putText(header, 0, "RIFF");
    put(header, 4, dataBytes + 36, 4);
    putText(header, 8, "WAVE");
    putText(header, 12, "fmt ");
    put(header, 16, 16, 4);
    put(header, 20, 1, 2);
    put(header, 22, channels, 2);
    put(header, 24, static_cast<std::uint32_t>(sampleRate), 4);
    put(header, 28, static_cast<std::uint32_t>(sampleRate * bytesPerFrame), 4);
    put(header, 32, bytesPerFrame, 2);
    put(header, 34, bytesPerSample * 8, 2);
    putText(header, 36, "data");
    put(header, 40, dataBytes, 4);
    return header;
}

void validateHeader(ByteView header) {
    if (header.size() != wavHeaderSize) {
        throw CoreError::corrupt("WAV header length");
    }
    const Bytes expected = wavHeader(0);
    for (std::size_t i = 0; i < wavHeaderSize; ++i) {
        const bool sizeField = (i >= 4 && i < 8) || i >= 40;
        if (!sizeField && header[i] != expected[i]) {
            throw CoreError::corrupt("WAV format");
        }
    }
}

} // namespace zoq::pcm
