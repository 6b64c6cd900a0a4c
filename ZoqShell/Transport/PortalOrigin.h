#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zoq {

/// The origin of a portal address: the one thing device credentials are
/// bound to. Two addresses have the same origin when their scheme, host and
/// port agree after normalisation: the scheme and host in lower case, one
/// trailing "." of the host removed, an IPv6 address in its canonical text,
/// and the scheme's default port written out, so "https://Portal.example/"
/// and "https://portal.example.:443/x" are one origin.
///
/// Pure and thread-safe.
class PortalOrigin {
public:
    /// "scheme://host:port" for an absolute http or https URL, as libcurl
    /// parses it; none for anything else. Never throws.
    static std::optional<std::string> of(std::string_view url) noexcept;

    /// Whether `host` (as written in a URL: "127.0.0.1", "[::1]",
    /// "LOCALHOST.") names this computer: "localhost", 127.0.0.0/8, ::1 (and
    /// its IPv4-mapped 127.0.0.0/8). Never throws.
    static bool isLoopbackHost(std::string_view host) noexcept;

    /// `text` with any "user:password@" in front of its host removed, for
    /// showing an address that may have been written by hand. Text that is
    /// not a URL is returned as it is.
    static std::string withoutUserInfo(std::string_view text);
};

} // namespace zoq
