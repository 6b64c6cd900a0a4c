#include "ZoqShell/Transport/PortalOrigin.h"

#include "ZoqShell/Transport/CurlHandles.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>

namespace zoq {
namespace {

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::optional<std::string> partOf(const curl::Library& library, CURLU* url, CURLUPart which,
                                  unsigned flags = 0) {
    char* raw = nullptr;
    if (library.url_get(url, which, &raw, flags) != CURLUE_OK || raw == nullptr) {
        return std::nullopt;
    }
    const curl::String owned(raw);
    return std::string(owned.get());
}

// The host in one spelling per address: lower case, no trailing dot, an IPv6
// address in its canonical text (so "[0:0::1]" and "[::1]" are one host).
std::string canonicalHost(std::string_view host) {
    std::string text = lowercased(host);
    if (text.size() > 1 && text.back() == '.') {
        text.pop_back();
    }
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        const std::string address = text.substr(1, text.size() - 2);
        in6_addr parsed{};
        char canonical[INET6_ADDRSTRLEN] = {};
        if (::inet_pton(AF_INET6, address.c_str(), &parsed) == 1 &&
            ::inet_ntop(AF_INET6, &parsed, canonical, sizeof canonical) != nullptr) {
            return "[" + std::string(canonical) + "]";
        }
    }
    return text;
}

} // namespace

std::optional<std::string> PortalOrigin::of(std::string_view url) noexcept {
    try {
        if (url.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        const curl::Library& library = curl::library();
        const curl::Url handle(library.url());
        if (!handle) {
            return std::nullopt;
        }
        const std::string text(url);
        if (library.url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
            return std::nullopt;
        }
        const std::optional<std::string> scheme = partOf(library, handle.get(), CURLUPART_SCHEME);
        const std::optional<std::string> host = partOf(library, handle.get(), CURLUPART_HOST);
        const std::optional<std::string> port =
            partOf(library, handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
        if (!scheme || !host || host->empty() || !port) {
            return std::nullopt;
        }
        const std::string lowerScheme = lowercased(*scheme);
        if (lowerScheme != "http" && lowerScheme != "https") {
            return std::nullopt;
        }
        return lowerScheme + "://" + canonicalHost(*host) + ":" + *port;
    } catch (...) {
        return std::nullopt;
    }
}

bool PortalOrigin::isLoopbackHost(std::string_view host) noexcept {
    try {
        std::string text = canonicalHost(host);
        if (text == "localhost") {
            return true;
        }
        if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
            in6_addr address{};
            if (::inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), &address) != 1) {
                return false;
            }
            return IN6_IS_ADDR_LOOPBACK(&address) ||
                   (IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127);
        }
        in_addr address{};
        return ::inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
    } catch (...) {
        return false;
    }
}

std::string PortalOrigin::withoutUserInfo(std::string_view text) {
    const std::size_t scheme = text.find("://");
    if (scheme == std::string_view::npos) {
        return std::string(text);
    }
    const std::size_t start = scheme + 3;
    const std::size_t end = std::min(text.find_first_of("/?#", start), text.size());
    const std::size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) {
        return std::string(text);
    }
    return std::string(text.substr(0, start)) + std::string(text.substr(start + at + 1));
}

} // namespace zoq
