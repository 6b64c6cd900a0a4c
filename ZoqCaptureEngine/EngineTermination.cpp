#include "ZoqCaptureEngine/EngineTermination.h"

namespace zoq {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + '"';
}

} // namespace

std::string EngineTermination::description() const {
    switch (kind) {
    case Kind::permissionNotGranted:
        return "permissionNotGranted(service: " + quoted(service) + ", detail: " + quoted(detail) + ")";
    case Kind::deadGrant:
        return "deadGrant(detail: " + quoted(detail) + ")";
    case Kind::failure:
        return "failure(" + quoted(detail) + ")";
    case Kind::stopped:
        break;
    }
    return "stopped";
}

} // namespace zoq
