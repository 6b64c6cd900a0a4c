#pragma once

#include "ZoqShell/Transport/TransportRequest.h"
#include "ZoqShell/Transport/TransportResponse.h"

namespace zoq {

/// Sends one HTTP request and returns the response to it.
///
/// `execute` blocks the calling thread until the whole response has arrived or
/// the request has failed; call it from a worker thread, never from the UI
/// thread or a serial queue that must stay responsive. Implementations are
/// thread-safe: any number of threads may call `execute` at once.
///
/// Every response is returned, whatever its status (a 3xx is not followed, a
/// 4xx or 5xx is not an error here). Throws `TransportUnavailable` when there
/// is no HTTP response, and `CoreError::invalid` for a request that cannot be
/// sent as written ("request method", "request header"); nothing is sent then.
class WireTransport {
public:
    virtual ~WireTransport() = default;
    virtual TransportResponse execute(const TransportRequest& request) = 0;
};

} // namespace zoq
