#pragma once

#include "ZoqCore/Upload/CredentialPersistence.h"
#include "ZoqShell/Secrets/InterprocessLock.h"

#include <chrono>
#include <filesystem>
#include <memory>

namespace zoq {

/// The credential store of every zoq process of the user: another persistence
/// (the keyring or the opt-in file) with the locks that let the long-lived
/// service and the command line share it safely.
///
/// The two lock files live in `lockDirectory` (in production zoq's data
/// directory, which every zoq process of the user shares, as it shares the
/// spool): "credentials.lock" for decisions and "credentials-refresh.lock"
/// for refresh exchanges. `load` and `save` take the decision lock themselves
/// (reentrantly, so inside a decision they simply run), so that no read ever
/// interleaves with another process's store: the keyring's two-phase replace,
/// rolled forward by a concurrent read, could otherwise bring back an older
/// snapshot.
///
/// A decision waits at most `decisionDeadline` for the lock (the keyring's own
/// calls are bounded well inside it); a refresh at most `refreshDeadline`,
/// which covers one whole refresh exchange of another process. Both then
/// throw `CoreError::deadline()`.
///
/// Thread-safe as far as the locks go; the inner persistence is only ever
/// called with the decision lock held, so it needs no locking of its own.
class SharedCredentialPersistence final : public CredentialPersistence {
public:
    static constexpr const char* decisionLockName = "credentials.lock";
    static constexpr const char* refreshLockName = "credentials-refresh.lock";
    static constexpr std::chrono::seconds defaultDecisionDeadline{30};
    static constexpr std::chrono::seconds defaultRefreshDeadline{130};

    SharedCredentialPersistence(std::unique_ptr<CredentialPersistence> inner,
                                const std::filesystem::path& lockDirectory,
                                std::chrono::milliseconds decisionDeadline = defaultDecisionDeadline,
                                std::chrono::milliseconds refreshDeadline = defaultRefreshDeadline);

    CredentialPersistence& inner() const noexcept { return *inner_; }

    CredentialSnapshot load() override;
    void save(const CredentialSnapshot& snapshot) override;
    std::unique_ptr<Lock> lock(CredentialLockScope scope) override;

private:
    const std::unique_ptr<CredentialPersistence> inner_;
    InterprocessLock decisions_;
    InterprocessLock refreshes_;
};

} // namespace zoq
