#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zoq {

/// One JSON value: object, array, string, number (a finite 64-bit double),
/// bool or null. A plain value type; copies are deep.
///
/// Object keys are kept sorted by their UTF-8 bytes, which is Unicode code
/// point order (`std::string` compares as unsigned char). That order is the
/// canonical key order: it is independent of locale and normalisation, so the
/// canonical text of a value, and every checksum taken over it, is stable.
class JSONValue {
public:
    using Object = std::map<std::string, JSONValue, std::less<>>;
    using Array = std::vector<JSONValue>;

    /// The cases, in their fixed order.
    enum class Kind : std::uint8_t { object, array, string, number, boolean, null };

    /// Containers nested deeper than this are refused by the parser and the
    /// writer, so no input can exhaust the stack of any recursive walk.
    static constexpr std::size_t maxDepth = 512;
    /// The largest magnitude `integer()` yields (2^53 - 1): every integer up to
    /// it is exact in a double.
    static constexpr std::int64_t maxExactInteger = 9007199254740991;

    JSONValue() noexcept = default;
    JSONValue(std::nullptr_t) noexcept {}
    JSONValue(bool value) noexcept : kind_(Kind::boolean), number_(value ? 1 : 0) {}
    /// Throws `CoreError::invalid("number")` for NaN and infinities, which JSON
    /// cannot express.
    JSONValue(double value);
    /// Integers beyond 2^53 in magnitude become the nearest double, as in any JSON reader.
    template <typename Integer>
    requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) JSONValue(Integer value)
        : JSONValue(static_cast<double>(value)) {}
    JSONValue(std::string value) noexcept : kind_(Kind::string), string_(std::move(value)) {}
    JSONValue(std::string_view value) : kind_(Kind::string), string_(value) {}
    JSONValue(const char* value) : kind_(Kind::string), string_(value) {}
    JSONValue(Object value) noexcept : kind_(Kind::object), object_(std::move(value)) {}
    JSONValue(Array value) noexcept : kind_(Kind::array), array_(std::move(value)) {}

    Kind kind() const noexcept { return kind_; }
    bool isNull() const noexcept { return kind() == Kind::null; }

    /// The payload of the matching case, or none for any other case.
    const Object* object() const noexcept { return kind_ == Kind::object ? &object_ : nullptr; }
    const Array* array() const noexcept { return kind_ == Kind::array ? &array_ : nullptr; }
    const std::string* string() const noexcept { return kind_ == Kind::string ? &string_ : nullptr; }
    std::optional<double> number() const noexcept;
    std::optional<bool> boolean() const noexcept;

    /// On an object, the value stored under `key`; none for an absent key or
    /// any other case.
    const JSONValue* find(std::string_view key) const noexcept;

    /// A number that is integral with magnitude at most 2^53 - 1, as an
    /// integer; none otherwise. Every integer field of the wire is read so.
    std::optional<std::int64_t> integer() const noexcept;

    /// Parses exactly one JSON text (surrounding whitespace allowed). Throws
    /// `JSONSyntaxError` for anything else; see there.
    static JSONValue parse(ByteView bytes);
    static JSONValue parse(std::string_view text) { return parse(viewOf(text)); }

    /// The canonical encoding: compact, keys in code point order, "/" not
    /// escaped, integral numbers up to 2^53 in magnitude as plain integers
    /// (negative zero as 0), other numbers in the shortest text that reads back
    /// to the same double, strings escaped minimally (quote, backslash and
    /// control characters; everything else as UTF-8). Equal values give equal
    /// bytes, and parsing the bytes gives an equal value back.
    /// Throws `CoreError::invalid("UTF-8")` for a string or key that is not
    /// valid UTF-8 and `CoreError::invalid("nesting")` past `maxDepth`.
    std::string canonicalText() const;
    Bytes canonicalBytes() const;

    friend bool operator==(const JSONValue& a, const JSONValue& b) noexcept;

private:
    // Plain members rather than std::variant: only the member of `kind_` is
    // meaningful, the others stay empty. GCC 12 reports false "may be used
    // uninitialized" errors when a variant with scalar alternatives is moved,
    // in our code and in every caller's.
    Kind kind_ = Kind::null;
    double number_ = 0; ///< the number, or 1/0 for a bool
    std::string string_;
    Array array_;
    Object object_;
};

} // namespace zoq
