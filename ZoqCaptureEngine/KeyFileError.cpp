#include "ZoqCaptureEngine/KeyFileError.h"

namespace zoq {

KeyFileError::KeyFileError(std::string source, int line, std::string reason)
    : source_(std::move(source)), line_(line), reason_(std::move(reason)),
      text_(source_ + (line_ > 0 ? ":" + std::to_string(line_) : std::string()) + ": " + reason_) {}

} // namespace zoq
