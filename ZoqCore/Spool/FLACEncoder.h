#pragma once

#include "ZoqCore/Spool/DecodedAudio.h"

#include <filesystem>

namespace zoq {

/// Encodes a finished part to FLAC and decodes a FLAC back for verification.
/// The production implementation runs an external encoder
/// (`FFmpegFLACEncoder`); tests substitute an in-process one.
///
/// Calls block the caller until done. Every failure is a thrown `CoreError`.
class FLACEncoder {
public:
    virtual ~FLACEncoder() = default;

    /// Writes a FLAC rendition of the WAV file at `wav` to `temporaryFLAC`,
    /// which must not exist yet.
    virtual void encode(const std::filesystem::path& wav,
                        const std::filesystem::path& temporaryFLAC) const = 0;

    /// Decodes the FLAC file at `flac` and describes its content.
    virtual DecodedAudio inspect(const std::filesystem::path& flac) const = 0;
};

} // namespace zoq
