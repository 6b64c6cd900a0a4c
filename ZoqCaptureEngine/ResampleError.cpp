#include "ZoqCaptureEngine/ResampleError.h"

namespace zoq {

ResampleError::ResampleError(Kind kind, std::int64_t expected, std::int64_t actual)
    : kind_(kind), expected_(expected), actual_(actual) {
    switch (kind) {
    case Kind::frameCountMismatch:
        description_ = "frameCountMismatch(expected: " + std::to_string(expected) +
                       ", actual: " + std::to_string(actual) + ")";
        break;
    case Kind::converterCreationFailed:
        description_ = "converterCreationFailed";
        break;
    case Kind::conversionFailed:
        description_ = "conversionFailed";
        break;
    }
}

} // namespace zoq
