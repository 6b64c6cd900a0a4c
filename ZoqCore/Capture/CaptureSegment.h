#pragma once

#include "ZoqCore/Support/Date.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace zoq {

/// The identity of one recording part. Stored in the part's manifest, so the
/// field names are also its encoded keys.
struct CaptureSegment {
    /// The same for every part of one capture session.
    std::string captureSessionId;
    /// 0 for a session's first part, one more at each rollover.
    std::int64_t partIndex = 0;
    /// The bundle identifier being recorded.
    std::string app;
    /// Wall-clock time of the part's first frame.
    Date startedAt;
    /// Frame position of the part's first frame in the caller's stream.
    std::int64_t firstFrame = 0;

    friend bool operator==(const CaptureSegment&, const CaptureSegment&) = default;
};

std::ostream& operator<<(std::ostream& out, const CaptureSegment& segment);

} // namespace zoq
