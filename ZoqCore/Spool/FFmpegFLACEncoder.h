#pragma once

#include "ZoqCore/Spool/FLACEncoder.h"

#include <filesystem>

namespace zoq {

/// The production `FLACEncoder`: runs the `ffmpeg` executable as a bounded
/// child process (`BoundedProcess`), once to encode and once to decode.
///
/// A plain value; safe to use from several threads at once (each call has its
/// own child and scratch file). Blocks for up to `deadline` seconds per child
/// (plus up to 5 s after a kill).
class FFmpegFLACEncoder final : public FLACEncoder {
public:
    static constexpr const char* defaultExecutable = "/usr/bin/ffmpeg";
    static constexpr double defaultDeadline = 120.0;

    explicit FFmpegFLACEncoder(std::filesystem::path executable = defaultExecutable,
                               double deadline = defaultDeadline);

    /// The `ffmpeg` executable; configuration, not looked up on PATH.
    std::filesystem::path executable;
    /// Seconds allowed for each child process.
    double deadline;

    /// Runs `ffmpeg -n` (never overwrites `temporaryFLAC`), standard output to
    /// /dev/null. Throws what `BoundedProcess::run` throws.
    void encode(const std::filesystem::path& wav, const std::filesystem::path& temporaryFLAC) const override;

    /// Checks the STREAMINFO block before starting anything (corrupt("FLAC
    /// STREAMINFO"), corrupt("FLAC format") unless 16 kHz stereo 16-bit with at
    /// most three hours of frames), then decodes to a scratch file
    /// "decode-<uuid>.pcm" next to `flac` and returns its frame count and hash;
    /// corrupt("decoded frame count") when the decoded size does not match the
    /// header. The scratch file is deleted in every case. Throws what
    /// `BoundedProcess::run` and `DurableIO` throw.
    DecodedAudio inspect(const std::filesystem::path& flac) const override;
};

} // namespace zoq
