#include "tools/dev-portal/PortalFaults.h"

#include "tools/dev-portal/PortalError.h"

#include <cmath>

namespace zoq::portal {

namespace {

double number(const std::string& key, const JSONValue& value, double low, double high) {
    const auto read = value.number();
    if (!read || !std::isfinite(*read) || *read < low || *read > high) {
        throw PortalError("fault " + key + ": expected a number in [" + std::to_string(low) + ", " +
                          std::to_string(high) + "]");
    }
    return *read;
}

std::int64_t count(const std::string& key, const JSONValue& value) {
    const auto read = value.integer();
    if (!read || *read < 0 || *read > 1'000'000) {
        throw PortalError("fault " + key + ": expected a whole number from 0 to 1000000");
    }
    return *read;
}

bool flag(const std::string& key, const JSONValue& value) {
    const auto read = value.boolean();
    if (!read) {
        throw PortalError("fault " + key + ": expected true or false");
    }
    return *read;
}

} // namespace

JSONValue PortalFaults::json() const {
    return JSONValue::Object{
        {"loseRefreshReplies", loseRefreshReplies},
        {"malformedReplies", malformedReplies},
        {"partsAlreadyHeld", partsAlreadyHeld},
        {"retryAfterSeconds", retryAfterSeconds},
        {"unauthorizedFirstUse", unauthorizedFirstUse},
        {"unavailableRate", unavailableRate},
        {"uploadExpiredOnce", uploadExpiredOnce},
        {"urlLifetimeSeconds", urlLifetimeSeconds},
        {"stallSeconds", stallSeconds},
    };
}

void PortalFaults::apply(const JSONValue& changes) {
    const auto* object = changes.object();
    if (object == nullptr) {
        throw PortalError("faults: expected a JSON object");
    }
    PortalFaults next = *this;
    for (const auto& [key, value] : *object) {
        if (key == "unavailableRate") {
            next.unavailableRate = number(key, value, 0, 1);
        } else if (key == "retryAfterSeconds") {
            next.retryAfterSeconds = count(key, value);
        } else if (key == "unauthorizedFirstUse") {
            next.unauthorizedFirstUse = flag(key, value);
        } else if (key == "loseRefreshReplies") {
            next.loseRefreshReplies = count(key, value);
        } else if (key == "urlLifetimeSeconds") {
            next.urlLifetimeSeconds = number(key, value, 0, 1e9);
        } else if (key == "uploadExpiredOnce") {
            next.uploadExpiredOnce = flag(key, value);
        } else if (key == "partsAlreadyHeld") {
            next.partsAlreadyHeld = flag(key, value);
        } else if (key == "malformedReplies") {
            next.malformedReplies = count(key, value);
        } else if (key == "stallSeconds") {
            next.stallSeconds = number(key, value, 0, 3600);
        } else {
            throw PortalError("faults: unknown switch " + key);
        }
    }
    *this = next;
}

} // namespace zoq::portal
