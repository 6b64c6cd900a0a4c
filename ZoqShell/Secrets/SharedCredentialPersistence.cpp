#include "ZoqShell/Secrets/SharedCredentialPersistence.h"

namespace zoq {
namespace {

class HeldLock final : public CredentialPersistence::Lock {
public:
    explicit HeldLock(InterprocessLock& lock) : hold_(lock) {}

private:
    InterprocessLock::Hold hold_;
};

} // namespace

SharedCredentialPersistence::SharedCredentialPersistence(std::unique_ptr<CredentialPersistence> inner,
                                                         const std::filesystem::path& lockDirectory,
                                                         std::chrono::milliseconds decisionDeadline,
                                                         std::chrono::milliseconds refreshDeadline)
    : inner_(std::move(inner)), decisions_(lockDirectory / decisionLockName, decisionDeadline),
      refreshes_(lockDirectory / refreshLockName, refreshDeadline) {}

CredentialSnapshot SharedCredentialPersistence::load() {
    const InterprocessLock::Hold hold(decisions_);
    return inner_->load();
}

void SharedCredentialPersistence::save(const CredentialSnapshot& snapshot) {
    const InterprocessLock::Hold hold(decisions_);
    inner_->save(snapshot);
}

std::unique_ptr<CredentialPersistence::Lock> SharedCredentialPersistence::lock(CredentialLockScope scope) {
    return std::make_unique<HeldLock>(scope == CredentialLockScope::decision ? decisions_ : refreshes_);
}

} // namespace zoq
