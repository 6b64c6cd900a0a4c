#pragma once

#include "ZoqShell/Transport/WireTransport.h"

#include <functional>

namespace zoq {

/// The transport of tests: `execute` calls `handler` and returns or throws
/// what it does, with no network access. As thread-safe as the handler.
class StubWireTransport final : public WireTransport {
public:
    using Handler = std::function<TransportResponse(const TransportRequest&)>;

    explicit StubWireTransport(Handler handler) : handler_(std::move(handler)) {}

    TransportResponse execute(const TransportRequest& request) override { return handler_(request); }

private:
    Handler handler_;
};

} // namespace zoq
