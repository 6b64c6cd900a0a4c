#include "ZoqCaptureEngine/Attribution.h"

namespace zoq {

const char* toText(AttributionSource source) noexcept {
    switch (source) {
    case AttributionSource::flatpak:
        return "flatpak";
    case AttributionSource::snap:
        return "snap";
    case AttributionSource::launchedDesktopFile:
        return "launchedDesktopFile";
    case AttributionSource::systemdUnit:
        return "systemdUnit";
    case AttributionSource::desktopExec:
        return "desktopExec";
    case AttributionSource::reported:
        return "reported";
    }
    return "unknown";
}

} // namespace zoq
