#include "ZoqShell/Transport/CancellableTransport.h"

#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"

namespace zoq {

TransportResponse CancellableTransport::execute(const TransportRequest& request) {
    if (cancelled()) {
        throw TransportUnavailable::network(CurlWireTransport::cancelledText);
    }
    TransportRequest marked = request;
    marked.cancelled = flag_;
    return inner_.execute(marked);
}

} // namespace zoq
