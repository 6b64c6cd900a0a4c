#include "ZoqCore/Capture/CaptureAction.h"

#include "ZoqCore/Support/PCM.h"

#include <ostream>

namespace zoq {

const char* toText(CaptureAction::Kind kind) noexcept {
    switch (kind) {
    case CaptureAction::Kind::begin:
        return "begin";
    case CaptureAction::Kind::append:
        return "append";
    case CaptureAction::Kind::finish:
        return "finish";
    case CaptureAction::Kind::persistPaused:
        return "persistPaused";
    case CaptureAction::Kind::reregisterObservers:
        return "reregisterObservers";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const CaptureAction& action) {
    out << toText(action.kind());
    switch (action.kind()) {
    case CaptureAction::Kind::begin:
        return out << action.segment();
    case CaptureAction::Kind::append:
        return out << '(' << action.data().size() << " bytes, " << action.data().size() / pcm::bytesPerFrame
                   << " frames)";
    case CaptureAction::Kind::finish: {
        const auto precision = out.precision(3);
        const auto flags = out.setf(std::ios::fixed, std::ios::floatfield);
        out << "(interrupted: " << (action.interrupted() ? "true" : "false")
            << ", endedAt: " << action.endedAt().sinceReferenceDate << ')';
        out.precision(precision);
        out.flags(flags);
        return out;
    }
    case CaptureAction::Kind::persistPaused:
        return out << '(' << (action.paused() ? "true" : "false") << ')';
    case CaptureAction::Kind::reregisterObservers:
        return out;
    }
    return out;
}

} // namespace zoq
