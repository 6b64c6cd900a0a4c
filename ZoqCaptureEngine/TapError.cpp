#include "ZoqCaptureEngine/TapError.h"

namespace zoq {

TapError::TapError(Kind kind, std::int32_t status, std::string detail)
    : kind_(kind), status_(status), detail_(std::move(detail)) {
    description_ = name(kind_);
    if (kind_ == Kind::tapCreationFailed || kind_ == Kind::aggregateCreationFailed ||
        kind_ == Kind::ioProcCreationFailed || kind_ == Kind::deviceStartFailed ||
        kind_ == Kind::streamEnded) {
        description_ += "(" + std::to_string(status_) + ")";
    }
    if (!detail_.empty()) {
        description_ += ": " + detail_;
    }
}

const char* TapError::name(Kind kind) noexcept {
    switch (kind) {
    case Kind::tapCreationFailed:
        return "tapCreationFailed";
    case Kind::aggregateCreationFailed:
        return "aggregateCreationFailed";
    case Kind::ioProcCreationFailed:
        return "ioProcCreationFailed";
    case Kind::deviceStartFailed:
        return "deviceStartFailed";
    case Kind::tapCreationDeniedOwnProcessUnknown:
        return "tapCreationDeniedOwnProcessUnknown";
    case Kind::engineStartFailed:
        return "engineStartFailed";
    case Kind::missingDefaultOutput:
        return "missingDefaultOutput";
    case Kind::streamEnded:
        return "streamEnded";
    }
    return "unknown";
}

} // namespace zoq
