#pragma once

#include "ZoqCore/Spool/FLACEncoder.h"

#include <atomic>
#include <filesystem>

namespace zoq::test {

/// An in-process `FLACEncoder` for tests: "encodes" a WAV by writing a file of
/// its own format (a magic line, then the WAV's PCM as is) and "decodes" that
/// file by hashing the PCM back, so verification runs for real but costs only
/// a copy. Fault modes make the encoder lie or fail the way a broken external
/// encoder would.
///
/// Safe to share between threads; the mode may be changed at any time.
class FakeFLACEncoder final : public FLACEncoder {
public:
    enum class Mode {
        faithful,
        /// Writes one frame fewer than the WAV holds.
        oneFrameFewer,
        /// `encode` throws `CoreError::processFailed(1)` without writing.
        throws,
        /// Flips one PCM byte: the frame count is right, the hash is not.
        wrongHash,
        /// Behaves like a child killed at its deadline: sleeps `slowSeconds`,
        /// leaves a partial file and throws `CoreError::deadline()`.
        slow,
    };

    explicit FakeFLACEncoder(Mode initial = Mode::faithful) : mode(initial) {}

    std::atomic<Mode> mode;
    double slowSeconds = 0;

    /// How many times `encode` and `inspect` were called.
    mutable std::atomic<int> encodes{0};
    mutable std::atomic<int> inspections{0};

    /// Like `ffmpeg -n`: refuses to overwrite `temporaryFLAC`
    /// (`CoreError::io("open " + name, EEXIST)`).
    void encode(const std::filesystem::path& wav, const std::filesystem::path& temporaryFLAC) const override;
    /// `CoreError::corrupt("FLAC STREAMINFO")` for a file that this encoder did
    /// not write.
    DecodedAudio inspect(const std::filesystem::path& flac) const override;
};

} // namespace zoq::test
