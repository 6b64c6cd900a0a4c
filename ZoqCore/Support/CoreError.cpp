#include "ZoqCore/Support/CoreError.h"

#include <cstdio>

namespace zoq {
namespace {

// Strings in a reason are quoted and escaped the way a debug description
// would print them, so a reason always reads back unambiguously.
void appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[12];
                std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

} // namespace

const char* CoreError::name(Kind kind) noexcept {
    switch (kind) {
    case Kind::invalid: return "invalid";
    case Kind::io: return "io";
    case Kind::corrupt: return "corrupt";
    case Kind::processFailed: return "processFailed";
    case Kind::locked: return "locked";
    case Kind::staleLease: return "staleLease";
    case Kind::invalidState: return "invalidState";
    case Kind::deadline: return "deadline";
    }
    return "unknown";
}

CoreError::CoreError(Kind kind, std::string message, std::int32_t code)
    : kind_(kind), message_(std::move(message)), code_(code), reason_(name(kind)) {
    switch (kind) {
    case Kind::invalid:
    case Kind::corrupt:
        reason_ += '(';
        appendQuoted(reason_, message_);
        reason_ += ')';
        break;
    case Kind::io:
        reason_ += '(';
        appendQuoted(reason_, message_);
        reason_ += ", " + std::to_string(code_) + ')';
        break;
    case Kind::processFailed: reason_ += '(' + std::to_string(code_) + ')'; break;
    default: break;
    }
}

} // namespace zoq
