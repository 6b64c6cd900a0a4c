#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace zoq::cli {

/// An audio file that cannot be used as a simulated call.
class CallAudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The audio of `file` as zoq records it: 16 kHz, 2 channels, signed 16-bit
/// little-endian, interleaved, whole frames.
///
/// A WAV file already in that format (integer PCM "fmt " chunk; the chunks are
/// walked, so extra chunks before "data" are fine) is read directly. Anything
/// else is converted by running `ffmpeg -i FILE -ac 2 -ar 16000 -f s16le`
/// (under a deadline) into a temporary file that is deleted afterwards. Throws
/// `CallAudioError` for an unreadable file and whatever `BoundedProcess::run`
/// throws when the conversion fails.
Bytes loadCallAudio(const std::filesystem::path& file, const std::filesystem::path& ffmpeg);

/// The PCM of a whole WAV file already in zoq's format, cut to whole frames;
/// none for anything else (another format, no "data" chunk before the end, not
/// a WAV at all). A "data" size of 0 or past the end, as streaming writers
/// leave it, means "to the end of the file". Never reads outside `file`.
std::optional<Bytes> directCallPCM(ByteView file);

} // namespace zoq::cli
