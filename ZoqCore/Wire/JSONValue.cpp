#include "ZoqCore/Wire/JSONValue.h"

#include "ZoqCore/Support/CoreError.h"

#include <cmath>

namespace zoq {

JSONValue::JSONValue(double value) : storage_(value) {
    if (!std::isfinite(value)) {
        throw CoreError::invalid("number");
    }
}

std::optional<double> JSONValue::number() const noexcept {
    if (const double* value = std::get_if<double>(&storage_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<bool> JSONValue::boolean() const noexcept {
    if (const bool* value = std::get_if<bool>(&storage_)) {
        return *value;
    }
    return std::nullopt;
}

const JSONValue* JSONValue::find(std::string_view key) const noexcept {
    const Object* members = object();
    if (members == nullptr) {
        return nullptr;
    }
    const auto found = members->find(key);
    return found == members->end() ? nullptr : &found->second;
}

std::optional<std::int64_t> JSONValue::integer() const noexcept {
    const double* value = std::get_if<double>(&storage_);
    // The range test comes first so the cast below is always defined.
    if (value == nullptr || !(std::fabs(*value) <= static_cast<double>(maxExactInteger)) ||
        std::trunc(*value) != *value) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*value);
}

} // namespace zoq
