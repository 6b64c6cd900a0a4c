#pragma once

#include "ZoqCore/Support/Date.h"

#include <optional>
#include <string_view>

namespace zoq {

/// Reads the HTTP date of a "retry-after" header, and nothing else.
///
/// Only the fixed-length IMF-fixdate form is accepted, byte for byte:
/// "Sun, 06 Nov 1994 08:49:37 GMT": an English three-letter weekday and month
/// name (capitalised as shown), a two-digit day, a four-digit year, a
/// 24-hour time and the zone "GMT" (or "UTC", which names the same offset).
/// The weekday is not checked against the date. The text is then converted
/// with libcurl's `curl_getdate`, and the result must name exactly the
/// calendar fields given: "31 Feb", "24:00:00" or the leap second ":60" are
/// refused rather than rolled over. `curl_getdate` alone is far more lenient
/// (it takes any of a dozen layouts, zones and two-digit years); a delay read
/// from a mangled header is more likely wrong than helpful, so it is none.
class RFC1123DateFormatter {
public:
    /// The instant the text names, or none. Thread-safe; never throws.
    static std::optional<Date> date(std::string_view text) noexcept;
};

} // namespace zoq
