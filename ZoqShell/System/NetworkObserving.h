#pragma once

#include "ZoqCore/Upload/NetworkTransport.h"

namespace zoq {

/// Tells the uploader how the machine currently reaches the network.
///
/// `currentTransport` may be called from any thread at any rate: it only reads
/// the latest answer the implementation already holds, never blocks and never
/// throws. Implementations keep that answer current on their own.
class NetworkObserving {
public:
    virtual ~NetworkObserving() = default;

    virtual NetworkTransport currentTransport() const noexcept = 0;
};

} // namespace zoq
