#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <cstddef>
#include <cstdint>

/// The canonical 44-byte header of "audio.wav": RIFF/WAVE, a 16-byte "fmt "
/// chunk for 16 kHz stereo 16-bit integer PCM, then the "data" chunk, all
/// integers little-endian. PCM frame n lives at byte 44 + 4n.
namespace zoq::pcm {

inline constexpr std::size_t wavHeaderSize = 44;

/// The header for `frames` frames of PCM. Throws `CoreError::invalid("WAV
/// frames")` outside 0 ... `maximumPartFrames`.
Bytes wavHeader(std::int64_t frames);

/// Accepts exactly the header `wavHeader` writes, with any values in the two
/// size fields (offsets 4-7 and 40-43): those are rewritten at every flush and
/// never trusted. Throws `CoreError::corrupt("WAV header length")` unless
/// `header` is 44 bytes, `CoreError::corrupt("WAV format")` for any other byte
/// that differs.
void validateHeader(ByteView header);

} // namespace zoq::pcm
