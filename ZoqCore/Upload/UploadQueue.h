#pragma once

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/ArtifactManifest.h"
#include "ZoqCore/Spool/QueueRecord.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Upload/HTTPReply.h"
#include "ZoqCore/Upload/NetworkTransport.h"
#include "ZoqCore/Upload/UploadCommand.h"
#include "ZoqCore/Upload/UploadEffect.h"
#include "ZoqCore/Upload/WorkerLease.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/UploadStatusResponse.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zoq {

/// The upload state machine of one published recording. It owns no network
/// code: it hands out one `UploadCommand` at a time, takes the HTTP result
/// back as an `HTTPReply` and decides the next step.
///
/// Durability: all state that matters lives in the artifact's manifest (its
/// queue record, and where a step says so the manifest's state, error and
/// receipt). Every decision is committed before the call returns, in one
/// commit, so a crash at any instant resumes from the last committed step; if
/// the commit throws, the error propagates and the manifest in memory is the
/// previous one. Only the outstanding command and the sequence counter live in
/// this object, and a new queue over the same artifact carries on from the
/// record alone.
///
/// Portal replies are never trusted: bodies are validated against the
/// document the command expects, and identity, attempt, part and receipt
/// checks follow. A reply that fails them quarantines the recording with a
/// fixed message ("malformed upload reply", "invalid upload reply", "HTTP "
/// and the status, or the portal's error code) and yields `blocked`.
///
/// Errors (all `CoreError`): `staleLease` for a lease or command that is not
/// the current one (nothing changes); `invalidState` for missing
/// prerequisites (no metadata, no identity or transfer where one is needed,
/// counter overflow) and calls in the wrong stage; `invalid("retry timing")`
/// for a jitter outside [0, 1] or a negative or non-finite server delay where
/// the reply itself is not at fault; whatever the artifact's commit throws.
///
/// Not thread-safe: one worker at a time (the spool uploader). The durable
/// lease keeps other processes and stale tasks off the recording. The artifact
/// and the clock are borrowed and must outlive the queue.
class UploadQueue {
public:
    /// Returns a value in [0, 1] that scales each backoff delay (full jitter).
    using Jitter = std::function<double()>;

    /// Bytes per part of a multipart transfer (all but the last).
    static constexpr std::int64_t partSize = 16'777'216;
    /// Backoff: `baseDelay` seconds doubling per scheduled retry, at most
    /// `maximumDelay` (reached from the twelfth retry on), before jitter.
    static constexpr double baseDelay = 10;
    static constexpr double maximumDelay = 18'000;
    static constexpr std::int64_t maximumFailures = 1'000'000;
    /// The largest lease generation: the manifest stores integers as JSON
    /// numbers, exact only up to 2^53 - 1.
    static constexpr std::int64_t largestGeneration = JSONValue::maxExactInteger;

    /// Uniformly random in [0, 1), from a per-thread generator.
    static Jitter uniformJitter();

    UploadQueue(Artifact& artifact, const CoreClock& clock, Jitter jitter = uniformJitter());

    /// The queue record of the last committed manifest.
    const QueueRecord& record() const noexcept { return artifact_.manifest().queue; }

    /// Takes the lease when the recording can move now: none while leased,
    /// stored, cleaned, discarded, blocked or quarantined, or before the retry
    /// time. Without a usable network (none, or anything but wifi when
    /// `wifiOnly`) the upload is parked in `waitingNetwork` and none returned.
    /// invalidState without upload metadata or at the largest generation.
    std::optional<WorkerLease> claim(NetworkTransport network, bool wifiOnly);

    /// The command to execute next under `lease`; the same command (same
    /// sequence) until it is answered. May commit a stage change first (an
    /// expired URL turns into a status poll, a finished transfer into
    /// completing).
    UploadCommand command(const WorkerLease& lease);

    /// Takes the HTTP result of the outstanding `command` and decides.
    UploadEffect receive(const UploadCommand& command, const HTTPReply& reply);

    /// The outstanding `command` produced no HTTP status: retry later, with
    /// `reason` (the transport's words; "no response" when empty) kept as the
    /// record's error until the portal answers again.
    UploadEffect transportFailed(const UploadCommand& command, const std::string& reason = {});

    /// Gives the lease back without deciding anything else.
    void cancel(const WorkerLease& lease);

    /// Credentials were refreshed: leave `blockedAuth` for the stage it
    /// interrupted. invalidState in any other stage.
    void resumeAuthenticated();

    /// The permission problem was resolved: leave `blockedPermission` for the
    /// stage it interrupted. invalidState in any other stage.
    void permissionRestored();

private:
    using Operation = UploadCommand::Operation;

    void requireLease(const WorkerLease& lease) const;
    void takeOutstanding(const UploadCommand& command);
    Operation nextOperation();
    bool expired(const JSONValue& target) const;

    UploadEffect receiveSuccess(const UploadCommand& command, const HTTPReply& reply);
    UploadEffect acceptStatus(ArtifactManifest updated, const UploadStatusResponse& status,
                              const UploadCommand& command, bool pending, std::optional<double> serverDelay);
    /// A wait caused by an error: counts a failure (the backoff's exponent and
    /// what the stuck rule reads) and keeps `reason` in the record's error.
    UploadEffect retry(ArtifactManifest next, std::optional<double> serverDelay, std::string reason);
    /// A wait the portal asked for while it works ("verifying", or pending
    /// with a delay): the next poll after its delay, or `baseDelay` without
    /// one; no failure is counted.
    UploadEffect poll(ArtifactManifest next, std::optional<double> serverDelay);
    UploadEffect scheduleWait(ArtifactManifest next, double delay);
    UploadEffect restartAttempt(ArtifactManifest next, std::optional<double> serverDelay, std::string reason);
    UploadEffect quarantine(ArtifactManifest next, const std::string& message);
    UploadEffect putRefused(const HTTPReply& reply);

    Artifact& artifact_;
    const CoreClock& clock_;
    Jitter jitter_;
    std::optional<UploadCommand> outstanding_;
    std::int64_t sequence_ = 0;
};

} // namespace zoq
