#pragma once

#include "ZoqCore/Wire/JSONValue.h"

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string_view>

namespace zoq {

class WirePattern;

/// The field primitives the schema rules are built from. Each checks one value
/// and returns its normalised form (the value written back under its key), or
/// throws `CoreError::invalid` with the primitive's reason. Internal to `Wire`;
/// public so the rules stay small and the primitives testable on their own.
struct WireFields {
    static constexpr std::int64_t noMaximum = std::numeric_limits<std::int64_t>::max();

    /// An object whose keys are all of `required` plus any of `optional`,
    /// nothing else ("closed object").
    static const JSONValue::Object& closedObject(const JSONValue& value,
                                                 std::initializer_list<std::string_view> required,
                                                 std::initializer_list<std::string_view> optional = {});

    /// A string ("string"; also for text that is not valid UTF-8), NFC-normalised
    /// when `nfc` is set, whose length in Unicode scalars after that lies in
    /// [min, max] ("string length").
    static JSONValue string(const JSONValue& value, std::int64_t min, std::int64_t max, bool nfc);

    /// A credential: a string of at least one scalar, kept byte for byte, with
    /// no control characters ("format"), since it travels in HTTP headers.
    static JSONValue token(const JSONValue& value);

    /// A string the anchored `pattern` matches ("format").
    static JSONValue pattern(const JSONValue& value, const WirePattern& pattern);

    /// A number read by the integer rule with min <= n <= max ("integer range").
    static JSONValue integer(const JSONValue& value, std::int64_t min, std::int64_t max);

    /// A string equal to one of `allowed`, case-sensitive ("enum").
    static JSONValue enumeration(const JSONValue& value, std::initializer_list<std::string_view> allowed);

    /// An array of min..max elements ("array"); the caller validates the elements.
    static const JSONValue::Array& array(const JSONValue& value, std::size_t min, std::size_t max);

    /// A Bool ("boolean").
    static JSONValue boolean(const JSONValue& value);

    /// A timestamp string ("timestamp" when not a string, else `WireTimestamp`'s
    /// reasons), replaced by its canonical form.
    static JSONValue timestamp(const JSONValue& value);

    /// An http(s) URL by the URL rules, stored unchanged. Reasons: "URL scheme",
    /// "URL characters", "authority", "host", "numeric host", "IPv4", "IPv6",
    /// "IPv6 characters", "IPv6 embedded IPv4 leading zero", "port".
    static JSONValue url(const JSONValue& value);

    /// An object of HTTP header fields: every name an HTTP token ("headers"),
    /// every value a string ("string"), stored NFC, holding no CR, LF or NUL
    /// ("headers"). May be empty.
    static JSONValue headers(const JSONValue& value);
};

} // namespace zoq
