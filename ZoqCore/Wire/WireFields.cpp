#include "ZoqCore/Wire/WireFields.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/UnicodeText.h"
#include "ZoqCore/Wire/WirePattern.h"
#include "ZoqCore/Wire/WireTimestamp.h"

#include <algorithm>

namespace zoq {
namespace {

bool contains(std::initializer_list<std::string_view> keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// RFC 9110 token characters, the only ones a header name can hold.
bool isTokenCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

} // namespace

const JSONValue::Object& WireFields::closedObject(const JSONValue& value,
                                                  std::initializer_list<std::string_view> required,
                                                  std::initializer_list<std::string_view> optional) {
    const JSONValue::Object* members = value.object();
    if (members == nullptr) {
        throw CoreError::invalid("closed object");
    }
    for (const std::string_view key : required) {
        if (!members->contains(key)) {
            throw CoreError::invalid("closed object");
        }
    }
    for (const auto& member : *members) {
        if (!contains(required, member.first) && !contains(optional, member.first)) {
            throw CoreError::invalid("closed object");
        }
    }
    return *members;
}

JSONValue WireFields::string(const JSONValue& value, std::int64_t min, std::int64_t max, bool nfc) {
    const std::string* text = value.string();
    if (text == nullptr) {
        throw CoreError::invalid("string");
    }
    std::string result = nfc ? unicode::nfc(*text) : *text;
    if (!nfc && !unicode::isValidUTF8(result)) {
        throw CoreError::invalid("string");
    }
    const auto length = static_cast<std::int64_t>(unicode::scalarCount(result));
    if (length < min || length > max) {
        throw CoreError::invalid("string length");
    }
    return JSONValue(std::move(result));
}

JSONValue WireFields::token(const JSONValue& value) {
    JSONValue result = string(value, 1, noMaximum, false);
    const std::string& text = *result.string();
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        throw CoreError::invalid("format");
    }
    return result;
}

JSONValue WireFields::pattern(const JSONValue& value, const WirePattern& pattern) {
    const std::string* text = value.string();
    if (text == nullptr || !pattern.matches(*text)) {
        throw CoreError::invalid("format");
    }
    return value;
}

JSONValue WireFields::integer(const JSONValue& value, std::int64_t min, std::int64_t max) {
    const std::optional<std::int64_t> number = value.integer();
    if (!number || *number < min || *number > max) {
        throw CoreError::invalid("integer range");
    }
    return JSONValue(*number);
}

JSONValue WireFields::enumeration(const JSONValue& value, std::initializer_list<std::string_view> allowed) {
    const std::string* text = value.string();
    if (text == nullptr || !contains(allowed, *text)) {
        throw CoreError::invalid("enum");
    }
    return value;
}

const JSONValue::Array& WireFields::array(const JSONValue& value, std::size_t min, std::size_t max) {
    const JSONValue::Array* elements = value.array();
    if (elements == nullptr || elements->size() < min || elements->size() > max) {
        throw CoreError::invalid("array");
    }
    return *elements;
}

JSONValue WireFields::boolean(const JSONValue& value) {
    if (!value.boolean()) {
        throw CoreError::invalid("boolean");
    }
    return value;
}

JSONValue WireFields::timestamp(const JSONValue& value) {
    const std::string* text = value.string();
    if (text == nullptr) {
        throw CoreError::invalid("timestamp");
    }
    return JSONValue(WireTimestamp(*text).canonical());
}

JSONValue WireFields::headers(const JSONValue& value) {
    const JSONValue::Object* fields = value.object();
    if (fields == nullptr) {
        throw CoreError::invalid("headers");
    }
    JSONValue::Object result;
    for (const auto& [name, fieldValue] : *fields) {
        // A name or value that could end the header line would let a reply
        // inject fields into the request it configures.
        if (name.empty() || !std::all_of(name.begin(), name.end(), isTokenCharacter)) {
            throw CoreError::invalid("headers");
        }
        JSONValue normalised = string(fieldValue, 0, noMaximum, true);
        if (normalised.string()->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw CoreError::invalid("headers");
        }
        result.emplace_hint(result.end(), name, std::move(normalised));
    }
    return JSONValue(std::move(result));
}

} // namespace zoq
