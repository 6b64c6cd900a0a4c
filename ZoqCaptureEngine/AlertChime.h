#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <cstdint>
#include <vector>

namespace zoq {

/// The alert chime: a sine at half scale with a 100 ms linear fade-in and no
/// fade-out, 16-bit mono at 44.1 kHz, as the samples and as a WAV file in
/// memory. 880 Hz for 0.12 s gives 5292 samples.
struct AlertChime {
    AlertChime() = delete;

    static constexpr int sampleRate = 44'100;

    /// trunc(duration × 44 100) samples; none for a duration that is not
    /// positive and finite or a frequency that is not finite.
    static std::vector<std::int16_t> samples(double frequency, double duration);
    /// The samples behind a canonical 44-byte PCM WAV header.
    static Bytes wav(double frequency, double duration);
};

} // namespace zoq
