#include "ZoqCaptureEngine/AudioBackendError.h"

namespace zoq {

AudioBackendError::AudioBackendError(std::int32_t code, std::string operation, std::string text)
    : code_(code), operation_(std::move(operation)),
      message_(operation_ + ": " + text + " (" + std::to_string(code) + ")") {}

bool isSoundServerLoss(std::string_view failureText) noexcept {
    // libpulse's own texts for codes 11 and 6, as every backend error and
    // stream failure spells them.
    return failureText.find("Connection terminated") != std::string_view::npos ||
           failureText.find("Connection refused") != std::string_view::npos;
}

} // namespace zoq
