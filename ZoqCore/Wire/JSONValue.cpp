#include "ZoqCore/Wire/JSONValue.h"

#include "ZoqCore/Support/CoreError.h"

#include <cmath>

namespace zoq {

JSONValue::JSONValue(double value) : kind_(Kind::number), number_(value) {
    if (!std::isfinite(value)) {
        throw CoreError::invalid("number");
    }
}

std::optional<double> JSONValue::number() const noexcept {
    return kind_ == Kind::number ? std::optional(number_) : std::nullopt;
}

std::optional<bool> JSONValue::boolean() const noexcept {
    return kind_ == Kind::boolean ? std::optional(number_ != 0) : std::nullopt;
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
    // The range test comes first so the cast below is always defined.
    if (kind_ != Kind::number || !(std::fabs(number_) <= static_cast<double>(maxExactInteger)) ||
        std::trunc(number_) != number_) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(number_);
}

bool operator==(const JSONValue& a, const JSONValue& b) noexcept {
    if (a.kind_ != b.kind_) {
        return false;
    }
    switch (a.kind_) {
    case JSONValue::Kind::object:
        return a.object_ == b.object_;
    case JSONValue::Kind::array:
        return a.array_ == b.array_;
    case JSONValue::Kind::string:
        return a.string_ == b.string_;
    case JSONValue::Kind::number:
    case JSONValue::Kind::boolean:
        return a.number_ == b.number_;
    case JSONValue::Kind::null:
        return true;
    }
    return false;
}

} // namespace zoq
