#include "ZoqCore/Wire/JSONSyntaxError.h"

namespace zoq {

JSONSyntaxError::JSONSyntaxError(const std::string& detail) : message_("json: ") {
    message_.reserve(message_.size() + detail.size());
    for (const char c : detail) {
        const auto byte = static_cast<unsigned char>(c);
        message_.push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
    }
}

} // namespace zoq
