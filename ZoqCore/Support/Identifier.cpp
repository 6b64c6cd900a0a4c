#include "ZoqCore/Support/Identifier.h"

#include "ZoqCore/Support/CoreError.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>

namespace zoq {

Bytes secureRandomBytes(std::size_t count) {
    Bytes bytes(count);
    if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        throw CoreError::io("random", 5);
    }
    return bytes;
}

std::string makeUUID() {
    std::array<unsigned char, 16> raw{};
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
        throw CoreError::io("random", 5);
    }
    raw[6] = static_cast<unsigned char>((raw[6] & 0x0f) | 0x40); // version 4
    raw[8] = static_cast<unsigned char>((raw[8] & 0x3f) | 0x80); // RFC 4122 variant
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += hex[raw[i] >> 4];
        text += hex[raw[i] & 0x0f];
    }
    return text;
}

} // namespace zoq
