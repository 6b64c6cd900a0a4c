// The URL rules of `WireFields::url`, applied in a fixed order so the first
// failing check names the reason.
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/WireFields.h"
#include "ZoqCore/Wire/WirePattern.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <string>
#include <vector>

namespace zoq {
namespace {

const WirePattern& schemePattern() {
    static const WirePattern pattern(R"(\A(?i:https?)://)");
    return pattern;
}

const WirePattern& restPattern() {
    static const WirePattern pattern(
        R"(\A(?:/(?:[a-zA-Z0-9._~!$&'()*+,;=:@/-]|%[a-fA-F0-9]{2})*)?(?:\?(?:[a-zA-Z0-9._~!$&'()*+,;=:@/?-]|%[a-fA-F0-9]{2})*)?(?:#(?:[a-zA-Z0-9._~!$&'()*+,;=:@/?-]|%[a-fA-F0-9]{2})*)?\z)");
    return pattern;
}

const WirePattern& ipv6CharactersPattern() {
    static const WirePattern pattern(R"(\A[a-fA-F0-9:.]+\z)");
    return pattern;
}

const WirePattern& labelPattern() {
    static const WirePattern pattern(R"(\A[a-zA-Z0-9](?:[a-zA-Z0-9-]{0,61}[a-zA-Z0-9])?\z)");
    return pattern;
}

const WirePattern& numericLabelPattern() {
    static const WirePattern pattern(R"(\A(?:[0-9]+|0[xX][0-9a-fA-F]*)\z)");
    return pattern;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        pieces.push_back(
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return pieces;
        }
        start = end + 1;
    }
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One label of a numeric IPv4 host: hexadecimal after "0x" (an empty body is
// 0), octal with a leading "0", else decimal. Values are capped just above
// 2^32, the largest any label may reach, so long labels cannot overflow.
std::optional<std::uint64_t> numericLabel(std::string_view label) {
    constexpr std::uint64_t cap = std::uint64_t{1} << 33;
    std::uint64_t base = 10;
    if (label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) {
        base = 16;
        label.remove_prefix(2);
    } else if (label.size() >= 2 && label[0] == '0') {
        base = 8;
        label.remove_prefix(1);
    } else if (label.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : label) {
        std::uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint64_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint64_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (digit >= base) {
            return std::nullopt;
        }
        value = std::min(value * base + digit, cap);
    }
    return value;
}

void checkPort(std::string_view port) {
    if (port.empty()) {
        return; // "host:" names the scheme's default port
    }
    if (!allDigits(port)) {
        throw CoreError::invalid("port");
    }
    const std::string_view significant = port.substr(std::min(port.find_first_not_of('0'), port.size()));
    if (significant.size() > 5 || (!significant.empty() && std::stoul(std::string(significant)) > 65535)) {
        throw CoreError::invalid("port");
    }
}

void checkBracketedHost(std::string_view authority) {
    const std::size_t close = authority.find(']');
    const std::string_view address =
        authority.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    if (!ipv6CharactersPattern().matches(address)) {
        throw CoreError::invalid("IPv6 characters");
    }
    if (address.find('.') != std::string_view::npos) {
        const std::size_t lastColon = address.rfind(':');
        const std::string_view embedded =
            lastColon == std::string_view::npos ? address : address.substr(lastColon + 1);
        for (const std::string_view piece : split(embedded, '.')) {
            if (piece.size() >= 2 && piece[0] == '0') {
                throw CoreError::invalid("IPv6 embedded IPv4 leading zero");
            }
        }
    }
    in6_addr parsed{};
    if (close == std::string_view::npos || inet_pton(AF_INET6, std::string(address).c_str(), &parsed) != 1) {
        throw CoreError::invalid("IPv6");
    }
    const std::string_view after = authority.substr(close + 1);
    if (after.empty()) {
        return;
    }
    if (after[0] != ':') {
        throw CoreError::invalid("port");
    }
    checkPort(after.substr(1));
}

void checkHost(std::string_view host) {
    if (host.ends_with('.')) {
        host.remove_suffix(1);
    }
    if (host.empty() || host.size() > 253) {
        throw CoreError::invalid("host");
    }
    const std::vector<std::string_view> labels = split(host, '.');
    for (const std::string_view label : labels) {
        if (!labelPattern().matches(label)) {
            throw CoreError::invalid("host");
        }
    }
    if (std::all_of(labels.begin(), labels.end(), allDigits)) {
        if (labels.size() != 4) {
            throw CoreError::invalid("IPv4");
        }
        for (const std::string_view label : labels) {
            if ((label.size() > 1 && label[0] == '0') || label.size() > 3 ||
                std::stoi(std::string(label)) > 255) {
                throw CoreError::invalid("IPv4");
            }
        }
        return;
    }
    if (!numericLabelPattern().matches(labels.back())) {
        return; // an ordinary name
    }
    // A name ending in a number is an IPv4 address in the legacy notations
    // ("0x7f.1", "127.1") that URL parsers still accept; it must be a valid one.
    if (labels.size() > 4) {
        throw CoreError::invalid("numeric host");
    }
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::optional<std::uint64_t> value = numericLabel(labels[i]);
        const bool last = i + 1 == labels.size();
        const std::uint64_t limit = last ? std::uint64_t{1} << (8 * (5 - labels.size())) : 256;
        if (!value || *value >= limit) {
            throw CoreError::invalid("numeric host");
        }
    }
}

} // namespace

JSONValue WireFields::url(const JSONValue& value) {
    const std::string* text = value.string();
    if (text == nullptr || !schemePattern().matches(*text)) {
        throw CoreError::invalid("URL scheme");
    }
    const std::string_view afterScheme = std::string_view(*text).substr(text->find("://") + 3);
    const std::size_t boundary = std::min(afterScheme.find_first_of("/?#"), afterScheme.size());
    const std::string_view authority = afterScheme.substr(0, boundary);
    if (authority.empty() || authority.find('@') != std::string_view::npos ||
        !restPattern().matches(afterScheme.substr(boundary))) {
        throw CoreError::invalid("URL characters");
    }
    if (authority.starts_with('[')) {
        checkBracketedHost(authority);
        return value;
    }
    const std::vector<std::string_view> pieces = split(authority, ':');
    if (pieces.size() > 2) {
        throw CoreError::invalid("authority");
    }
    checkHost(pieces[0]);
    if (pieces.size() == 2) {
        checkPort(pieces[1]);
    }
    return value;
}

} // namespace zoq
