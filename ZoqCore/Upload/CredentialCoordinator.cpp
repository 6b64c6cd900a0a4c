#include "ZoqCore/Upload/CredentialCoordinator.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/WirePattern.h"

#include <algorithm>
#include <cctype>
#include <type_traits>

namespace zoq {
namespace {

// Device identifiers are ASCII UUID texts; the portal may change their case.
bool sameDevice(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

CredentialCoordinator::CredentialCoordinator(CredentialPersistence& persistence)
    : persistence_(persistence), snapshot_(persistence.load()) {}

CredentialSnapshot CredentialCoordinator::current() const {
    const std::lock_guard guard(lock_);
    return snapshot_;
}

CredentialSnapshot CredentialCoordinator::reload() {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    return snapshot_;
}

CredentialCoordinator::Held CredentialCoordinator::fresh() {
    Held held = persistence_.lock(CredentialLockScope::decision);
    snapshot_ = persistence_.load();
    return held;
}

void CredentialCoordinator::commit(CredentialSnapshot next) {
    // Once saved, the snapshot must be adopted: a throwing assignment here
    // would leave memory behind what a restart would load.
    static_assert(std::is_nothrow_move_assignable_v<CredentialSnapshot>);
    persistence_.save(next);
    snapshot_ = std::move(next);
}

RefreshDecision CredentialCoordinator::unauthorized(std::int64_t generation, Date now,
                                                    const std::string& requestId) {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    return decideUnauthorized(generation, now, requestId);
}

RefreshDecision CredentialCoordinator::unauthorized(const CredentialSnapshot& used, Date now,
                                                    const std::string& requestId) {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    if (!snapshot_.blocked && snapshot_.credentials != used.credentials) {
        return RefreshDecision::retryCurrent(snapshot_.generation);
    }
    return decideUnauthorized(used.generation, now, requestId);
}

RefreshDecision CredentialCoordinator::decideUnauthorized(std::int64_t generation, Date now,
                                                          const std::string& requestId) {
    if (snapshot_.blocked) {
        return RefreshDecision::blocked();
    }
    if (generation < snapshot_.generation) {
        return RefreshDecision::retryCurrent(snapshot_.generation);
    }
    if (generation > snapshot_.generation) {
        throw CoreError::staleLease();
    }
    if (snapshot_.pending) {
        return RefreshDecision::joined(snapshot_.pending->requestId);
    }
    if (!WirePattern::uuid().matches(requestId)) {
        throw CoreError::invalid("format");
    }
    CredentialSnapshot next = snapshot_;
    next.pending = PendingRefresh{requestId, generation, now};
    // Built before the save so that nothing is recorded that cannot be sent.
    WireDocument request = next.refreshRequest();
    commit(std::move(next));
    return RefreshDecision::send(std::move(request));
}

RefreshDecision CredentialCoordinator::retryLostResponse(Date now) {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    if (!snapshot_.pending || snapshot_.blocked) {
        return RefreshDecision::blocked();
    }
    const Date startedAt = snapshot_.pending->startedAt;
    // Written so that a NaN `now` blocks: every comparison with NaN is false.
    if (now >= startedAt && now - startedAt < lostResponseWindow) {
        return RefreshDecision::send(snapshot_.refreshRequest());
    }
    CredentialSnapshot next = snapshot_;
    next.blocked = true;
    commit(std::move(next));
    return RefreshDecision::blocked();
}

void CredentialCoordinator::complete(const std::string& requestId, std::int64_t generation,
                                     const DeviceCredentialsResponse& credentials) {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    const auto& pending = snapshot_.pending;
    if (snapshot_.blocked || !pending || pending->requestId != requestId ||
        pending->generation != generation || generation != snapshot_.generation) {
        throw CoreError::staleLease();
    }
    if (!sameDevice(credentials.deviceId(), snapshot_.credentials.deviceId())) {
        throw CoreError::invalid("credential identity");
    }
    // The next generation must still read back exactly, or the saved snapshot
    // could never be loaded again.
    if (snapshot_.generation >= CredentialSnapshot::maxGeneration) {
        throw CoreError::invalidState();
    }
    CredentialSnapshot next(credentials, snapshot_.generation + 1);
    next.blocked = snapshot_.blocked;
    // A rotation never moves the credentials to another portal.
    next.origin = snapshot_.origin;
    commit(std::move(next));
}

CredentialSnapshot CredentialCoordinator::bindOrigin(const std::string& origin) {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    if (!snapshot_.origin) {
        CredentialSnapshot next = snapshot_;
        next.origin = origin;
        commit(std::move(next));
    }
    return snapshot_;
}

void CredentialCoordinator::failed(const std::string& requestId) {
    const std::lock_guard guard(lock_);
    const Held held = fresh();
    if (!snapshot_.pending || snapshot_.pending->requestId != requestId) {
        throw CoreError::staleLease();
    }
    CredentialSnapshot next = snapshot_;
    next.blocked = true;
    commit(std::move(next));
}

} // namespace zoq
