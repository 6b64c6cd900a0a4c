#pragma once

#include "ZoqCaptureEngine/SampleRateConverter.h"

#include <memory>

struct soxr;

namespace zoq {

/// The production `SampleRateConverter`: libsoxr at its high-quality setting
/// (20-bit precision, linear phase), float in and float out, one thread.
///
/// soxr removes its filter's group delay itself, so output frame k lies at
/// time k ÷ targetRate from the first input frame and, after `flush`, the
/// output holds round(input frames × targetRate ÷ sourceRate) frames. The
/// microphone and system streams are lined up by counting frames, so this
/// alignment is what keeps the two channels together.
class SoxrConverter final : public SampleRateConverter {
public:
    /// Throws `ResampleError::converterCreationFailed`.
    SoxrConverter(double sourceRate, double targetRate, int channels);

    Step process(std::span<const float> input, std::span<float> output) override;
    std::size_t flush(std::span<float> output) override;

private:
    struct Deleter {
        void operator()(soxr* handle) const noexcept;
    };

    std::unique_ptr<soxr, Deleter> handle_;
    std::size_t channels_;
};

} // namespace zoq
