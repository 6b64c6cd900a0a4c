#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <optional>
#include <string>

namespace zoq {

/// Names one keyring item: a generic password identified by its service and
/// account. On the Secret Service there is no per-item accessibility class: an
/// item lives in one local collection, is never synchronised elsewhere and is
/// readable only while that collection is unlocked.
struct SecItemQuery {
    std::string service;
    std::string account;

    bool operator==(const SecItemQuery&) const = default;
};

/// The four keyring item calls, kept this thin so tests can put an in-memory
/// item store (with fault injection) under `KeychainSecrets`.
///
/// Every operation either completes or throws `SecretsError` with the status of
/// the failed call; no outcome is reported through a return value. A locked or
/// unreachable keyring is always an error, never "no item". Implementations
/// decide their own thread-safety; the production one may be called from any
/// thread.
class SecItemStoring {
public:
    virtual ~SecItemStoring() = default;

    /// Adds an item holding `data`. Throws `SecretsError` (`duplicateItem` when
    /// an item with this query already exists).
    virtual void add(const SecItemQuery& query, ByteView data) = 0;

    /// The value of the matching item, or none when no item matches.
    virtual std::optional<Bytes> copyData(const SecItemQuery& query) = 0;

    /// Replaces the value of the matching item in place. Throws `SecretsError`
    /// (`itemNotFound` when nothing matches).
    virtual void update(const SecItemQuery& query, ByteView data) = 0;

    /// Deletes every matching item; succeeds when there was nothing to delete.
    /// (Named `deleteItems` because `delete` is a C++ keyword.)
    virtual void deleteItems(const SecItemQuery& query) = 0;
};

} // namespace zoq
