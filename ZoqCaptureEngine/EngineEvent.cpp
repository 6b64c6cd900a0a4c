#include "ZoqCaptureEngine/EngineEvent.h"

#include "ZoqCore/Wire/JSONValue.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace zoq {
namespace {

std::string isoSeconds(Date date) {
    const double unix = std::floor(date.unixSeconds());
    if (!std::isfinite(unix)) {
        return "?";
    }
    const auto seconds = static_cast<std::time_t>(unix);
    std::tm parts{};
    if (::gmtime_r(&seconds, &parts) == nullptr) {
        return "?";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

} // namespace

std::string EngineEvent::jsonLine() const {
    try {
        char t[64];
        std::snprintf(t, sizeof t, "%.3f", monotonic);
        JSONValue::Object object{{"event", name}, {"t", std::string(t)}, {"wall", isoSeconds(wall)}};
        for (const auto& [key, value] : fields) {
            object.insert_or_assign(key, JSONValue(value));
        }
        return JSONValue(std::move(object)).canonicalText();
    } catch (...) {
        return R"({"event":"event_encoding_error"})";
    }
}

} // namespace zoq
