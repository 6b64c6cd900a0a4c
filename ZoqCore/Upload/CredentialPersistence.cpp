#include "ZoqCore/Upload/CredentialPersistence.h"

namespace zoq {

std::unique_ptr<CredentialPersistence::Lock> CredentialPersistence::lock(CredentialLockScope) {
    return nullptr;
}

} // namespace zoq
