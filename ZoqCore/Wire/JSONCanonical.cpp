#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/UnicodeText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace zoq {
namespace {

void writeString(std::string& out, std::string_view text) {
    if (!unicode::isValidUTF8(text)) {
        throw CoreError::invalid("UTF-8");
    }
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out.push_back(hex[static_cast<unsigned char>(c) >> 4]);
                out.push_back(hex[static_cast<unsigned char>(c) & 0xF]);
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

void writeNumber(std::string& out, double value) {
    std::array<char, 32> buffer{};
    std::to_chars_result result{};
    if (std::trunc(value) == value && std::fabs(value) <= 9007199254740992.0) {
        // Integral and exact: a plain integer; -0 becomes 0 so the text is a fixed point of parse + write.
        result =
            std::to_chars(buffer.data(), buffer.data() + buffer.size(), static_cast<std::int64_t>(value));
    } else {
        result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    }
    out.append(buffer.data(), result.ptr);
}

void write(std::string& out, const JSONValue& value, std::size_t depth) {
    switch (value.kind()) {
    case JSONValue::Kind::object: {
        if (depth >= JSONValue::maxDepth) {
            throw CoreError::invalid("nesting");
        }
        out.push_back('{');
        bool first = true;
        for (const auto& [key, member] : *value.object()) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            writeString(out, key);
            out.push_back(':');
            write(out, member, depth + 1);
        }
        out.push_back('}');
        break;
    }
    case JSONValue::Kind::array: {
        if (depth >= JSONValue::maxDepth) {
            throw CoreError::invalid("nesting");
        }
        out.push_back('[');
        bool first = true;
        for (const JSONValue& element : *value.array()) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            write(out, element, depth + 1);
        }
        out.push_back(']');
        break;
    }
    case JSONValue::Kind::string:
        writeString(out, *value.string());
        break;
    case JSONValue::Kind::number:
        writeNumber(out, *value.number());
        break;
    case JSONValue::Kind::boolean:
        out += *value.boolean() ? "true" : "false";
        break;
    case JSONValue::Kind::null:
        out += "null";
        break;
    }
}

} // namespace

std::string JSONValue::canonicalText() const {
    std::string out;
    write(out, *this, 0);
    return out;
}

Bytes JSONValue::canonicalBytes() const {
    return bytesOf(canonicalText());
}

} // namespace zoq
