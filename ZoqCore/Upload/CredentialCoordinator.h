#pragma once

#include "ZoqCore/Support/Date.h"
#include "ZoqCore/Upload/CredentialPersistence.h"
#include "ZoqCore/Upload/CredentialSnapshot.h"
#include "ZoqCore/Upload/RefreshDecision.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zoq {

/// Decides, for every request answered 401, whether to refresh the device
/// credentials, and records each refresh's outcome, so that:
///
/// - at most one refresh is ever sent per credential generation: the first 401
///   of the current generation gets `send`, every later one `joined` until the
///   refresh resolves, and 401s of older generations get `retryCurrent`;
/// - a refresh whose reply was lost is resent with the same request identifier
///   (which the portal recognises) for less than `lostResponseWindow` seconds,
///   and after that, or when the clock has gone back, the device is blocked
///   rather than guessing; a definite failure blocks too;
/// - every decision is saved through `persistence` before anyone can observe
///   it. A pending refresh therefore survives a crash between sending and
///   receiving, and the next run resolves it with `retryLostResponse`.
///
/// Every mutating call builds the new snapshot as a copy, saves it, and only
/// when the save succeeds adopts it. A failed save is thrown and leaves the
/// snapshot, and so every later decision, exactly as before.
///
/// Other processes may share the store (the service and the command line).
/// Every decision therefore holds the store's decision lock and loads the
/// stored snapshot afresh before deciding: a refresh another process
/// completed, a pending refresh it recorded, a block, or a new pairing is
/// adopted first, and nothing is ever saved over a snapshot this process has
/// not seen. Load and lock errors are thrown like save errors and change
/// nothing.
///
/// Thread-safe (an actor): all state is guarded by one mutex, and each call
/// locks the store, loads, decides, saves and adopts under it. The store's
/// calls block while holding the mutex. That is deliberate and the one
/// exception to "never hold an actor's lock across a blocking call": a
/// decision must not become observable before it is saved, or two concurrent
/// 401s could both be told to send for one generation. Persistence calls are
/// rare (a few per refresh step) and the store bounds their time.
///
/// `persistence` is borrowed: it must outlive the coordinator, and nothing else
/// may call it while the coordinator exists.
class CredentialCoordinator {
public:
    /// A lost refresh reply is resent while younger than this many seconds.
    static constexpr double lostResponseWindow = 120;

    /// Loads the snapshot; a load error is thrown and no coordinator exists.
    explicit CredentialCoordinator(CredentialPersistence& persistence);

    CredentialCoordinator(const CredentialCoordinator&) = delete;
    CredentialCoordinator& operator=(const CredentialCoordinator&) = delete;

    /// The snapshot in force as this process last saw it.
    CredentialSnapshot current() const;

    /// Loads the stored snapshot under the decision lock, adopts it and
    /// returns it, so that what other processes saved becomes the snapshot
    /// in force. Throws lock and load errors; nothing changes then.
    CredentialSnapshot reload();

    /// A request made with the credentials of `generation` was answered 401.
    /// `requestId` is a fresh identifier to use if a refresh has to be sent; it
    /// is ignored unless the answer is `send`. Returns `blocked` when blocked,
    /// `retryCurrent` for an older generation, `joined` while a refresh of this
    /// generation is pending, else records the refresh and returns `send`.
    /// Throws `CoreError::staleLease` for a generation newer than the current
    /// one, `CoreError::invalid("format")` when a refresh must be recorded and
    /// `requestId` is not a UUID, and any save error.
    RefreshDecision unauthorized(std::int64_t generation, Date now, const std::string& requestId);

    /// The same for a request sent with the snapshot `used`, which names the
    /// refused credentials exactly: when the credentials in force are not
    /// those any more (another process rotated them, or the device was paired
    /// again, whatever the generations say), answers `retryCurrent` with the
    /// generation in force and records nothing. Blocked credentials still
    /// answer `blocked` first.
    RefreshDecision unauthorized(const CredentialSnapshot& used, Date now, const std::string& requestId);

    /// The reply to the pending refresh never arrived (or a pending refresh was
    /// left over from an earlier run). Returns `send` with the identical
    /// document while `now` lies in [startedAt, startedAt + lostResponseWindow);
    /// otherwise saves `blocked` (keeping the pending entry) and returns
    /// `blocked`. With nothing pending, or already blocked, returns `blocked`
    /// and changes nothing. Throws any save error.
    RefreshDecision retryLostResponse(Date now);

    /// The pending refresh was answered with new credentials: they replace the
    /// old ones under the next generation, bound to the same portal origin,
    /// and nothing is pending any more.
    /// Throws `CoreError::staleLease` unless exactly this refresh (`requestId`
    /// and `generation`) is pending at the current generation and the device
    /// is not blocked; `CoreError::invalid("credential identity")` for
    /// credentials of another device (device identifiers compare ignoring
    /// case); `CoreError::invalidState` when the generation cannot advance
    /// further; and any save error. Every error changes nothing.
    void complete(const std::string& requestId, std::int64_t generation,
                  const DeviceCredentialsResponse& credentials);

    /// Records `origin` as the portal the stored credentials belong to, when
    /// they carry none yet (credentials saved before origins were kept);
    /// credentials that have one keep it. Returns the snapshot in force.
    /// Throws lock, load and save errors; nothing changes then.
    CredentialSnapshot bindOrigin(const std::string& origin);

    /// The pending refresh was answered with a definite failure: the device is
    /// blocked (the pending entry stays). Throws `CoreError::staleLease` unless
    /// a refresh with exactly this `requestId` is pending, and any save error.
    void failed(const std::string& requestId);

private:
    using Held = std::unique_ptr<CredentialPersistence::Lock>;

    // Takes the store's decision lock and adopts the stored snapshot.
    // Requires lock_ held; the returned lock must outlive the decision.
    Held fresh();
    RefreshDecision decideUnauthorized(std::int64_t generation, Date now, const std::string& requestId);
    // Saves `next` and, only if that succeeds, adopts it. Requires lock_ held.
    void commit(CredentialSnapshot next);

    CredentialPersistence& persistence_;
    mutable std::mutex lock_;
    CredentialSnapshot snapshot_; // guarded by lock_
};

} // namespace zoq
