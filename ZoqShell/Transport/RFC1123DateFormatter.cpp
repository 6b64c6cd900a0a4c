#include "ZoqShell/Transport/RFC1123DateFormatter.h"

#include "ZoqShell/Transport/LibCurl.h"

#include <array>
#include <ctime>
#include <string>

namespace zoq {

namespace {

constexpr std::array<std::string_view, 7> weekdays{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The layout, with 'D' for a decimal digit and 'x' for a name or zone checked separately.
constexpr std::string_view layout = "xxx, DD xxx DDDD DD:DD:DD xxx";

int digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

template <std::size_t n>
int indexOf(const std::array<std::string_view, n>& names, std::string_view name) {
    for (std::size_t i = 0; i < n; ++i) {
        if (names[i] == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace

std::optional<Date> RFC1123DateFormatter::date(std::string_view text) noexcept {
    if (text.size() != layout.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < layout.size(); ++i) {
        const char expected = layout[i];
        const char actual = text[i];
        if (expected == 'D' ? (actual < '0' || actual > '9') : (expected != 'x' && actual != expected)) {
            return std::nullopt;
        }
    }
    const int month = indexOf(months, text.substr(8, 3));
    const std::string_view zone = text.substr(26, 3);
    if (indexOf(weekdays, text.substr(0, 3)) < 0 || month < 0 || (zone != "GMT" && zone != "UTC")) {
        return std::nullopt;
    }

    try {
        const std::string terminated(text);
        std::time_t seconds = curl::library().getdate(terminated.c_str(), nullptr);
        const auto names = [&](std::time_t candidate) {
            std::tm fields{};
            return gmtime_r(&candidate, &fields) != nullptr && fields.tm_mday == digits(text, 5, 2) &&
                   fields.tm_mon == month && fields.tm_year + 1900 == digits(text, 12, 4) &&
                   fields.tm_hour == digits(text, 17, 2) && fields.tm_min == digits(text, 20, 2) &&
                   fields.tm_sec == digits(text, 23, 2);
        };
        // curl_getdate reports failure as -1 and therefore moves the one
        // instant that really is -1 (1969-12-31 23:59:59) to 0.
        if (seconds == 0 && !names(0) && names(-1)) {
            seconds = -1;
        }
        if (!names(seconds)) {
            return std::nullopt;
        }
        return Date::fromUnix(static_cast<double>(seconds));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace zoq
