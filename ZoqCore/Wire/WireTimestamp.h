#pragma once

#include "ZoqCore/Support/Date.h"

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace zoq {

/// An RFC 3339 timestamp as the wire accepts it, with its canonical form.
///
/// Accepted: "YYYY-MM-DDTHH:MM:SS", an optional "." and one or more fraction
/// digits, then "Z" or "+HH:MM"/"-HH:MM" (upper-case "T" and "Z" only), naming a
/// real proleptic-Gregorian date and time (no leap second) whose UTC instant
/// lies in the years 0000 to 9999.
///
/// Canonical form: the UTC instant as "YYYY-MM-DDTHH:MM:SS.mmmZ", the
/// milliseconds being the first three fraction digits (truncated, never
/// rounded, so canonicalising never moves an instant across a second).
///
/// Ordering is by whole UTC seconds, then by the fraction digits without
/// trailing zeros compared as text, which orders them numerically at any
/// precision (".5" and ".50" are equal, ".25" is before ".5").
class WireTimestamp {
public:
    /// Throws `CoreError::invalid` with "timestamp" (not the accepted shape),
    /// "calendar" (month, day, hour, minute or second out of range), "offset"
    /// (zone hours above 23 or minutes above 59) or "UTC year" (instant outside
    /// 0000-01-01T00:00:00Z up to, not including, 10000-01-01T00:00:00Z).
    explicit WireTimestamp(std::string_view text);

    const std::string& canonical() const noexcept { return canonical_; }
    /// Whole seconds since 0000-01-01T00:00:00Z.
    std::int64_t utcSeconds() const noexcept { return seconds_; }
    /// The fraction digits without trailing zeros ("" for a whole second).
    const std::string& fraction() const noexcept { return fraction_; }
    /// The instant as a `Date` (double precision).
    Date date() const noexcept;

    friend bool operator==(const WireTimestamp& a, const WireTimestamp& b) noexcept {
        return a.seconds_ == b.seconds_ && a.fraction_ == b.fraction_;
    }
    friend std::strong_ordering operator<=>(const WireTimestamp& a, const WireTimestamp& b) noexcept {
        if (const auto order = a.seconds_ <=> b.seconds_; order != 0) {
            return order;
        }
        return a.fraction_.compare(b.fraction_) <=> 0;
    }

private:
    std::int64_t seconds_ = 0;
    std::string fraction_;
    std::string canonical_;
};

} // namespace zoq
