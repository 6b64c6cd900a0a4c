#pragma once

#include "ZoqCore/Spool/ArtifactManifest.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zoq::test {

/// Speech made with espeak-ng for one side of a call: `played` is the file
/// `paplay` plays (48 kHz mono 16-bit), `reference` the same speech at 16 kHz
/// (what a recording of it should hold), as samples in [-1, 1].
struct Speech {
    std::filesystem::path played;
    std::vector<float> reference;
};

/// Speaks `text` with espeak `voice` into `directory`, repeated to at least
/// `seconds`. Throws when espeak-ng or sox fails.
Speech makeSpeech(const std::filesystem::path& directory, const std::string& name, const std::string& voice,
                  const std::string& text, double seconds);

/// A part directory with its manifest.
struct Part {
    std::filesystem::path directory;
    ArtifactManifest manifest;
};

/// Every part directory in `spool`, in the order the parts began.
std::vector<Part> partsOf(const std::filesystem::path& spool);

/// One channel (0 left, 1 right) of the part's FLAC, decoded by ffmpeg.
std::vector<float> decodedChannel(const Part& part, int channel);

/// How well `recording` matches a stretch of `reference`: the normalised
/// cross-correlation at the best lag, searched over the lags (in samples)
/// from `firstLag` to `lastLag` at which the recording lies within the
/// reference.
struct Match {
    double correlation = 0;
    std::int64_t lag = 0;
};
Match bestMatch(const std::vector<float>& recording, const std::vector<float>& reference,
                std::int64_t firstLag, std::int64_t lastLag);

/// The normalised cross-correlation of `recording` with `reference` at `lag`.
double correlationAt(const std::vector<float>& recording, const std::vector<float>& reference,
                     std::int64_t lag);

} // namespace zoq::test
