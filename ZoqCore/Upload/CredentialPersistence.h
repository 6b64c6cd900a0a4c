#pragma once

#include "ZoqCore/Upload/CredentialSnapshot.h"

#include <memory>

namespace zoq {

/// What a `CredentialPersistence::lock` excludes: one read-decide-save of the
/// stored snapshot (short), or one refresh exchange with the portal (as long
/// as the network takes).
enum class CredentialLockScope { decision, refresh };

/// Where the credential snapshot is kept between runs (the keyring in
/// production, memory in tests).
///
/// Several processes of the same user (the long-lived service and the
/// command line) may share one store. Whoever decides something from the
/// stored snapshot (reads it, decides, saves the outcome) does so holding
/// `lock(CredentialLockScope::decision)` and loads afresh under it, so a
/// process never saves over a newer snapshot it has not seen; whoever sends a
/// refresh holds `lock(CredentialLockScope::refresh)` for the whole exchange,
/// so another process waits for its outcome instead of sending the same
/// refresh or blocking the device while it is still in flight.
///
/// `load` and `save` need not be thread-safe: the credential coordinator and
/// the device authentication layer serialise every call they make.
class CredentialPersistence {
public:
    /// A held lock; released when destroyed.
    class Lock {
    public:
        virtual ~Lock() = default;
    };

    virtual ~CredentialPersistence() = default;

    /// The stored snapshot. Throws `CoreError::invalid("no credentials")` when
    /// nothing is stored (the device is not paired), the snapshot's decoding
    /// error for stored data that is not a valid snapshot, and the store's own
    /// error when it cannot be read.
    virtual CredentialSnapshot load() = 0;

    /// Replaces the stored snapshot. Returns only once the snapshot is durable;
    /// on any error (thrown) the previously stored snapshot stays in force.
    virtual void save(const CredentialSnapshot& snapshot) = 0;

    /// Holds off every other holder of `scope`, in any process that shares
    /// this store, until the returned lock is destroyed; every save made
    /// before is visible to a `load` under it. Reentrant: a thread may ask
    /// again for a scope it holds (and `load` and `save` may take the decision
    /// lock themselves). Throws when the lock cannot be
    /// taken within the store's deadline (it never waits without end). The
    /// default is for a store only this process uses, where the callers' own
    /// serialisation suffices: it holds nothing.
    virtual std::unique_ptr<Lock> lock(CredentialLockScope scope);
};

} // namespace zoq
