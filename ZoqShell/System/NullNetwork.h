#pragma once

#include "ZoqShell/System/NetworkObserving.h"

namespace zoq {

/// Reports an unrestricted connection (`wifi`) at all times, for headless runs
/// and tests where the real network state must not decide anything.
class NullNetwork final : public NetworkObserving {
public:
    NetworkTransport currentTransport() const noexcept override { return NetworkTransport::wifi; }
};

} // namespace zoq
