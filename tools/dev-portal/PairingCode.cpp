#include "tools/dev-portal/PairingCode.h"

#include "tools/dev-portal/PortalError.h"

#include "ZoqCore/Support/Identifier.h"

#include <cctype>

namespace zoq::portal {

PairingCode::PairingCode(std::string_view text) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    for (const char c : text) {
        if (c == '-') {
            continue;
        }
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (alphabet.find(upper) == std::string_view::npos || normalized_.size() == length) {
            throw PortalError("pairing code: expected twelve symbols of " + std::string(alphabet));
        }
        normalized_.push_back(upper);
    }
    if (normalized_.size() != length) {
        throw PortalError("pairing code: expected twelve symbols of " + std::string(alphabet));
    }
}

PairingCode PairingCode::random() {
    std::string text;
    // 32 symbols: the low five bits of each byte pick one without bias.
    for (const std::uint8_t byte : secureRandomBytes(length)) {
        text.push_back(alphabet[byte % alphabet.size()]);
    }
    return PairingCode(text);
}

std::string PairingCode::display() const {
    return normalized_.substr(0, 4) + "-" + normalized_.substr(4, 4) + "-" + normalized_.substr(8, 4);
}

} // namespace zoq::portal
