#pragma once

#include "ZoqShell/Transport/TransportUnavailable.h"
#include "ZoqShell/Transport/WireTransport.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace zoq {

/// The production transport: HTTP/1.1 and HTTP/2 over libcurl.
///
/// - Any method; headers are sent as written (an empty value is sent empty);
///   a body of bytes or a file range is sent with an explicit content-length,
///   never chunked and without waiting for "100 Continue". A file range is
///   streamed from disk in small blocks (see `FileRangeReader`), so memory
///   stays flat however large the upload.
/// - TLS certificates and host names are always verified.
/// - Only http and https URLs are used; any other scheme throws
///   `TransportUnavailable::network("non-HTTP response")` before anything is
///   sent. Redirects are not followed: a 3xx is returned like any response.
/// - `connectTimeout` bounds name resolution, the TCP connection and the TLS
///   handshake. `idleTimeout` aborts a transfer during which no byte moved in
///   either direction for that long (libcurl judges the rate over its last
///   few seconds, so the abort comes up to about 5 s later). A request that
///   streams a file range (a recording's bytes) has no cap on the whole
///   transfer, so a long upload that keeps moving is never cut off; every
///   other request (the portal's small JSON documents) must also finish
///   within `documentTimeout`, so a reply trickling in at a byte per second
///   cannot hold the caller, and everything queued behind it, for hours.
/// - Proxies: libcurl's environment defaults apply (http_proxy, https_proxy,
///   all_proxy, no_proxy), so zoq reaches the portal the way the user's other
///   command-line tools do; nothing else is configured, and no proxy is
///   trusted without TLS verification.
/// - A response body larger than `maxResponseBytes` is refused: the portal's
///   documents are small, and an endless reply must not exhaust memory.
/// - Failures without an HTTP response throw `TransportUnavailable::network`
///   with libcurl's message (or the file's), which never includes header
///   values or bodies.
/// - libcurl is loaded and initialised by the first request, not by the
///   constructor: a process that never reaches the portal never carries it.
/// - A request whose `cancelled` flag turns true ends within about a second
///   whatever it waits for, throwing `TransportUnavailable::network` with
///   `cancelledText`; one whose flag is already true is not sent at all.
///
/// Thread-safe: idle libcurl handles are kept in a small pool so that
/// connections to the portal are reused, and each call uses its own handle.
class CurlWireTransport final : public WireTransport {
public:
    static constexpr std::chrono::seconds defaultIdleTimeout{60};
    static constexpr std::chrono::seconds defaultConnectTimeout{30};
    static constexpr std::chrono::seconds defaultDocumentTimeout{120};
    static constexpr std::size_t maxResponseBytes = 64 * 1024 * 1024;
    static constexpr const char* cancelledText = "request cancelled";

    /// Throws `CoreError::invalid("timeout")` unless every timeout is at
    /// least one second.
    /// Sorts a failed transfer by libcurl's result code and, for a refused
    /// certificate, OpenSSL's verification result (`CURLINFO_SSL_VERIFYRESULT`).
    static TransportUnavailable::Problem problemOf(int curlCode, long verifyResult) noexcept;

    explicit CurlWireTransport(std::chrono::seconds idleTimeout = defaultIdleTimeout,
                               std::chrono::seconds connectTimeout = defaultConnectTimeout,
                               std::chrono::seconds documentTimeout = defaultDocumentTimeout);
    ~CurlWireTransport() override;
    CurlWireTransport(const CurlWireTransport&) = delete;
    CurlWireTransport& operator=(const CurlWireTransport&) = delete;

    /// Blocks until the response is complete; see `WireTransport`.
    TransportResponse execute(const TransportRequest& request) override;

private:
    class HandlePool;

    std::chrono::seconds idleTimeout_;
    std::chrono::seconds connectTimeout_;
    std::chrono::seconds documentTimeout_;
    std::unique_ptr<HandlePool> pool_;
};

} // namespace zoq
