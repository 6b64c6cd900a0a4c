#pragma once

#include "ZoqShell/Transport/RequestBody.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>

namespace zoq {

/// One HTTP request as the portal clients build it. A plain value: building one
/// touches neither the network nor the disk.
///
/// Header names are sent as written; zoq's callers write them in lower case.
/// The framing headers "content-length", "transfer-encoding" and "expect" are
/// the transport's business: it derives the length from `body` and ignores
/// any such entry here, so a request can never announce a length it does not
/// send.
struct TransportRequest {
    std::string method;
    std::string url;
    std::map<std::string, std::string> headers;
    RequestBody body;
    /// When set, the request is given up as soon as the flag reads true,
    /// whatever stage it is in (connecting, sending, waiting for the reply):
    /// the transport throws `TransportUnavailable` instead of waiting. Not
    /// part of what is sent.
    std::shared_ptr<const std::atomic<bool>> cancelled = nullptr;

    friend bool operator==(const TransportRequest&, const TransportRequest&) = default;
};

} // namespace zoq
