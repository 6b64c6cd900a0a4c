#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"

#include "ZoqCore/Support/CoreError.h"

namespace zoq {

KeychainCredentialPersistence::KeychainCredentialPersistence(std::unique_ptr<SecretsStoring> secrets)
    : secrets_(std::move(secrets)) {}

CredentialSnapshot KeychainCredentialPersistence::load() {
    const std::optional<Bytes> blob = secrets_->retrieve();
    if (!blob) {
        throw CoreError::invalid("no credentials");
    }
    return CredentialSnapshot::fromBytes(*blob);
}

void KeychainCredentialPersistence::save(const CredentialSnapshot& snapshot) {
    const Bytes blob = snapshot.encoded();
    secrets_->store(blob);
}

} // namespace zoq
