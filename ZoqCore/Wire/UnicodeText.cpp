#include "ZoqCore/Wire/UnicodeText.h"

#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utf8proc.h>

namespace zoq::unicode {

namespace {

/// The length of the well-formed sequence at `bytes[i]`, or, negated, the
/// length of its maximal ill-formed part (at least 1): the bytes that one
/// replacement character stands for, as Unicode recommends.
std::ptrdiff_t sequenceAt(const std::uint8_t* bytes, std::size_t size, std::size_t i) noexcept {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return -1;
    }
    if (size - i < 2 || bytes[i + 1] < low || bytes[i + 1] > high) {
        return -1;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (i + k >= size || (bytes[i + k] & 0xC0) != 0x80) {
            return -static_cast<std::ptrdiff_t>(k);
        }
    }
    return static_cast<std::ptrdiff_t>(length);
}

} // namespace

bool isValidUTF8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::ptrdiff_t length = sequenceAt(bytes, text.size(), i);
        if (length < 0) {
            return false;
        }
        i += static_cast<std::size_t>(length);
    }
    return true;
}

std::string withReplacementCharacters(std::string_view text) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::ptrdiff_t length = sequenceAt(bytes, text.size(), i);
        if (length < 0) {
            out += replacement;
            i += static_cast<std::size_t>(-length);
        } else {
            out.append(text.substr(i, static_cast<std::size_t>(length)));
            i += static_cast<std::size_t>(length);
        }
    }
    return out;
}

std::size_t scalarCount(std::string_view text) noexcept {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string nfc(std::string_view text) {
    // ASCII is its own NFC; most wire strings are ASCII, so skip the library.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::string(text);
    }
    if (!isValidUTF8(text)) {
        throw CoreError::invalid("string");
    }
    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t length = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
        &mapped, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    if (length < 0) {
        throw CoreError::invalid("string");
    }
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

} // namespace zoq::unicode
