#pragma once

#include "ZoqCore/Upload/CredentialSnapshot.h"

namespace zoq {

/// Where the credential snapshot is kept between runs (the keyring in
/// production, memory in tests).
///
/// Implementations need not be thread-safe: the credential coordinator and the
/// device authentication layer serialise every call they make.
class CredentialPersistence {
public:
    virtual ~CredentialPersistence() = default;

    /// The stored snapshot. Throws `CoreError::invalid("no credentials")` when
    /// nothing is stored (the device is not paired), the snapshot's decoding
    /// error for stored data that is not a valid snapshot, and the store's own
    /// error when it cannot be read.
    virtual CredentialSnapshot load() = 0;

    /// Replaces the stored snapshot. Returns only once the snapshot is durable;
    /// on any error (thrown) the previously stored snapshot stays in force.
    virtual void save(const CredentialSnapshot& snapshot) = 0;
};

} // namespace zoq
