#pragma once

#include "ZoqShell/Secrets/DeadlineCall.h"
#include "ZoqShell/Secrets/SecItemStoring.h"

#include <chrono>
#include <string>

namespace zoq {

/// The production `SecItemStoring`: items in one collection of the desktop
/// keyring, reached through the Secret Service (libsecret over the session bus).
///
/// Items use the schema `schemaName` (matched by name, so items of other
/// programs with the same attribute names never match) with the string
/// attributes "service" and "account"; values are stored as binary secrets
/// ("application/octet-stream"), so any bytes round-trip unchanged. The
/// collection is named by an alias ("default", the user's login keyring on a
/// desktop) or by a D-Bus object path.
///
/// Every operation runs on a worker thread under `deadline` (`DeadlineCall`);
/// on expiry it is cancelled and throws `SecretsError::timedOut`. Each
/// operation first checks that the collection exists and is unlocked, asking
/// the keyring afresh each time, and throws `keyringLocked` or
/// `noSuchCollection` otherwise: zoq runs headless and never prompts, and a
/// locked keyring must never read as "no credentials". Without a Secret Service
/// on the session bus every operation throws `serviceUnavailable`.
///
/// `add` checks for an existing item and then creates one; the Secret Service
/// has no atomic create-if-absent. Two writers racing on the same query could
/// both pass the check and leave two equal-keyed items. That is acceptable
/// because zoq's only writer of an item is the one credential actor of the one
/// running instance, and it degrades gracefully: `update` and `deleteItems` act
/// on every matching item, so the next store or erase converges them.
///
/// Thread-safe: holds no mutable state; calls may run concurrently.
class LibsecretItemStore final : public SecItemStoring {
public:
    static constexpr const char* schemaName = "org.zoq.GenericPassword";
    static constexpr const char* defaultCollection = "default";
    static constexpr const char* contentType = "application/octet-stream";
    static constexpr std::chrono::seconds defaultDeadline{10};

    LibsecretItemStore() : LibsecretItemStore(defaultCollection, defaultDeadline) {}
    /// `collection`: an alias ("default", "session", ...) or an object path
    /// ("/org/freedesktop/secrets/collection/login").
    LibsecretItemStore(std::string collection, DeadlineCall::Clock::duration deadline);

    const std::string& collection() const noexcept { return collection_; }

    void add(const SecItemQuery& query, ByteView data) override;
    std::optional<Bytes> copyData(const SecItemQuery& query) override;
    void update(const SecItemQuery& query, ByteView data) override;
    void deleteItems(const SecItemQuery& query) override;

private:
    std::string collection_;
    DeadlineCall call_;
};

} // namespace zoq
