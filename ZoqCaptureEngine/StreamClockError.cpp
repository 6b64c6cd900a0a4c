#include "ZoqCaptureEngine/StreamClockError.h"

namespace zoq {

const char* StreamClockError::what() const noexcept {
    switch (kind_) {
    case Kind::invalidPCM:
        return "invalidPCM";
    case Kind::invalidClock:
        return "invalidClock";
    case Kind::discontinuity:
        return "discontinuity";
    case Kind::timestampOverflow:
        return "timestampOverflow";
    }
    return "unknown";
}

} // namespace zoq
