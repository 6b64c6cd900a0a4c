#pragma once

#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Upload/CredentialPersistence.h"
#include "ZoqCore/Upload/CredentialSnapshot.h"
#include "ZoqCore/Wire/DeviceCredentialsResponse.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "ZoqShell/Auth/AuthenticatedOutcome.h"
#include "ZoqShell/Transport/TransportRequest.h"
#include "ZoqShell/Transport/TransportResponse.h"
#include "ZoqShell/Transport/WireTransport.h"

#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoq {

/// The device's gateway to the portal: unauthenticated calls (pairing),
/// authenticated calls that carry the bearer token and survive its rotation,
/// and the rotation itself, of which at most one runs in the process at a time.
///
/// Authenticated calls. The request is sent with "authorization: Bearer
/// <access token>" (replacing any caller value under that name, in any letter
/// case). A 401 runs a coordinated refresh and the request is resent with the
/// new token: at most three sends and three refreshes per call, and the third
/// 401 is returned as the response. No credentials, blocked credentials or a
/// refresh that produced none give `blockedAuth`, the first two without
/// touching the network.
///
/// Single-flight refresh. The `CredentialCoordinator` decides, per credential
/// generation, whether a 401 sends a refresh, joins the pending one or retries
/// with newer credentials; it persists each decision first, so one refresh per
/// generation holds across crashes too. Within the process the refresh being
/// sent is a `std::shared_future`: every caller whose request failed with the
/// same credentials waits on it instead of deciding again, and resends once it
/// succeeds. The refresh runs on the thread of the caller that started it.
/// Between processes that share the store, a refresh is sent only under the
/// store's refresh lock, so a process whose 401 finds another process's
/// refresh pending waits for that exchange and then adopts its outcome; only
/// a pending refresh whose sender is gone is resent (by the coordinator's
/// lost-reply rule).
/// Refresh body: the coordinator's `deviceRefreshRequest`, POSTed to
/// "/api/v1/devices/token/refresh". A 200 with valid credentials completes it;
/// any other answer is a definite failure (the coordinator blocks the device);
/// no answer at all is a lost reply, resent with the same request identifier
/// while the coordinator allows it, at most `maxRefreshSends` times per run so
/// that an unreachable portal is not hammered; the pending refresh stays for a
/// later 401 or `refreshNow` to resume.
///
/// Privacy: tokens travel only in the "authorization" header and the refresh
/// body, and only to the origin (scheme, host, port; `PortalOrigin`) of the
/// portal that issued them, recorded with the credentials at pairing and
/// kept through every rotation. An authenticated request addressed anywhere
/// else is answered `blockedAuth` without being sent, and no refresh is sent
/// while the configured portal address has another origin: pointing zoq at
/// another portal leaves the credentials unused (not blocked) until a
/// pairing with that portal replaces them, or the address is set back.
/// Credentials stored before origins were kept take the origin of the
/// address given at construction, once. Errors carry no transport text, so no
/// part of a request leaks through them.
///
/// Thread-safe (an actor): the state below is guarded by one mutex that is
/// never held across a network, keyring or coordinator call. All calls block
/// the calling thread for as long as their network exchanges take; call them
/// from worker threads.
///
/// `transport`, `persistence` and `clock` are borrowed and must outlive this
/// object; nothing else may use `persistence` meanwhile. No call may be running
/// when the object is destroyed.
class DeviceAuth {
public:
    static constexpr int maxSends = 3;
    static constexpr int maxRefreshSends = 3;

    /// Loads the stored credentials, if any; a load failure of any kind is
    /// swallowed and the device counts as unpaired.
    DeviceAuth(WireTransport& transport, CredentialPersistence& persistence, std::string baseURL,
               const CoreClock& clock);
    ~DeviceAuth();
    DeviceAuth(const DeviceAuth&) = delete;
    DeviceAuth& operator=(const DeviceAuth&) = delete;

    /// Replaces the portal address; calls already running keep the URL they built.
    void configure(std::string baseURL);

    /// Adopts what other processes sharing the credential store saved since
    /// this one last looked: a first pairing, a rotation, a block, a new
    /// pairing. Decisions load afresh anyway; this keeps the state answered
    /// below, and the token sent, current between them. Never throws: a store
    /// that cannot be read leaves everything as it was.
    void synchronize() noexcept;

    /// Holds off every refresh exchange, of this process and of every other
    /// one sharing the credential store, for as long as the returned lock
    /// lives (waiting for one in flight first). A pairing holds it while the
    /// portal replaces the credentials, so that no refresh of the old ones is
    /// sent meanwhile. Throws when it cannot be taken within the store's
    /// deadline.
    std::unique_ptr<CredentialPersistence::Lock> holdRefreshes();

    /// Whether the device holds credentials (blocked ones included).
    bool hasCredentials() const;
    /// The origin the credentials belong to; none when unpaired (or for
    /// unbound credentials, which are then never sent).
    std::optional<std::string> credentialOrigin() const;
    /// Whether the credentials may be sent to `url`: the device holds
    /// credentials and `url` has their origin.
    bool servesPortal(std::string_view url) const;
    /// `servesPortal` for the configured portal address.
    bool servesConfiguredPortal() const;
    /// The credential state in force, or none when unpaired.
    std::optional<CredentialSnapshot> snapshot() const;
    /// Whether the credentials are blocked (false when unpaired).
    bool isBlocked() const;
    /// The access token, or none when unpaired or blocked.
    std::optional<std::string> accessToken() const;

    /// Adopts credentials from a pairing: saves them as generation 0 with
    /// nothing pending and not blocked, then serves every later call with
    /// them. A refresh still running for the previous credentials is no longer
    /// joined, and whatever it would save is refused, so it can never
    /// overwrite the new pairing in storage. Throws the save error (nothing
    /// changes) or the error of loading them back (the saved credentials stay
    /// and are used from the next start).
    void install(const DeviceCredentialsResponse& credentials);
    /// The same for credentials issued by the portal at `portalBase`: they are
    /// bound to its origin, and `portalBase` becomes the configured address
    /// in the same step, so no call ever pairs the new credentials with the
    /// old address. Throws `CoreError::invalid("base URL")` (nothing changes)
    /// when `portalBase` has no origin.
    void install(const DeviceCredentialsResponse& credentials, const std::string& portalBase);

    /// Sends `request` with the bearer token; see above. Throws
    /// `DeviceAuthError::network` when a send produced no response, and the
    /// transport's `CoreError::invalid` for a request it cannot send.
    AuthenticatedOutcome authorizedCall(const TransportRequest& request);

    /// Rotates the credentials now (or joins the rotation in progress).
    /// False when unpaired, blocked or when no new credentials resulted.
    /// Never throws.
    bool refreshNow() noexcept;

    /// Sends `body` to "/api/v1/" + `path` (each component percent-encoded)
    /// with "content-type: application/json" and no credentials, and returns
    /// the response whatever its status. Throws `CoreError::invalid("base
    /// URL")` or `("request URL")` (nothing sent), `DeviceAuthError::network`
    /// when there was no response, and the transport's `CoreError::invalid`.
    TransportResponse callUnauthenticated(const std::string& method, const std::vector<std::string>& path,
                                          Bytes body);
    /// The same under the portal address `portalBase` instead of the
    /// configured one (a pairing with a portal not yet applied).
    TransportResponse callUnauthenticated(const std::string& portalBase, const std::string& method,
                                          const std::vector<std::string>& path, Bytes body);

private:
    struct Fence;
    struct Pairing;
    struct InFlightRefresh {
        std::uint64_t id = 0;
        std::shared_future<bool> result;
    };

    std::shared_ptr<Pairing> currentPairing() const;
    // Gives credentials without an origin the origin of the configured
    // address: saved when the store allows, else kept for this run.
    void bindUnbound(const std::shared_ptr<Pairing>& pairing) noexcept;
    std::optional<std::string> originOf(const CredentialSnapshot& snapshot) const;
    void installBound(const DeviceCredentialsResponse& credentials, const std::string& origin,
                      const std::optional<std::string>& portalBase);
    std::optional<std::shared_future<bool>> inFlight() const;
    TransportResponse send(const TransportRequest& request);
    std::string apiURL(const std::vector<std::string>& path) const;

    bool ensureRefresh(const std::shared_ptr<Pairing>& sentWith, const CredentialSnapshot& used) noexcept;
    // `decided`: the refresh document the coordinator just told this call to
    // send; none when resolving a refresh that someone else recorded.
    bool startRefresh(const std::optional<WireDocument>& decided) noexcept;
    bool runRefresh(const std::optional<WireDocument>& decided) noexcept;
    bool rotationSucceeded() const noexcept;

    WireTransport& transport_;
    const CoreClock& clock_;
    std::unique_ptr<Fence> fence_;
    // Serialises `install`s, so the last one saved is the one in force.
    std::mutex installLock_;

    mutable std::mutex lock_;
    std::shared_ptr<Pairing> pairing_;       // guarded by lock_; none when unpaired
    std::string apiBase_;                    // guarded by lock_
    std::optional<InFlightRefresh> refresh_; // guarded by lock_
    std::uint64_t lastRefreshId_ = 0;        // guarded by lock_
    // The origin given to unbound credentials whose binding could not be
    // saved; none otherwise.
    std::optional<std::string> unboundOrigin_; // guarded by lock_
};

} // namespace zoq
