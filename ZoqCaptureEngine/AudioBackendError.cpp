#include "ZoqCaptureEngine/AudioBackendError.h"

namespace zoq {

AudioBackendError::AudioBackendError(std::int32_t code, std::string operation, std::string text)
    : code_(code), operation_(std::move(operation)),
      message_(operation_ + ": " + text + " (" + std::to_string(code) + ")") {}

} // namespace zoq
