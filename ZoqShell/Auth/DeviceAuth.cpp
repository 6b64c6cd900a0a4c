#include "ZoqShell/Auth/DeviceAuth.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Upload/CredentialCoordinator.h"
#include "ZoqShell/Auth/DeviceAuthError.h"
#include "ZoqShell/Transport/PortalOrigin.h"
#include "ZoqShell/Transport/PortalURL.h"
#include "ZoqShell/Transport/TransportUnavailable.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace zoq {

// Every use of the one persistence passes through here. Each pairing gets an
// epoch; `install` moves the epoch on in the same critical section as its
// save, after which saves from coordinators of an earlier pairing are refused.
// Without that, a refresh that was running when the device was paired again
// could complete afterwards and write the old device's rotated credentials
// over the new ones. The mutex is held across the store's own call: it only
// serialises storage (which need not be thread-safe), never DeviceAuth's state.
struct DeviceAuth::Fence {
    explicit Fence(CredentialPersistence& store) : persistence(store) {}

    CredentialPersistence& persistence;
    std::mutex mutex;
    std::uint64_t epoch = 0; // guarded by mutex
};

namespace {

// The persistence as one pairing's coordinator sees it.
class EpochPersistence final : public CredentialPersistence {
public:
    EpochPersistence(CredentialPersistence& persistence, std::mutex& mutex, const std::uint64_t& currentEpoch,
                     std::uint64_t epoch)
        : persistence_(persistence), mutex_(mutex), currentEpoch_(currentEpoch), epoch_(epoch) {}

    // The store's decision lock always comes before the fence's mutex (as in
    // `install`), so no two threads can take them in opposite orders.
    CredentialSnapshot load() override {
        const auto deciding = persistence_.lock(CredentialLockScope::decision);
        const std::lock_guard lock(mutex_);
        checkEpoch();
        return persistence_.load();
    }

    void save(const CredentialSnapshot& snapshot) override {
        const auto deciding = persistence_.lock(CredentialLockScope::decision);
        const std::lock_guard lock(mutex_);
        checkEpoch();
        persistence_.save(snapshot);
    }

    std::unique_ptr<Lock> lock(CredentialLockScope scope) override { return persistence_.lock(scope); }

private:
    void checkEpoch() const {
        if (currentEpoch_ != epoch_) {
            throw CoreError::staleLease();
        }
    }

    CredentialPersistence& persistence_;
    std::mutex& mutex_;
    const std::uint64_t& currentEpoch_; // guarded by mutex_
    std::uint64_t epoch_;
};

const std::vector<std::string> refreshPath = {"devices", "token", "refresh"};

bool isAuthorizationHeader(const std::string& name) {
    static constexpr std::string_view authorization = "authorization";
    return name.size() == authorization.size() &&
           std::equal(name.begin(), name.end(), authorization.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

} // namespace

// One pairing's credentials: the coordinator and the view of the persistence
// it saves through. Shared, so that a call that started with it can finish
// with it after `install` replaced it.
struct DeviceAuth::Pairing {
    Pairing(Fence& fence, std::uint64_t epoch)
        : persistence(fence.persistence, fence.mutex, fence.epoch, epoch), coordinator(persistence) {}

    EpochPersistence persistence;
    CredentialCoordinator coordinator;
};

DeviceAuth::DeviceAuth(WireTransport& transport, CredentialPersistence& persistence, std::string baseURL,
                       const CoreClock& clock)
    : transport_(transport), clock_(clock), fence_(std::make_unique<Fence>(persistence)),
      apiBase_(std::move(baseURL)) {
    try {
        pairing_ = std::make_shared<Pairing>(*fence_, 0);
    } catch (...) {
        // Nothing stored, unreadable or undecodable: the device is unpaired
        // until it pairs again.
    }
    if (pairing_) {
        bindUnbound(pairing_);
    }
}

void DeviceAuth::bindUnbound(const std::shared_ptr<Pairing>& pairing) noexcept {
    try {
        if (pairing->coordinator.current().origin) {
            return;
        }
        std::string base;
        {
            const std::lock_guard lock(lock_);
            base = apiBase_;
        }
        const std::optional<std::string> origin = PortalOrigin::of(base);
        if (!origin) {
            return; // no usable address: the credentials stay unused
        }
        try {
            (void)pairing->coordinator.bindOrigin(*origin);
        } catch (...) {
            const std::lock_guard lock(lock_);
            unboundOrigin_ = origin;
        }
    } catch (...) {
    }
}

std::optional<std::string> DeviceAuth::originOf(const CredentialSnapshot& snapshot) const {
    if (snapshot.origin) {
        return snapshot.origin;
    }
    const std::lock_guard lock(lock_);
    return unboundOrigin_;
}

std::optional<std::string> DeviceAuth::credentialOrigin() const {
    const std::optional<CredentialSnapshot> current = snapshot();
    return current ? originOf(*current) : std::nullopt;
}

bool DeviceAuth::servesPortal(std::string_view url) const {
    const std::optional<std::string> origin = credentialOrigin();
    return origin && PortalOrigin::of(url) == origin;
}

bool DeviceAuth::servesConfiguredPortal() const {
    std::string base;
    {
        const std::lock_guard lock(lock_);
        base = apiBase_;
    }
    return servesPortal(base);
}

DeviceAuth::~DeviceAuth() = default;

void DeviceAuth::configure(std::string baseURL) {
    const std::lock_guard lock(lock_);
    apiBase_ = std::move(baseURL);
}

std::shared_ptr<DeviceAuth::Pairing> DeviceAuth::currentPairing() const {
    const std::lock_guard lock(lock_);
    return pairing_;
}

std::optional<std::shared_future<bool>> DeviceAuth::inFlight() const {
    const std::lock_guard lock(lock_);
    if (!refresh_) {
        return std::nullopt;
    }
    return refresh_->result;
}

std::unique_ptr<CredentialPersistence::Lock> DeviceAuth::holdRefreshes() {
    return fence_->persistence.lock(CredentialLockScope::refresh);
}

void DeviceAuth::synchronize() noexcept {
    try {
        if (const std::shared_ptr<Pairing> pairing = currentPairing()) {
            pairing->coordinator.reload();
            return;
        }
        // Unpaired here, perhaps paired by another process since.
        const std::lock_guard installing(installLock_);
        std::uint64_t epoch = 0;
        {
            const std::lock_guard storing(fence_->mutex);
            epoch = fence_->epoch;
        }
        auto pairing = std::make_shared<Pairing>(*fence_, epoch);
        bool adopted = false;
        {
            const std::lock_guard lock(lock_);
            if (!pairing_) {
                pairing_ = pairing;
                adopted = true;
            }
        }
        if (adopted) {
            bindUnbound(pairing);
        }
    } catch (...) {
        // Nothing stored, or unreadable now: the state stays as it was.
    }
}

bool DeviceAuth::hasCredentials() const {
    return currentPairing() != nullptr;
}

std::optional<CredentialSnapshot> DeviceAuth::snapshot() const {
    const std::shared_ptr<Pairing> pairing = currentPairing();
    if (!pairing) {
        return std::nullopt;
    }
    return pairing->coordinator.current();
}

bool DeviceAuth::isBlocked() const {
    const std::optional<CredentialSnapshot> current = snapshot();
    return current && current->blocked;
}

std::optional<std::string> DeviceAuth::accessToken() const {
    const std::optional<CredentialSnapshot> current = snapshot();
    if (!current || current->blocked) {
        return std::nullopt;
    }
    return current->credentials.accessToken();
}

void DeviceAuth::install(const DeviceCredentialsResponse& credentials) {
    std::string base;
    {
        const std::lock_guard lock(lock_);
        base = apiBase_;
    }
    const std::optional<std::string> origin = PortalOrigin::of(base);
    if (!origin) {
        throw CoreError::invalid("base URL");
    }
    installBound(credentials, *origin, std::nullopt);
}

void DeviceAuth::install(const DeviceCredentialsResponse& credentials, const std::string& portalBase) {
    const std::optional<std::string> origin = PortalOrigin::of(portalBase);
    if (!origin) {
        throw CoreError::invalid("base URL");
    }
    installBound(credentials, *origin, portalBase);
}

void DeviceAuth::installBound(const DeviceCredentialsResponse& credentials, const std::string& origin,
                              const std::optional<std::string>& portalBase) {
    const std::lock_guard installing(installLock_);
    std::uint64_t epoch = 0;
    {
        // Another process deciding from the old credentials finishes first;
        // its next decision loads these.
        const auto deciding = fence_->persistence.lock(CredentialLockScope::decision);
        const std::lock_guard storing(fence_->mutex);
        CredentialSnapshot snapshot(credentials, 0);
        snapshot.origin = origin;
        fence_->persistence.save(snapshot);
        epoch = ++fence_->epoch;
    }
    auto pairing = std::make_shared<Pairing>(*fence_, epoch);
    const std::lock_guard lock(lock_);
    pairing_ = std::move(pairing);
    unboundOrigin_.reset();
    if (portalBase) {
        apiBase_ = *portalBase;
    }
    // The running refresh (if any) belongs to the old credentials: later
    // callers must not wait for it. Its own caller still finishes it.
    refresh_.reset();
}

std::string DeviceAuth::apiURL(const std::vector<std::string>& path) const {
    std::string base;
    {
        const std::lock_guard lock(lock_);
        base = apiBase_;
    }
    return PortalURL::apiURL(base, path);
}

TransportResponse DeviceAuth::send(const TransportRequest& request) {
    try {
        return transport_.execute(request);
    } catch (const TransportUnavailable& unavailable) {
        throw DeviceAuthError::network(unavailable.problem());
    }
}

TransportResponse DeviceAuth::callUnauthenticated(const std::string& method,
                                                  const std::vector<std::string>& path, Bytes body) {
    TransportRequest request{method, apiURL(path), {{"content-type", "application/json"}}, std::move(body)};
    return send(request);
}

TransportResponse DeviceAuth::callUnauthenticated(const std::string& portalBase, const std::string& method,
                                                  const std::vector<std::string>& path, Bytes body) {
    TransportRequest request{
        method, PortalURL::apiURL(portalBase, path), {{"content-type", "application/json"}}, std::move(body)};
    return send(request);
}

AuthenticatedOutcome DeviceAuth::authorizedCall(const TransportRequest& request) {
    for (int attempt = 1;; ++attempt) {
        const std::shared_ptr<Pairing> pairing = currentPairing();
        if (!pairing) {
            return AuthenticatedOutcome::blockedAuth();
        }
        const CredentialSnapshot credentials = pairing->coordinator.current();
        if (credentials.blocked) {
            return AuthenticatedOutcome::blockedAuth();
        }
        // Checked where the token is attached, so that no caller can hand the
        // credentials to a host that did not issue them.
        const std::optional<std::string> origin = originOf(credentials);
        if (!origin || PortalOrigin::of(request.url) != origin) {
            return AuthenticatedOutcome::blockedAuth();
        }
        TransportRequest authorized = request;
        std::erase_if(authorized.headers,
                      [](const auto& header) { return isAuthorizationHeader(header.first); });
        authorized.headers["authorization"] = "Bearer " + credentials.credentials.accessToken();
        TransportResponse response = send(authorized);
        if (response.status != 401) {
            return AuthenticatedOutcome::response(std::move(response));
        }
        // The credentials that were refused, not the ones in force now: if
        // another caller or process rotated them meanwhile, the coordinator
        // answers "retry with the current ones" instead of rotating again.
        if (!ensureRefresh(pairing, credentials)) {
            return AuthenticatedOutcome::blockedAuth();
        }
        if (attempt == maxSends) {
            return AuthenticatedOutcome::response(std::move(response));
        }
    }
}

bool DeviceAuth::refreshNow() noexcept {
    try {
        const std::shared_ptr<Pairing> pairing = currentPairing();
        if (!pairing) {
            return false;
        }
        return ensureRefresh(pairing, pairing->coordinator.current());
    } catch (...) {
        return false;
    }
}

bool DeviceAuth::ensureRefresh(const std::shared_ptr<Pairing>& sentWith,
                               const CredentialSnapshot& used) noexcept {
    try {
        const std::shared_ptr<Pairing> pairing = currentPairing();
        if (!pairing) {
            return false;
        }
        if (pairing != sentWith) {
            // Paired again since the request was built: resend with the new
            // credentials rather than refresh the new pairing.
            return true;
        }
        if (!servesConfiguredPortal()) {
            // The refresh token would go to another portal: nothing is
            // decided (a pending refresh recorded now could expire while the
            // address points elsewhere and block credentials that are fine).
            return false;
        }
        if (const auto running = inFlight(); running && running->get()) {
            return true;
        }
        const RefreshDecision decision =
            pairing->coordinator.unauthorized(used, clock_.wallDate(), makeUUID());
        switch (decision.kind()) {
        case RefreshDecision::Kind::retryCurrent:
            return true;
        case RefreshDecision::Kind::send:
            return startRefresh(decision.request());
        case RefreshDecision::Kind::blocked:
            return false;
        case RefreshDecision::Kind::joined:
            break;
        }
        // A refresh of this generation is pending. Either this process is
        // sending it (join it), or another process is, or it was left by an
        // earlier run: the refresh lock tells those apart, and the refresh
        // resolves it once it holds that lock.
        if (const auto running = inFlight()) {
            return running->get();
        }
        return startRefresh(std::nullopt);
    } catch (...) {
        return false;
    }
}

bool DeviceAuth::startRefresh(const std::optional<WireDocument>& decided) noexcept {
    std::promise<bool> promise;
    std::optional<std::shared_future<bool>> running;
    std::uint64_t id = 0;
    try {
        const std::lock_guard lock(lock_);
        if (refresh_) {
            running = refresh_->result;
        } else {
            id = ++lastRefreshId_;
            refresh_ = InFlightRefresh{id, promise.get_future().share()};
        }
    } catch (...) {
        return false;
    }
    if (running) {
        // The refresh in flight decides for this caller too; the decision
        // this caller was given names the same pending refresh.
        try {
            return running->get();
        } catch (...) {
            return false;
        }
    }
    const bool result = runRefresh(decided);
    {
        const std::lock_guard lock(lock_);
        // `install` may have forgotten this refresh and another may have
        // started since; only this one's own entry is cleared.
        if (refresh_ && refresh_->id == id) {
            refresh_.reset();
        }
    }
    promise.set_value(result);
    return result;
}

bool DeviceAuth::runRefresh(const std::optional<WireDocument>& decided) noexcept {
    try {
        const std::shared_ptr<Pairing> pairing = currentPairing();
        if (!pairing) {
            return false;
        }
        CredentialCoordinator& coordinator = pairing->coordinator;
        // Only the holder of the refresh lock sends refreshes. A process that
        // waited here for another one's exchange finds its outcome below (new
        // credentials, a block, or the pending refresh of a process that died).
        const auto refreshing = pairing->persistence.lock(CredentialLockScope::refresh);
        // Whether the pending refresh may be sent without asking again: only
        // the very one this call was told to send, and only once.
        bool told = decided.has_value();
        for (int sends = 0;;) {
            if (currentPairing() != pairing) {
                // Paired again meanwhile: the new credentials are what counts.
                return rotationSucceeded();
            }
            const CredentialSnapshot current = coordinator.reload();
            if (!current.pending || current.blocked) {
                return rotationSucceeded();
            }
            const PendingRefresh pending = *current.pending;
            if (!std::exchange(told, false) || current.refreshRequest() != *decided) {
                if (sends >= maxRefreshSends) {
                    return false;
                }
                // Sent before, by this call or by someone who is gone: resend
                // it only while the portal can still recognise it.
                const RefreshDecision decision = coordinator.retryLostResponse(clock_.wallDate());
                switch (decision.kind()) {
                case RefreshDecision::Kind::send:
                    break;
                case RefreshDecision::Kind::retryCurrent:
                    return true;
                case RefreshDecision::Kind::joined:
                    return false;
                case RefreshDecision::Kind::blocked:
                    // Also the answer when nothing is pending any more.
                    return rotationSucceeded();
                }
            }

            std::optional<TransportResponse> response;
            try {
                // The pending refresh's own document, so the body always
                // belongs to the refresh whose outcome is recorded below.
                const TransportRequest request{"POST",
                                               apiURL(refreshPath),
                                               {{"content-type", "application/json"}},
                                               current.refreshRequest().encoded()};
                const std::optional<std::string> origin = originOf(current);
                if (!origin || PortalOrigin::of(request.url) != origin) {
                    // The address changed to another portal meanwhile: the
                    // refresh token stays here, and the pending refresh
                    // waits for the address to come back.
                    return false;
                }
                ++sends;
                response = transport_.execute(request);
            } catch (...) {
                // Not built or not answered: the reply counts as lost.
            }
            if (!response) {
                continue;
            }
            if (response->status == 200) {
                std::optional<DeviceCredentialsResponse> credentials;
                try {
                    credentials = DeviceCredentialsResponse::fromBytes(response->body);
                } catch (...) {
                }
                if (credentials) {
                    try {
                        coordinator.complete(pending.requestId, pending.generation, *credentials);
                        return true;
                    } catch (...) {
                        return rotationSucceeded();
                    }
                }
            }
            try {
                coordinator.failed(pending.requestId);
            } catch (...) {
            }
            return false;
        }
    } catch (...) {
        return false;
    }
}

bool DeviceAuth::rotationSucceeded() const noexcept {
    try {
        const std::shared_ptr<Pairing> pairing = currentPairing();
        if (!pairing) {
            return false;
        }
        const CredentialSnapshot current = pairing->coordinator.current();
        return !current.pending && !current.blocked;
    } catch (...) {
        return false;
    }
}

} // namespace zoq
