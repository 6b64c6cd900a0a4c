#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zoq {

/// The one rule for addressing the portal's API, shared by device
/// authentication, pairing and the upload requests: the configured base URL
/// gives the scheme, host and port; the path is always "/api/v1/" followed by
/// the given segments. Composition goes through libcurl's URL API.
///
/// Only scheme, host and port of the base survive. Its path is replaced, not
/// extended (a portal address ending in "/portal" still yields
/// "/api/v1/..."), and its user name, password, query and fragment are
/// dropped, so nothing secret written into the portal address is sent along
/// with every request.
///
/// Each segment is percent-encoded on its own: every byte outside the
/// unreserved set (letters, digits, "-", ".", "_", "~") becomes "%XX", so a
/// segment can never turn into two segments, a query or a fragment.
///
/// Pure and thread-safe.
class PortalURL {
public:
    /// One "name=value" query item; both parts are percent-encoded like segments.
    struct QueryItem {
        std::string name;
        std::string value;
    };

    /// The request URL for `segments` (and `query`) under `base`.
    /// Throws `CoreError::invalid("base URL")` when `base` is not an absolute
    /// URL with a host, and `CoreError::invalid("request URL")` when no URL can
    /// be formed: a segment that is empty, "." or ".." (it would address
    /// another path than the one named), or a composition libcurl refuses.
    static std::string apiURL(std::string_view base, std::span<const std::string> segments,
                              const std::optional<QueryItem>& query = std::nullopt);

    /// Whether `text` is an absolute URL with a scheme and a host, as libcurl
    /// parses it. Never throws.
    static bool isAbsolute(std::string_view text) noexcept;

    /// `text` with every byte outside the unreserved set written as "%XX".
    static std::string percentEncoded(std::string_view text);
};

} // namespace zoq
