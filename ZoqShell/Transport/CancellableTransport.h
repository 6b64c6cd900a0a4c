#pragma once

#include "ZoqShell/Transport/WireTransport.h"

#include <atomic>
#include <memory>

namespace zoq {

/// Another transport whose requests can all be given up at once: every
/// request sent through it carries its flag (`TransportRequest::cancelled`,
/// replacing any the caller set), and `cancel()` ends the requests in flight
/// and refuses every later one with `TransportUnavailable`. Quitting must
/// not wait for a portal that takes its time.
///
/// Thread-safe, like the transport it wraps, which is borrowed and must
/// outlive it.
class CancellableTransport final : public WireTransport {
public:
    explicit CancellableTransport(WireTransport& inner) : inner_(inner) {}

    TransportResponse execute(const TransportRequest& request) override;
    /// Any thread; returns at once (the requests in flight end shortly after).
    void cancel() noexcept { flag_->store(true); }
    bool cancelled() const noexcept { return flag_->load(); }

private:
    WireTransport& inner_;
    const std::shared_ptr<std::atomic<bool>> flag_ = std::make_shared<std::atomic<bool>>(false);
};

} // namespace zoq
