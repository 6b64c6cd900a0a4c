#include "ZoqShell/Transport/PortalURL.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Transport/CurlHandles.h"

#include <array>

namespace zoq {
namespace {

constexpr std::string_view apiPrefix = "/api/v1/";

bool isUnreserved(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Parses `text` as an absolute URL into a fresh handle; none when libcurl
// refuses it or it names no host.
curl::Url parsed(const curl::Library& library, std::string_view text) noexcept {
    curl::Url url(library.url());
    if (!url) {
        return nullptr;
    }
    // libcurl copies the text, so a terminated copy of the view suffices; an
    // embedded NUL would silently cut the URL short, so it is refused.
    if (text.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    try {
        const std::string terminated(text);
        if (library.url_set(url.get(), CURLUPART_URL, terminated.c_str(), 0) != CURLUE_OK) {
            return nullptr;
        }
    } catch (...) {
        return nullptr;
    }
    char* host = nullptr;
    if (library.url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
        return nullptr;
    }
    const curl::String ownedHost(host);
    if (ownedHost == nullptr || *ownedHost == '\0') {
        return nullptr;
    }
    return url;
}

} // namespace

std::string PortalURL::percentEncoded(std::string_view text) {
    static constexpr std::array<char, 16> hex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    std::string encoded;
    encoded.reserve(text.size());
    for (const char raw : text) {
        const auto c = static_cast<unsigned char>(raw);
        if (isUnreserved(c)) {
            encoded.push_back(raw);
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[c >> 4]);
            encoded.push_back(hex[c & 0xF]);
        }
    }
    return encoded;
}

bool PortalURL::isAbsolute(std::string_view text) noexcept {
    const curl::Library* library = nullptr;
    try {
        library = &curl::library();
    } catch (...) {
        return false; // without libcurl nothing can be sent to the URL either
    }
    return parsed(*library, text) != nullptr;
}

std::string PortalURL::apiURL(std::string_view base, std::span<const std::string> segments,
                              const std::optional<QueryItem>& query) {
    const curl::Library& library = curl::library();
    const curl::Url url = parsed(library, base);
    if (!url) {
        throw CoreError::invalid("base URL");
    }
    std::string path(apiPrefix);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::string& segment = segments[i];
        if (segment.empty() || segment == "." || segment == "..") {
            throw CoreError::invalid("request URL");
        }
        path += (i == 0 ? "" : "/") + percentEncoded(segment);
    }
    const std::string queryText =
        query ? percentEncoded(query->name) + "=" + percentEncoded(query->value) : std::string();
    CURLU* handle = url.get();
    const bool composed =
        library.url_set(handle, CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
        library.url_set(handle, CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK &&
        library.url_set(handle, CURLUPART_OPTIONS, nullptr, 0) == CURLUE_OK &&
        library.url_set(handle, CURLUPART_FRAGMENT, nullptr, 0) == CURLUE_OK &&
        library.url_set(handle, CURLUPART_QUERY, query ? queryText.c_str() : nullptr, 0) == CURLUE_OK &&
        library.url_set(handle, CURLUPART_PATH, path.c_str(), 0) == CURLUE_OK;
    char* text = nullptr;
    if (!composed || library.url_get(handle, CURLUPART_URL, &text, 0) != CURLUE_OK) {
        throw CoreError::invalid("request URL");
    }
    const curl::String owned(text);
    return std::string(owned.get());
}

} // namespace zoq
