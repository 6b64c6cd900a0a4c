#pragma once

#include "ZoqShell/Secrets/SecItemStoring.h"
#include "ZoqShell/Secrets/SecretsStoring.h"

#include <memory>
#include <string>

namespace zoq {

/// The secret blob kept in one keyring item (`service`, `account`), replaced in
/// two phases through a staging item (`account` + ".pending-commit") so that a
/// crash between any two item calls leaves either the previous blob or the new
/// one, never a mix and never nothing:
///
/// - `store`: delete any old staging item, add the staging item with the new
///   blob (from here on the new blob survives a crash), update the live item in
///   place (or add it), delete the staging item.
/// - `retrieve`: a staging item left behind by a crashed `store` is promoted to
///   the live item first (the newer blob wins), then the live item is read.
///
/// Holds no mutable state and takes no locks: callers serialise their calls
/// (the credential actors do). Errors of `items` propagate unchanged as
/// `SecretsError`, except where a step below says it is ignored.
class KeychainSecrets final : public SecretsStoring {
public:
    static constexpr const char* stagingSuffix = ".pending-commit";

    KeychainSecrets(std::string service, std::string account, std::unique_ptr<SecItemStoring> items);

    const std::string& service() const noexcept { return service_; }
    const std::string& account() const noexcept { return account_; }
    SecItemStoring& items() const noexcept { return *items_; }

    /// Throws the error of adding the staging item (nothing changed), or of
    /// reading/writing the live item (the live item keeps its previous value and
    /// the staging item is removed). Errors while removing the staging item are
    /// ignored: a leftover staging item is resolved by the next `retrieve`.
    void store(ByteView data) override;

    /// Throws any read error, and any error of promoting a staging item (which
    /// is then left in place for the next `retrieve` to try again).
    std::optional<Bytes> retrieve() override;

    /// Deletes the staging item, then the live item; the first error stops.
    void erase() override;

private:
    SecItemQuery baseQuery() const { return {service_, account_}; }
    SecItemQuery stagingQuery() const { return {service_, account_ + stagingSuffix}; }

    const std::string service_;
    const std::string account_;
    const std::unique_ptr<SecItemStoring> items_;
};

} // namespace zoq
