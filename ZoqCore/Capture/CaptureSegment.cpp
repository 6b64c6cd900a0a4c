#include "ZoqCore/Capture/CaptureSegment.h"

#include <ostream>

namespace zoq {

std::ostream& operator<<(std::ostream& out, const CaptureSegment& segment) {
    const auto precision = out.precision(3);
    const auto flags = out.setf(std::ios::fixed, std::ios::floatfield);
    out << "{session " << segment.captureSessionId << ", part " << segment.partIndex << ", app "
        << segment.app << ", startedAt " << segment.startedAt.sinceReferenceDate << ", firstFrame "
        << segment.firstFrame << '}';
    out.precision(precision);
    out.flags(flags);
    return out;
}

} // namespace zoq
