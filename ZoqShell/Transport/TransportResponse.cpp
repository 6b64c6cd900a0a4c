#include "ZoqShell/Transport/TransportResponse.h"

#include "ZoqCore/Support/CoreClock.h"
#include "ZoqShell/Transport/RFC1123DateFormatter.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace zoq {

namespace {

char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsLowered(std::string_view headerName, std::string_view lowerCaseName) {
    return headerName.size() == lowerCaseName.size() &&
           std::equal(headerName.begin(), headerName.end(), lowerCaseName.begin(),
                      [](char a, char b) { return lowered(a) == b; });
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A plain decimal number, optionally signed. std::from_chars takes no "0x",
// no blanks and no leading '+' (skipped here when a digit or point follows),
// and reports values beyond a double's range as errors; it does read "inf"
// and "nan", which are refused here.
std::optional<double> decimalNumber(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && (text[1] == '.' || (text[1] >= '0' && text[1] <= '9'))) {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::string> TransportResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsLowered(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<double> TransportResponse::retryAfterSeconds(Date now) const {
    const auto value = header("retry-after");
    if (!value) {
        return std::nullopt;
    }
    const std::string_view text = trimmed(*value);
    if (const auto seconds = decimalNumber(text)) {
        return std::max(*seconds, 0.0);
    }
    if (const auto date = RFC1123DateFormatter::date(text)) {
        return std::max(*date - now, 0.0);
    }
    return std::nullopt;
}

std::optional<double> TransportResponse::retryAfterSeconds() const {
    return retryAfterSeconds(HostClock().wallDate());
}

} // namespace zoq
