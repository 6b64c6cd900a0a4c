#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// Unicode helpers for wire strings, which are UTF-8 `std::string`s.
namespace zoq::unicode {

/// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
/// overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view text) noexcept;

/// `text` with every ill-formed part (each maximal part, as Unicode
/// recommends) replaced by U+FFFD: text from other programs, shown for what
/// it is rather than dropped.
std::string withReplacementCharacters(std::string_view text);

/// The number of Unicode scalars in `text`, which must be valid UTF-8.
std::size_t scalarCount(std::string_view text) noexcept;

/// `text` in Unicode Normalization Form C (utf8proc). Throws
/// `CoreError::invalid("string")` when `text` is not valid UTF-8.
std::string nfc(std::string_view text);

} // namespace zoq::unicode
