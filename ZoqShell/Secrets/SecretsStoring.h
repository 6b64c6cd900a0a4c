#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <optional>

namespace zoq {

/// One opaque secret blob (the device credentials) with store, retrieve and
/// erase. Implementations throw on failure (`SecretsError` for the keyring,
/// `CoreError` for the file store) and never report a failure as "nothing
/// stored": `retrieve` returns none only when the blob is really absent.
class SecretsStoring {
public:
    virtual ~SecretsStoring() = default;

    /// Replaces the blob. A failure leaves the previous blob readable.
    virtual void store(ByteView data) = 0;
    /// The blob, or none when nothing is stored.
    virtual std::optional<Bytes> retrieve() = 0;
    /// Removes the blob; succeeds when nothing was stored.
    virtual void erase() = 0;
};

} // namespace zoq
