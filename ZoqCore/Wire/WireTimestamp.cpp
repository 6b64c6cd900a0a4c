#include "ZoqCore/Wire/WireTimestamp.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/WirePattern.h"

#include <cstdio>

namespace zoq {
namespace {

constexpr std::int64_t secondsPerDay = 86'400;
constexpr std::int64_t endOfYear9999 = 315'569'520'000; // 10000-01-01T00:00:00Z

bool isLeap(std::int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int daysInMonth(std::int64_t year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

// Days since 0000-01-01 in the proleptic Gregorian calendar (years 0..9999).
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    // 0000-03-01 is day 0 of era 0; 0000-01-01 is 60 days earlier (0000 is a leap year).
    return era * 146'097 + dayOfEra + 60;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

Civil civilFromDays(std::int64_t days) {
    days -= 60;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const std::int64_t dayOfEra = days - era * 146'097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

} // namespace

WireTimestamp::WireTimestamp(std::string_view text) {
    if (!WirePattern::timestamp().matches(text)) {
        throw CoreError::invalid("timestamp");
    }
    // The pattern fixes every position but the fraction's length.
    const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
    std::string_view rest = text.substr(19);
    std::string_view fractionText;
    if (rest.starts_with('.')) {
        const std::size_t end = rest.find_first_not_of("0123456789", 1);
        fractionText = rest.substr(1, end - 1);
        rest.remove_prefix(end);
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        throw CoreError::invalid("calendar");
    }
    std::int64_t offset = 0;
    if (rest != "Z") {
        const int offsetHours = digits(rest, 1, 2), offsetMinutes = digits(rest, 4, 2);
        if (offsetHours > 23 || offsetMinutes > 59) {
            throw CoreError::invalid("offset");
        }
        offset = (rest[0] == '-' ? -1 : 1) * (offsetHours * 3600 + offsetMinutes * 60);
    }
    seconds_ = daysFromCivil(year, month, day) * secondsPerDay + hour * 3600 + minute * 60 + second - offset;
    if (seconds_ < 0 || seconds_ >= endOfYear9999) {
        throw CoreError::invalid("UTC year");
    }
    fraction_ = std::string(fractionText.substr(0, fractionText.find_last_not_of('0') + 1));

    const Civil date = civilFromDays(seconds_ / secondsPerDay);
    const std::int64_t secondOfDay = seconds_ % secondsPerDay;
    std::string millis = std::string(fractionText.substr(0, 3));
    millis.resize(3, '0');
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%sZ", static_cast<int>(date.year),
                  date.month, date.day, static_cast<int>(secondOfDay / 3600),
                  static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60),
                  millis.c_str());
    canonical_ = buffer;
}

Date WireTimestamp::date() const noexcept {
    static const std::int64_t referenceSeconds = daysFromCivil(2001, 1, 1) * secondsPerDay;
    double fraction = 0;
    double scale = 0.1;
    for (std::size_t i = 0; i < fraction_.size() && i < 9; ++i, scale /= 10) {
        fraction += (fraction_[i] - '0') * scale;
    }
    return Date{static_cast<double>(seconds_ - referenceSeconds) + fraction};
}

} // namespace zoq
