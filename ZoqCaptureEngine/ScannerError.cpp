#include "ZoqCaptureEngine/ScannerError.h"

#include <cstdint>

namespace zoq {

std::string fourCC(std::int32_t code) {
    const auto bits = static_cast<std::uint32_t>(code);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((bits >> shift) & 0xff);
        if (byte < 0x20 || byte > 0x7e) {
            return std::to_string(code);
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

} // namespace zoq
