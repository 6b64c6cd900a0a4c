#include "ZoqCaptureEngine/SoxrConverter.h"

#include "ZoqCaptureEngine/ResampleError.h"

#include <soxr.h>

namespace zoq {

void SoxrConverter::Deleter::operator()(soxr* handle) const noexcept {
    soxr_delete(handle);
}

SoxrConverter::SoxrConverter(double sourceRate, double targetRate, int channels)
    : channels_(channels > 0 ? static_cast<std::size_t>(channels) : 0) {
    if (!(sourceRate > 0) || !(targetRate > 0) || channels <= 0) {
        throw ResampleError::converterCreationFailed();
    }
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    handle_.reset(soxr_create(sourceRate, targetRate, static_cast<unsigned>(channels), &error, &io, &quality,
                              &runtime));
    if (error != nullptr || !handle_) {
        throw ResampleError::converterCreationFailed();
    }
}

SampleRateConverter::Step SoxrConverter::process(std::span<const float> input, std::span<float> output) {
    // soxr reads a null input as the end of the stream, so an empty offer
    // must still pass a valid pointer.
    static constexpr float none = 0;
    const float* in = input.empty() ? &none : input.data();
    Step step;
    const soxr_error_t error = soxr_process(handle_.get(), in, input.size() / channels_, &step.consumedFrames,
                                            output.data(), output.size() / channels_, &step.producedFrames);
    if (error != nullptr) {
        throw ResampleError::conversionFailed();
    }
    return step;
}

std::size_t SoxrConverter::flush(std::span<float> output) {
    std::size_t produced = 0;
    const soxr_error_t error =
        soxr_process(handle_.get(), nullptr, 0, nullptr, output.data(), output.size() / channels_, &produced);
    if (error != nullptr) {
        throw ResampleError::conversionFailed();
    }
    return produced;
}

} // namespace zoq
