#pragma once

#include "ZoqCore/Upload/CredentialPersistence.h"
#include "ZoqShell/Secrets/SecretsStoring.h"

#include <memory>

namespace zoq {

/// The production `CredentialPersistence`: the credential snapshot as the
/// canonical JSON bytes of `CredentialSnapshot::json` in one secret blob
/// (the keyring item of `KeychainSecrets`).
///
/// Holds no mutable state and takes no locks: the credential coordinator and
/// the device authentication layer serialise their calls.
class KeychainCredentialPersistence final : public CredentialPersistence {
public:
    explicit KeychainCredentialPersistence(std::unique_ptr<SecretsStoring> secrets);

    SecretsStoring& secrets() const noexcept { return *secrets_; }

    /// Throws `CoreError::invalid("no credentials")` when no blob is stored,
    /// the decoding error of `CredentialSnapshot::fromBytes` for a blob that is
    /// not a valid snapshot, and the store's errors (`SecretsError`).
    CredentialSnapshot load() override;

    /// Encodes first, so an encoding error stores nothing; then stores the
    /// bytes. Store errors (`SecretsError`) leave the previous blob in force.
    void save(const CredentialSnapshot& snapshot) override;

private:
    const std::unique_ptr<SecretsStoring> secrets_;
};

} // namespace zoq
