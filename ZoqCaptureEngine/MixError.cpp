#include "ZoqCaptureEngine/MixError.h"

namespace zoq {

const char* MixError::what() const noexcept {
    switch (kind_) {
    case Kind::emptyWindow:
        return "emptyWindow";
    case Kind::windowTooLong:
        return "windowTooLong";
    case Kind::lateData:
        return "lateData";
    case Kind::backlogExceeded:
        return "backlogExceeded";
    }
    return "unknown";
}

} // namespace zoq
