#pragma once

#include <compare>

namespace zoq {

/// A wall-clock instant: seconds since 2001-01-01T00:00:00Z as a double, the
/// encoding every stored file uses for dates.
struct Date {
    /// Seconds between the Unix epoch and 2001-01-01T00:00:00Z.
    static constexpr double unixOffset = 978'307'200.0;

    double sinceReferenceDate = 0;

    static constexpr Date fromUnix(double unixSeconds) { return {unixSeconds - unixOffset}; }
    constexpr double unixSeconds() const { return sinceReferenceDate + unixOffset; }

    constexpr Date operator+(double seconds) const { return {sinceReferenceDate + seconds}; }
    constexpr Date operator-(double seconds) const { return {sinceReferenceDate - seconds}; }
    constexpr double operator-(Date other) const { return sinceReferenceDate - other.sinceReferenceDate; }

    friend constexpr bool operator==(Date, Date) = default;
    friend constexpr auto operator<=>(Date, Date) = default;
};

} // namespace zoq
