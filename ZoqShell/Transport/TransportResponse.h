#pragma once

#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/Date.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zoq {

/// The final HTTP response to one request (interim 1xx responses and
/// redirects are never followed or merged in).
///
/// `headers` holds each header field once, under the spelling of its first
/// occurrence; repeated fields are joined with ", " in arrival order, as HTTP
/// allows for list-valued fields.
struct TransportResponse {
    int status = 0;
    std::map<std::string, std::string> headers;
    Bytes body;

    /// The value of the first header whose name, in lower case, equals `name`
    /// (callers pass lower-case names); none when absent.
    std::optional<std::string> header(std::string_view name) const;

    /// The delay the "retry-after" header asks for, in seconds, relative to
    /// `now`:
    /// - a decimal number (leading and trailing blanks ignored, optionally
    ///   signed, for example "120", "1.5", "2e1") gives that number; a negative number gives 0,
    ///   like a date in the past: the server asked for no wait, and a negative
    ///   delay means nothing to a scheduler;
    /// - otherwise an HTTP date of exactly the form "Sun, 06 Nov 1994 08:49:37
    ///   GMT" (see `RFC1123DateFormatter`) gives the seconds from `now` to that
    ///   date, never less than 0;
    /// - anything else, including infinities, NaN, hexadecimal and numbers too
    ///   large for a double, gives none.
    std::optional<double> retryAfterSeconds(Date now) const;
    /// The same, relative to the host's wall clock.
    std::optional<double> retryAfterSeconds() const;

    friend bool operator==(const TransportResponse&, const TransportResponse&) = default;
};

} // namespace zoq
